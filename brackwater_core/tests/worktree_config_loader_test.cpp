#include "infrastructure/worktree_config_loader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "test_support.hpp"

namespace {

using namespace brackwater::infrastructure;
using brackwater::support::EnvSnapshot;
using test_support::TempDir;
using test_support::write_file_mkdirs;

// The value's kind and content in one short text ("str:x", "int:5", ...),
// tags shown as "!tag(...)".
std::string describe(const YamlValue& v) {
  struct Visitor {
    std::string operator()(const YamlValue::Null&) const { return "null"; }
    std::string operator()(bool b) const { return b ? "bool:true" : "bool:false"; }
    std::string operator()(int64_t n) const { return "int:" + std::to_string(n); }
    std::string operator()(double d) const {
      if (std::isnan(d)) return "float:nan";
      if (std::isinf(d)) return d > 0 ? "float:inf" : "float:-inf";
      return "float:" + std::to_string(d);
    }
    std::string operator()(const std::string& s) const { return "str:" + s; }
    std::string operator()(const YamlValue::Sequence& s) const { return "seq:" + std::to_string(s.size()); }
    std::string operator()(const YamlValue::Mapping& m) const { return "map:" + std::to_string(m.size()); }
    std::string operator()(const YamlValue::Tagged& t) const { return "!" + t.tag + "(" + describe(*t.inner) + ")"; }
  };
  return std::visit(Visitor{}, v.data());
}

std::string parsed(std::string_view text) {
  auto v = parse_yaml_document(text);
  return v ? describe(**v) : "error:" + v.error();
}

TEST(YamlValue, ScalarsFollowTheCoreSchema) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", "null"},
      {"~", "null"},
      {"Null", "null"},
      {"True", "bool:true"},
      {"FALSE", "bool:false"},
      {"yes", "str:yes"},  // 1.1 booleans are strings now
      {"010", "int:10"},
      {"-12", "int:-12"},
      {"+7", "int:7"},
      {"0o17", "int:15"},
      {"0x1F", "int:31"},
      {"-0x1", "str:-0x1"},
      {"1_000", "str:1_000"},
      {"9223372036854775807", "int:9223372036854775807"},
      {"-9223372036854775808", "int:-9223372036854775808"},
      {"99999999999999999999", "float:100000000000000000000.000000"},
      {"1.5", "float:1.500000"},
      {".5", "float:0.500000"},
      {"1e3", "float:1000.000000"},
      {"1e999", "float:inf"},
      {"-.INF", "float:-inf"},
      {".NaN", "float:nan"},
      {"1.2.3", "str:1.2.3"},
      {"'12'", "str:12"},
      {"\"true\"", "str:true"},
      {"!!str 12", "str:12"},
      {"!!str", "str:"},
      {"|\n  12\n", "str:12\n"},
      {"!x 12", "!!x(int:12)"},
      {"!x '12'", "!!x(str:12)"},
      {"!!int 12", "!tag:yaml.org,2002:int(int:12)"},
      {"!x [1, 2]", "!!x(seq:2)"},
      {"# only a comment\n", "null"},
      {"--- []\n...\n", "seq:0"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text;
}

TEST(YamlValue, MalformedDocuments) {
  std::string deep(100000, '[');
  std::string chain = "a0: &a0 [x]\n";
  for (int i = 1; i < 300; ++i) {
    chain += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [*a" + std::to_string(i - 1) + "]\n";
  }
  const std::pair<std::string, std::string> cases[] = {
      {"worktree: [a, b\n",
       "error:did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence "
       "at line 1 column 11"},
      {"a:\n  b: 1\n c: 2\n",
       "error:did not find expected key at line 3 column 2, while parsing a block mapping "
       "at line 1 column 1"},
      {"a: *nowhere\n", "error:found undefined alias *nowhere at line 1 column 4"},
      {"&a [1, *a]\n", "error:alias *a refers to a node that contains it at line 1 column 8"},
      {"&a {k: [*a]}\n", "error:alias *a refers to a node that contains it at line 1 column 9"},
      {"a\n---\nb\n", "error:expected a single document in the stream, but found another document at line 2 column 1"},
      {"a: \x01\n", "error:control characters are not allowed at line 1 column 4"},
      {"\u00e9: *x\n", "error:found undefined alias *x at line 1 column 5"},  // columns count bytes
      {deep, "error:nesting deeper than 256 levels at line 1 column 257"},
      {chain, "error:nesting deeper than 256 levels at line 256 column 19"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text.substr(0, 40);
}

TEST(YamlValue, AliasesShareTheAnchoredValue) {
  // Thirty levels of ten aliases each: 10^30 leaves if copied.
  std::string bomb = "l0: &l0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int i = 1; i <= 30; ++i) {
    const std::string prev = "*l" + std::to_string(i - 1);
    bomb += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [" + prev;
    for (int k = 1; k < 10; ++k) bomb += ", " + prev;
    bomb += "]\n";
  }
  auto doc = parse_yaml_document(bomb);
  ASSERT_TRUE(doc) << doc.error();
  const YamlValue* top = (*doc)->find("l30");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->height(), 32u);
  const auto& items = *top->as_sequence();
  EXPECT_EQ(items[0].get(), items[9].get());
  EXPECT_EQ(items[0].get(), (*doc)->find("l29"));

  // A later anchor of the same name, inside the node, stays in force.
  auto redefined = parse_yaml_document("a: &x [&x 1, *x]\nb: *x\n");
  ASSERT_TRUE(redefined);
  EXPECT_EQ(describe(*(*redefined)->find("b")), "int:1");
}

// Runs the matcher over `yaml` with root `root` and `env`.
std::optional<std::string> match(std::string_view yaml, const std::string& root, const EnvSnapshot& env) {
  auto config = parse_worktree_config(yaml, "/x/config/worktree.yaml");
  EXPECT_TRUE(config) << config.error();
  return config ? match_config_override(*config, root, env) : std::nullopt;
}

TEST(WorktreeConfig, OverrideSelection) {
  TempDir tmp;
  const std::string root = tmp / "repo";
  std::filesystem::create_directories(root + "/ci-trees");
  std::filesystem::create_directories(tmp / "sibling");
  const EnvSnapshot env{{"B", "1"}, {"EMPTY", ""}, {"BLANK", " "}, {"7", "x"}};
  auto entry = [](std::string_view body) { return "worktree:\n  overrides:\n" + std::string(body); };
  struct Case {
    std::string yaml;
    std::optional<std::string> expected;  // "@" stands for the root
  };
  const Case cases[] = {
      {entry("  - base: ci-trees\n"), "@/ci-trees"},
      {entry("  - base: missing\n"), "@/missing"},
      {entry("  - base: ../sibling\n"), tmp / "sibling"},
      {entry("  - base: ../nowhere\n"), "@/../nowhere"},
      {entry("  - base: /abs/ci\n"), "/abs/ci"},
      {entry("  - {detection: {env_vars_any: [A, 7, B]}, base: one}\n"), "@/one"},
      {entry("  - {detection: {env_vars_any: [EMPTY]}, base: one}\n"), std::nullopt},
      {entry("  - {detection: {env_vars_any: [BLANK]}, base: one}\n"), "@/one"},
      {entry("  - {detection: {env_vars_any: [7]}, base: one}\n"), std::nullopt},
      {entry("  - {detection: {env_vars_any: ['7']}, base: one}\n"), "@/one"},
      {entry("  - {detection: {env_vars_any: []}}\n  - base: two\n"), "@/two"},
      {entry("  - {detection: {env_vars_any: B}, base: one}\n"), "@/one"},  // not a list: applies
      {entry("  - {detection: [B], base: one}\n"), "@/one"},
      {entry("  - base: ''\n  - base: two\n"), "@/two"},
      {entry("  - {detection: {}}\n  - base: two\n"), "@/two"},
      {entry("  - just a string\n  - base: two\n"), "@/two"},
      {entry("  - base: 5\n  - base: two\n"), "@/two"},
      {entry("  - base: one\n  - base: two\n"), "@/one"},
      {"worktree: 5\n", std::nullopt},
      {entry("    []\n"), std::nullopt},
      {entry("    {base: one}\n"), std::nullopt},
      {"worktree: {}\n", std::nullopt},
      {"- worktree\n", std::nullopt},
      {"42\n", std::nullopt},
      {"", std::nullopt},
      {"!t {worktree: !t {overrides: !t [!t {detection: !t {env_vars_any: !t [!t B]}, base: !t one}]}}\n", "@/one"},
      {"e: &e {base: one}\nworktree: {overrides: [*e]}\n", "@/one"},
      {"worktree: {overrides: [{base: one}]}\nworktree: {overrides: [{base: two}]}\n", "@/two"},
      {"? !t worktree\n: {overrides: [{base: one}]}\n", std::nullopt},  // keys are plain strings
  };
  int row = -1;
  for (const auto& c : cases) {
    ++row;
    std::optional<std::string> expected = c.expected;
    if (expected && expected->starts_with('@')) expected->replace(0, 1, root);
    EXPECT_EQ(match(c.yaml, root, env), expected) << "row " << row << ":\n" << c.yaml;
  }
}

TEST(WorktreeConfig, LoadingTheFile) {
  TempDir tmp;
  const std::string root = tmp / "repo";
  const std::string file = root + "/config/worktree.yaml";
  auto outcome = [&] {
    auto config = load_worktree_config(root);
    if (!config) return "error:" + config.error();
    return config->is_null() ? std::string("null") : describe(*config->root);
  };
  EXPECT_TRUE(load_worktree_config(std::nullopt)->is_null());
  EXPECT_EQ(outcome(), "null");  // no root directory at all
  std::filesystem::create_directories(root + "/config");
  EXPECT_EQ(outcome(), "null");
  ASSERT_EQ(::symlink("nowhere", file.c_str()), 0);
  EXPECT_EQ(outcome(), "null");  // a dangling link counts as missing
  std::filesystem::remove(file);

  std::filesystem::create_directory(file);
  EXPECT_EQ(outcome(), "error:config/worktree.yaml at " + file + " could not be read: Is a directory (os error 21)");
  std::filesystem::remove(file);

  write_file_mkdirs(file, "a: \"\xff\"\n");
  EXPECT_EQ(outcome(), "error:config/worktree.yaml at " + file +
                           " could not be read: file is not valid UTF-8 (invalid utf-8 sequence of 1 bytes from "
                           "index 4)");
  write_file_mkdirs(file, "a: [\n");
  EXPECT_TRUE(outcome().starts_with("error:config/worktree.yaml at " + file + " could not be parsed: ")) << outcome();
  write_file_mkdirs(file, "!t ~\n");
  EXPECT_EQ(outcome(), "null");  // a null under a tag is still no configuration
  write_file_mkdirs(file, "[1]\n");
  EXPECT_EQ(outcome(), "seq:1");
}

}  // namespace
