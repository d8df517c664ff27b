#include "application/git_worktree_service.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using namespace brackwater::application;
using brackwater::domain::GitWorktree;
using brackwater::domain::WorktreePreconditionResult;
using std::nullopt;
using test_support::FakeGit;
using test_support::ScopedEnv;
using test_support::TempDir;
using Allowed = std::optional<std::vector<std::string>>;

class GitWorktreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::make_repo_with_commit(repo);
    ASSERT_TRUE(test_support::git(repo, "worktree add -q -b feat " + test_support::shell_quote(linked)));
  }
  TempDir tmp;
  ScopedEnv ceiling{"GIT_CEILING_DIRECTORIES", tmp.path()};
  std::string repo = tmp / "main repo";
  std::string linked = tmp / "linked é";
};

TEST_F(GitWorktreeTest, MainWorktreeCheck) {
  ASSERT_TRUE(test_support::git(
      repo, "branch master && git -C " + test_support::shell_quote(linked) + " checkout -q --detach"));
  struct Case {
    std::string checkout;  // what the main worktree is switched to first ("" for nothing)
    std::string dir;
    Allowed allowed;
    std::string code;
    std::string message;
  };
  const std::string outside = tmp.path();
  const Case cases[] = {
      {"", repo, nullopt, "WORKTREE_MAIN_OK", "main worktree on an allowed branch"},
      {"master", repo, nullopt, "WORKTREE_MAIN_OK", "main worktree on an allowed branch"},
      {"--detach", repo, nullopt, "WORKTREE_MAIN_BRANCH_MISMATCH",
       R"(main worktree is on branch 'HEAD', expected one of ["main", "master"])"},
      {"main", repo, Allowed{std::vector<std::string>{}}, "WORKTREE_MAIN_BRANCH_MISMATCH",
       "main worktree is on branch 'main', expected one of []"},
      {"", repo, Allowed{{"Main", "main ", "a\"b\t"}}, "WORKTREE_MAIN_BRANCH_MISMATCH",
       R"(main worktree is on branch 'main', expected one of ["Main", "main ", "a\"b\t"])"},
      {"", repo, Allowed{{"x", "main"}}, "WORKTREE_MAIN_OK", "main worktree on an allowed branch"},
      {"", linked, Allowed{{"HEAD", "feat", "main"}}, "WORKTREE_NOT_MAIN",
       "current working directory is a linked worktree"},
      {"", outside, nullopt, "WORKTREE_REV_PARSE_UNAVAILABLE", "git rev-parse is unavailable"},
      {"", "", nullopt, "WORKTREE_GIT_UNAVAILABLE", "git could not be run: git binary not found on PATH"},
  };
  for (const auto& c : cases) {
    if (!c.checkout.empty()) {
      ASSERT_TRUE(test_support::git(repo, "checkout -q " + c.checkout));
    }
    const WorktreePreconditionResult r = validate_main_worktree(c.dir, c.allowed);
    EXPECT_EQ(r.reason_code, c.code) << c.dir;
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.ok, c.code == "WORKTREE_MAIN_OK");
    const bool has_context = c.code != "WORKTREE_REV_PARSE_UNAVAILABLE" && c.code != "WORKTREE_GIT_UNAVAILABLE";
    EXPECT_EQ(r.context.has_value(), has_context) << c.code;
  }
  EXPECT_EQ(resolve_git_worktree(std::string()), nullopt);
  auto empty = try_resolve_git_worktree(std::string());
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().display(), "git binary not found on PATH");
}

TEST_F(GitWorktreeTest, GitThatIsMissingOrAnswersBadly) {
  struct Case {
    std::string script;
    std::string code;
  };
  const Case cases[] = {
      {"", "WORKTREE_GIT_UNAVAILABLE"},  // no git on PATH
      {R"(printf '\377\n')", "WORKTREE_GIT_UNAVAILABLE"},
      {"echo fatal >&2; exit 128", "WORKTREE_REV_PARSE_UNAVAILABLE"},
      {R"(printf '/g\n/g\n/t\n')", "WORKTREE_REV_PARSE_UNAVAILABLE"},
      {R"(printf '/g\n \n/t\nmain\n')", "WORKTREE_REV_PARSE_UNAVAILABLE"},
      {R"(printf ' /g \r\n/g\n/t\nmain\n\n')", "WORKTREE_MAIN_OK"},
      // a fifth line: some path held a line feed, so no line can be trusted
      {R"(printf '/g\n/g\n/t\nmain\nextra\n')", "WORKTREE_REV_PARSE_UNAVAILABLE"},
      {R"(printf '/g\n/c\n/t\nmain\n')", "WORKTREE_NOT_MAIN"},
  };
  for (const auto& c : cases) {
    FakeGit git(c.script, 0755, /*only=*/c.script.empty());
    EXPECT_EQ(validate_main_worktree(repo, nullopt).reason_code, c.code) << c.script;
  }
}

TEST(GitWorktreeRecord, MainRuleNeedsBothDirectories) {
  TempDir tmp;
  std::filesystem::create_directory(tmp / "d");
  std::filesystem::create_directory_symlink(tmp / "d", tmp / "link");
  EXPECT_FALSE((GitWorktree{"", "", "", "main"}.is_main_worktree()));
  EXPECT_FALSE((GitWorktree{"/x", "", "", "main"}.is_main_worktree()));
  EXPECT_TRUE((GitWorktree{tmp / "link", tmp / "d", "", ""}.is_main_worktree()));  // normalised again
}

}  // namespace
