#include "domain/binding.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using brackwater::domain::WorktreeBinding;
using nlohmann::json;

const json kBase = json::parse(R"({"session_id": "s", "worktree": "/w", "branch": "b", "state_path": "/st",
                                   "main_worktree": "/m"})");

// kBase with `patch` merged in (a null value stays null) and `drop` removed.
json payload(const json& patch, std::initializer_list<const char*> drop = {}) {
  json p = kBase;
  for (const auto& [key, value] : patch.items()) p[key] = value;
  for (const char* key : drop) p.erase(key);
  return p;
}

std::string error_of(const json& p) {
  auto r = WorktreeBinding::from_dict(p);
  return r ? "parsed" : r.error();
}

TEST(BindingRecord, FromDictFailuresNameTheFirstBadField) {
  const std::string missing = "missing required worktree binding field: ";
  const std::pair<json, std::string> cases[] = {
      {json::array(), "worktree binding payload must be an object"},
      {json("x"), "worktree binding payload must be an object"},
      {json(nullptr), "worktree binding payload must be an object"},
      {json(5), "worktree binding payload must be an object"},
      {payload({}, {"session_id", "branch"}), missing + "session_id"},  // steps run in order
      {payload({{"session_id", "\u3000 \t"}}), missing + "session_id"},
      {payload({{"worktree", 5}, {"worktree_path", "/ok"}}), missing + "worktree"},
      {payload({{"worktree", ""}, {"worktree_path", "/ok"}}), missing + "worktree"},
      {payload({}, {"worktree"}), missing + "worktree_path"},
      {payload({{"worktree_path", " "}}, {"worktree"}), missing + "worktree_path"},
      {payload({{"branch", "\u00a0"}}), missing + "branch"},  // a no-break space is blank
      {payload({{"branch", json::array({"b"})}}), missing + "branch"},
      {payload({}, {"state_path"}), missing + "state_path"},
      {payload({{"main_worktree", nullptr}, {"repo_root", "/ok"}}), missing + "main_worktree"},
      {payload({}, {"main_worktree"}), missing + "repo_root"},
  };
  for (const auto& [p, expected] : cases) EXPECT_EQ(error_of(p), expected) << p.dump();
}

TEST(BindingRecord, AliasesAndOptionalFields) {
  struct Case {
    json payload;
    std::string commit_ish;
    std::string git_common_dir;
  };
  const Case cases[] = {
      {payload({{"commit_ish", nullptr}, {"source_ref", "r"}}), "", ""},  // commit_ish present wins
      {payload({{"commit_ish", 5}, {"source_ref", "r"}}), "", ""},
      {payload({{"source_ref", "r"}}), "r", ""},
      {payload({{"source_ref", 7}}), "", ""},
      {payload({{"commit_ish", " c "}}), " c ", ""},
      {payload({{"git_common_dir", nullptr}}), "", ""},
      {payload({{"git_common_dir", 3}}), "", ""},
      {payload({{"git_common_dir", " \u2003 "}}), "", ""},
      {payload({{"git_common_dir", "/g"}}), "", "/g"},
  };
  for (const auto& c : cases) {
    auto b = WorktreeBinding::from_dict(c.payload);
    ASSERT_TRUE(b) << c.payload.dump();
    EXPECT_EQ(b->commit_ish, c.commit_ish) << c.payload.dump();
    EXPECT_EQ(b->git_common_dir, c.git_common_dir) << c.payload.dump();
  }

  auto aliased = WorktreeBinding::from_dict(
      payload({{"session_id", " s "}, {"branch", " b "}, {"worktree_path", "/wp"}, {"repo_root", "/rr"}},
              {"worktree", "main_worktree"}));
  ASSERT_TRUE(aliased);
  EXPECT_EQ(aliased->session_id, " s ");  // required texts are checked trimmed but kept as given
  EXPECT_EQ(aliased->branch, " b ");
  EXPECT_EQ(aliased->worktree, "/wp");
  EXPECT_EQ(aliased->main_worktree, "/rr");
  const json dict = aliased->to_dict();
  EXPECT_EQ(dict.size(), 8u);
  EXPECT_EQ(dict["worktree"], "/wp");
  EXPECT_EQ(dict["main_worktree"], "/rr");
  EXPECT_FALSE(dict.contains("worktree_path") || dict.contains("repo_root") || dict.contains("source_ref"));
}

TEST(BindingRecord, SchemaVersionOnlyFromIntegersThatFitSigned64) {
  const std::pair<const char*, int64_t> cases[] = {
      {"1", 1},
      {"-1", -1},
      {"0", 0},
      {"2.5", 2},
      {"3.0", 2},
      {"\"3\"", 2},
      {"null", 2},
      {"true", 2},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", 2},   // parsed as unsigned, above the signed range
      {"18446744073709551616", 2},  // beyond 64 bits: parsed as a double
      {"-9223372036854775809", 2},  // likewise
  };
  const std::string base = kBase.dump();
  for (const auto& [literal, expected] : cases) {
    const json p = json::parse(base.substr(0, base.size() - 1) + R"(,"schema_version":)" + literal + "}");
    auto b = WorktreeBinding::from_dict(p);
    ASSERT_TRUE(b) << literal;
    EXPECT_EQ(b->schema_version, expected) << literal;
    EXPECT_EQ(b->to_dict()["schema_version"], 2) << literal;
  }
  EXPECT_EQ(WorktreeBinding::from_dict(kBase)->schema_version, 2);
}

TEST(BindingRecord, CreateNormalisesOnlyThePathFields) {
  test_support::TempDir tmp;
  std::filesystem::create_directories(tmp / "a");
  std::filesystem::create_directories(tmp / "b");
  std::filesystem::create_directory_symlink(tmp / "b", tmp / "link");
  auto b = WorktreeBinding::create(" id ", tmp / "a/../b", " br ", tmp / "link/x", "", tmp / "b/.", "../c", 7);
  EXPECT_EQ(b.session_id, " id ");
  EXPECT_EQ(b.worktree, tmp / "b");
  EXPECT_EQ(b.branch, " br ");
  EXPECT_EQ(b.state_path, tmp / "b/x");
  EXPECT_EQ(b.git_common_dir, "");
  EXPECT_EQ(b.main_worktree, tmp / "b");
  EXPECT_EQ(b.commit_ish, "../c");
  EXPECT_EQ(b.schema_version, 7);

  // to_dict copies the fields as held, without normalising them again, and
  // always writes the current schema version; keys serialise in byte order.
  b.worktree = "/x/../y";
  EXPECT_EQ(b.to_dict().dump(), R"({"branch":" br ","commit_ish":"../c","git_common_dir":"","main_worktree":")" +
                                    tmp / "b" + R"(","schema_version":2,"session_id":" id ","state_path":")" +
                                    tmp / "b/x" + R"(","worktree":"/x/../y"})");
}

}  // namespace
