#include "infrastructure/project_id_resolver.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "test_support.hpp"

namespace {

using namespace brackwater::infrastructure;
using std::nullopt;
using test_support::ScopedCwd;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;

const std::string kPattern = " does not match the normative pattern '^[a-z][a-z0-9_-]{0,63}$'";

std::string outcome(const std::expected<std::string, ProjectResolveError>& r) {
  return r ? "ok:" + *r : "err:" + r.error().display();
}

std::string config(std::string_view id_line) { return "[tool.plowline]\n" + std::string(id_line) + "\n"; }

// "a.a.a…": a dotted key of `parts` parts.
std::string dotted(size_t parts) {
  std::string key = "a";
  for (size_t i = 1; i < parts; ++i) key += ".a";
  return key;
}

// Every test works in its own temporary directory: the id cache lives as
// long as the process, so roots must never repeat between tests.
class ProjectIdTest : public ::testing::Test {
 protected:
  std::string repo(const std::string& name, std::optional<std::string> pyproject = nullopt) {
    const std::string dir = tmp / name;
    test_support::make_repo(dir);
    if (pyproject) write_file(dir + "/pyproject.toml", *pyproject);
    return dir;
  }
  TempDir tmp;
  ScopedEnv repo_root_env{"TESSARY_REPO_ROOT", nullopt};
  ScopedEnv ceiling{"GIT_CEILING_DIRECTORIES", tmp.path()};
};

struct ConfigCase {
  std::optional<std::string> pyproject;  // nullopt: no file; "<dir>", "<fifo>": that in its place
  std::string expected;                  // "ok:<id>" or the start of "err:<display>"
  bool prefix_only = false;
};

TEST_F(ProjectIdTest, ConfiguredIds) {
  const std::string unreadable = "err:WORKTREE_PROJECT_CONFIG_UNREADABLE: pyproject.toml at ";
  const std::string invalid = "err:PROJECT_ID_INVALID: project_id ";
  const std::string long_id = "a" + std::string(64, 'b');
  const ConfigCase cases[] = {
      {nullopt, "ok:tessary"},
      {"", "ok:tessary"},
      {config(R"(project_id = "alpha-1")"), "ok:alpha-1"},
      {"[project]\nname = 'x'\n", "ok:tessary"},
      {config("other = 1"), "ok:tessary"},
      {config(R"(project_id = "")"), "ok:tessary"},
      {config("project_id = 5"), "ok:tessary"},
      {"tool = 5\n", "ok:tessary"},
      {"[tool]\nplowline = \"x\"\n", "ok:tessary"},
      {config(R"(project_id = "Upper")"), invalid + R"("Upper")" + kPattern},
      {config("project_id = \"caf\u00e9\""), invalid + "\"caf\u00e9\"" + kPattern},
      {config("project_id = \"" + long_id + "\""), invalid + "\"" + long_id + "\"" + kPattern},
      {config(R"(project_id = " alpha")"), invalid + R"(" alpha")" + kPattern},  // not trimmed
      {"[tool.plowline\nproject_id = 'x'\n", unreadable + "@/pyproject.toml could not be parsed: ", true},
      {"project_id = \"\xff\"\n", unreadable + "@/pyproject.toml could not be read: ", true},
      {"<dir>", unreadable + "@/pyproject.toml could not be read: Is a directory (os error 21)"},
      {"<fifo>", unreadable + "@/pyproject.toml could not be read: not a regular file"},
      // Keys that reach deeper than the parser can build are refused before it
      // sees them; dots inside strings and comments are not key parts.
      {dotted(40000) + " = 1\n",
       unreadable + "@/pyproject.toml could not be parsed: tables nested deeper than 256 levels at line 1, column 513"},
      {"[" + dotted(100000) + "]\n",
       unreadable + "@/pyproject.toml could not be parsed: tables nested deeper than 256 levels", true},
      {"[" + dotted(200) + "]\nx = {" + dotted(100) + " = 1}\n",
       unreadable + "@/pyproject.toml could not be parsed: tables nested deeper than 256 levels at line 2, column ",
       true},
      {"[" + dotted(200) + "]\n" + dotted(50) + " = \"\"\"" + dotted(9000) + "\"\"\" # " + dotted(9000) + "\n" +
           config(R"(project_id = "deep")"),
       "ok:deep"},
  };
  int row = -1;
  for (const auto& c : cases) {
    const std::string root = repo("case" + std::to_string(++row));
    if (c.pyproject == "<dir>") {
      ASSERT_TRUE(std::filesystem::create_directory(root + "/pyproject.toml"));
    } else if (c.pyproject == "<fifo>") {
      ASSERT_EQ(::mkfifo((root + "/pyproject.toml").c_str(), 0644), 0);
    } else if (c.pyproject) {
      write_file(root + "/pyproject.toml", *c.pyproject);
    }
    std::string expected = c.expected;
    if (auto at = expected.find('@'); at != std::string::npos) expected.replace(at, 1, root);
    const std::string got = outcome(resolve_project_id(root));
    if (c.prefix_only) {
      EXPECT_TRUE(got.starts_with(expected)) << "row " << row << " gave " << got;
      EXPECT_GT(got.size(), expected.size()) << "row " << row << ": no reason given";
    } else {
      EXPECT_EQ(got, expected) << "row " << row;
    }
  }
}

TEST_F(ProjectIdTest, ErrorsAreReadAgainSuccessesAreCached) {
  const std::string root = repo("r", config(R"(project_id = "Bad")"));
  auto checked = resolve_project_id(root);
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().message(), R"(project_id "Bad")" + kPattern);
  EXPECT_EQ(checked.error().code(), "PROJECT_ID_INVALID");

  write_file(root + "/pyproject.toml", "[tool.plowline\n");
  checked = resolve_project_id(root);
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().code(), "WORKTREE_PROJECT_CONFIG_UNREADABLE");
  EXPECT_TRUE(
      checked.error().message().starts_with("pyproject.toml at " + root + "/pyproject.toml could not be parsed: "))
      << checked.error().message();

  write_file(root + "/pyproject.toml", config(R"(project_id = "good")"));
  EXPECT_EQ(outcome(resolve_project_id(root)), "ok:good");

  write_file(root + "/pyproject.toml", config(R"(project_id = "other")"));
  EXPECT_EQ(outcome(resolve_project_id(root)), "ok:good");         // same text: cached
  EXPECT_EQ(outcome(resolve_project_id(root + "/")), "ok:other");  // another text: read again
  EXPECT_EQ(resolve_project_id(root).value_or("?"), "good");
}

TEST_F(ProjectIdTest, RootPrecedence) {
  const std::string cwd_repo = repo("cwd", config(R"(project_id = "from-cwd")"));
  const std::string env_repo = repo("env", config(R"(project_id = "from-env")"));
  const std::string arg_repo = repo("arg", config(R"(project_id = "from-arg")"));
  ASSERT_TRUE(std::filesystem::create_directory(cwd_repo + "/sub"));
  ScopedCwd in_sub(cwd_repo + "/sub");

  EXPECT_EQ(resolve_root(nullopt), cwd_repo);
  EXPECT_EQ(outcome(resolve_project_id(nullopt)), "ok:from-cwd");
  for (const char* ignored : {"", "\xff"}) {  // empty or non-UTF-8 counts as unset
    ScopedEnv env("TESSARY_REPO_ROOT", ignored);
    EXPECT_EQ(resolve_root(nullopt), cwd_repo);
  }
  ScopedEnv env("TESSARY_REPO_ROOT", env_repo);
  EXPECT_EQ(resolve_root(nullopt), env_repo);
  EXPECT_EQ(resolve_root(""), env_repo);
  EXPECT_EQ(outcome(resolve_project_id(nullopt)), "ok:from-env");
  EXPECT_EQ(resolve_root(arg_repo), arg_repo);
  EXPECT_EQ(resolve_root("  "), "  ");
  EXPECT_EQ(outcome(resolve_project_id(arg_repo)), "ok:from-arg");
}

TEST_F(ProjectIdTest, StateNames) {
  EXPECT_EQ(outcome(resolve_state_dir_name("")), "ok:.tessary");
  EXPECT_EQ(outcome(resolve_state_dir_name("alpha")), "ok:.alpha");
  EXPECT_EQ(outcome(resolve_state_dir_name("a b")), R"(err:PROJECT_ID_INVALID: project_id "a b")" + kPattern);
  EXPECT_EQ(outcome(store_relative_path("alpha")), "ok:.alpha/state/brackwater/bindings.json");
  EXPECT_EQ(outcome(store_relative_path("")), "ok:.tessary/state/brackwater/bindings.json");
  EXPECT_FALSE(store_relative_path("Alpha"));

  const std::string root = repo("r", config(R"(project_id = "beta")"));
  ASSERT_EQ(::symlink(root.c_str(), (tmp / "link").c_str()), 0);
  ScopedEnv env("TESSARY_REPO_ROOT", tmp / "link");
  EXPECT_EQ(outcome(resolve_state_dir_name(nullopt)), "ok:.beta");
  EXPECT_EQ(outcome(store_relative_path(nullopt)), "ok:.beta/state/brackwater/bindings.json");
  EXPECT_EQ(outcome(state_dir(nullopt)), "ok:" + root + "/.beta");  // the root is normalised
  EXPECT_EQ(outcome(state_dir(root + "/")), "ok:" + root + "/.beta");

  const std::string broken = repo("broken", "[tool.plowline\n");
  EXPECT_TRUE(outcome(state_dir(broken)).starts_with("err:WORKTREE_PROJECT_CONFIG_UNREADABLE: "));
  ScopedEnv broken_env("TESSARY_REPO_ROOT", broken);
  EXPECT_FALSE(resolve_state_dir_name(nullopt));
}

TEST_F(ProjectIdTest, OutsideAnyRepository) {
  ASSERT_TRUE(std::filesystem::create_directory(tmp / "outside"));
  ScopedCwd outside(tmp / "outside");
  EXPECT_EQ(resolve_root(nullopt), "");
  EXPECT_EQ(outcome(resolve_project_id(nullopt)), "ok:tessary");
  EXPECT_EQ(outcome(state_dir(nullopt)), "ok:");
  EXPECT_EQ(outcome(resolve_state_dir_name(nullopt)), "ok:.tessary");
  EXPECT_EQ(outcome(store_relative_path(nullopt)), "ok:.tessary/state/brackwater/bindings.json");
}

}  // namespace
