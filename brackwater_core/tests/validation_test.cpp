#include "application/validation.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using brackwater::application::validate_binding;
using brackwater::domain::BindingValidationOptions;
using brackwater::domain::BindingValidationResult;
using brackwater::domain::WorktreeBinding;
using brackwater::support::EnvSnapshot;
using std::nullopt;
using test_support::FakeGit;
using test_support::ScopedEnv;
using test_support::TempDir;

const std::map<std::string, std::string> kMessages = {
    {"WORKTREE_BINDING_OK", "worktree binding is valid"},
    {"WORKTREE_CWD_MISMATCH", "cwd does not match worktree binding"},
    {"WORKTREE_ENV_MISMATCH", "TESSARY_WORKTREE does not match worktree binding"},
    {"WORKTREE_ENV_MISSING", "TESSARY_WORKTREE is required for this validation"},
    {"WORKTREE_BRANCH_ENV_MISMATCH", "TESSARY_BRANCH does not match worktree binding"},
    {"WORKTREE_BRANCH_UNAVAILABLE", "git branch is unavailable for worktree binding validation"},
    {"WORKTREE_BRANCH_MISMATCH", "git branch does not match worktree binding"},
    {"WORKTREE_GIT_COMMON_DIR_UNAVAILABLE", "git common dir is unavailable for worktree binding validation"},
    {"WORKTREE_GIT_COMMON_DIR_MISMATCH", "git common dir does not match worktree binding"},
};

bool same(const WorktreeBinding& a, const WorktreeBinding& b) {
  return a.to_dict() == b.to_dict() && a.schema_version == b.schema_version;
}

class ValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::make_repo_with_commit(repo);
    std::filesystem::create_directory_symlink(repo, link);
  }
  // The reason code, after checking the parts every result shares.
  std::string check(const WorktreeBinding& b, const std::optional<std::string>& cwd,
                    const std::optional<EnvSnapshot>& env, bool check_git,
                    const std::optional<BindingValidationOptions>& options) {
    const BindingValidationResult r = validate_binding(b, cwd, env, check_git, options);
    EXPECT_EQ(r.ok, r.reason_code == "WORKTREE_BINDING_OK");
    if (kMessages.contains(r.reason_code)) {
      EXPECT_EQ(r.message, kMessages.at(r.reason_code));
    }
    EXPECT_TRUE(r.binding && same(*r.binding, b)) << "the result must carry the input binding";
    return r.reason_code;
  }
  WorktreeBinding binding(const std::string& branch = "main", const std::string& common = "") const {
    return WorktreeBinding::create("s", repo, branch, repo + "/state", common.empty() ? repo + "/.git" : common, repo,
                                   "");
  }

  TempDir tmp;
  ScopedEnv ceiling{"GIT_CEILING_DIRECTORIES", tmp.path()};
  std::string repo = tmp / "repo";
  std::string link = tmp / "link";
};

TEST_F(ValidationTest, DirectoryAndEnvironmentChecks) {
  const BindingValidationOptions need_env{.require_env_worktree = true};
  struct Case {
    std::optional<std::string> cwd;
    std::optional<EnvSnapshot> env;
    std::optional<BindingValidationOptions> options;
    std::string code;
  };
  const Case cases[] = {
      {repo, nullopt, need_env, "WORKTREE_BINDING_OK"},  // no env: no env checks at all
      {link + "/", EnvSnapshot{}, nullopt, "WORKTREE_BINDING_OK"},
      {tmp.path(), nullopt, nullopt, "WORKTREE_CWD_MISMATCH"},
      {"", nullopt, nullopt, "WORKTREE_CWD_MISMATCH"},
      {" ", nullopt, nullopt, "WORKTREE_CWD_MISMATCH"},
      {tmp.path(), EnvSnapshot{{"TESSARY_WORKTREE", tmp.path()}}, nullopt, "WORKTREE_CWD_MISMATCH"},
      {nullopt, EnvSnapshot{{"TESSARY_WORKTREE", tmp.path()}}, nullopt, "WORKTREE_ENV_MISMATCH"},
      {nullopt, EnvSnapshot{{"TESSARY_WORKTREE", " \u3000" + link + "\t"}}, need_env, "WORKTREE_BINDING_OK"},
      {nullopt, EnvSnapshot{}, need_env, "WORKTREE_ENV_MISSING"},
      {nullopt, EnvSnapshot{{"TESSARY_WORKTREE", " \u00a0\n"}}, need_env, "WORKTREE_ENV_MISSING"},
      {nullopt, EnvSnapshot{{"tessary_worktree", repo}}, need_env, "WORKTREE_ENV_MISSING"},  // keys are exact
      {nullopt, EnvSnapshot{{"TESSARY_WORKTREE", " \u00a0\n"}}, nullopt, "WORKTREE_BINDING_OK"},
      {nullopt, EnvSnapshot{{"TESSARY_BRANCH", " main\u2003"}}, nullopt, "WORKTREE_BINDING_OK"},
      {nullopt, EnvSnapshot{{"TESSARY_BRANCH", "  "}}, nullopt, "WORKTREE_BINDING_OK"},
      {nullopt, EnvSnapshot{{"TESSARY_BRANCH", "Main"}}, nullopt, "WORKTREE_BRANCH_ENV_MISMATCH"},
      {nullopt, EnvSnapshot{{"TESSARY_WORKTREE", tmp.path()}, {"TESSARY_BRANCH", "x"}}, nullopt,
       "WORKTREE_ENV_MISMATCH"},
  };
  // check_git is false throughout: a git that runs would leave its mark.
  FakeGit git("touch " + test_support::shell_quote(tmp / "git-ran") + "; exit 1");
  for (const auto& c : cases) {
    EXPECT_EQ(check(binding(), c.cwd, c.env, false, c.options), c.code) << c.cwd.value_or("<no cwd>");
  }
  BindingValidationOptions everything{true, true};
  EXPECT_EQ(check(binding(), repo, nullopt, false, everything), "WORKTREE_BINDING_OK");
  EXPECT_FALSE(std::filesystem::exists(tmp / "git-ran"));

  // A branch stored with blanks never equals a trimmed value.
  EXPECT_EQ(check(binding(" main "), nullopt, EnvSnapshot{{"TESSARY_BRANCH", " main "}}, false, nullopt),
            "WORKTREE_BRANCH_ENV_MISMATCH");
  // The result carries the record as given, not the normalised worktree.
  auto b = binding();
  b.worktree = link + "/./";
  EXPECT_EQ(validate_binding(b, repo, nullopt, false, nullopt).binding->worktree, link + "/./");
}

TEST_F(ValidationTest, GitChecksInARealRepository) {
  const BindingValidationOptions need_git{.require_git_state = true};
  EXPECT_EQ(check(binding(), repo, EnvSnapshot{}, true, need_git), "WORKTREE_BINDING_OK");
  EXPECT_EQ(check(binding("dev"), nullopt, nullopt, true, nullopt), "WORKTREE_BRANCH_MISMATCH");
  // The branch is checked first: both wrong reports only the branch.
  EXPECT_EQ(check(binding("dev", tmp / "other/.git"), nullopt, nullopt, true, nullopt), "WORKTREE_BRANCH_MISMATCH");
  EXPECT_EQ(check(binding("main", tmp / "other/.git"), nullopt, nullopt, true, nullopt),
            "WORKTREE_GIT_COMMON_DIR_MISMATCH");
  auto edited = binding();
  edited.git_common_dir = link + "/.git";  // compared as paths, not as texts
  EXPECT_EQ(check(edited, nullopt, nullopt, true, need_git), "WORKTREE_BINDING_OK");
  edited.git_common_dir = "";
  EXPECT_EQ(check(edited, nullopt, nullopt, true, need_git), "WORKTREE_BINDING_OK");

  ASSERT_TRUE(test_support::git(repo, "checkout -q --detach"));
  EXPECT_EQ(check(binding("anything"), nullopt, nullopt, true, nullopt), "WORKTREE_BINDING_OK");
  EXPECT_EQ(check(binding("anything"), nullopt, nullopt, true, need_git), "WORKTREE_BRANCH_UNAVAILABLE");

  // Outside any repository both git commands fail; that only matters when
  // git state is required.
  std::filesystem::create_directories(tmp / "plain");
  auto outside = WorktreeBinding::create("s", tmp / "plain", "main", "", repo + "/.git", repo, "");
  EXPECT_EQ(check(outside, nullopt, nullopt, true, nullopt), "WORKTREE_BINDING_OK");
  EXPECT_EQ(check(outside, nullopt, nullopt, true, need_git), "WORKTREE_BRANCH_UNAVAILABLE");
}

TEST_F(ValidationTest, GitThatAnswersBadlyOrNotAtAll) {
  const BindingValidationOptions need_git{.require_git_state = true};
  const std::string log = test_support::shell_quote(tmp / "calls");
  {
    FakeGit git(R"(case "$1" in branch) echo main;; *) exit 1;; esac)");
    EXPECT_EQ(check(binding(), nullopt, nullopt, true, nullopt), "WORKTREE_BINDING_OK");
    EXPECT_EQ(check(binding(), nullopt, nullopt, true, need_git), "WORKTREE_GIT_COMMON_DIR_UNAVAILABLE");
  }
  {
    FakeGit git("echo \"$1\" >> " + log + R"(; printf '\377')");
    auto r = validate_binding(binding(), nullopt, nullopt, true, nullopt);
    EXPECT_EQ(r.reason_code, "WORKTREE_GIT_UNAVAILABLE");
    EXPECT_TRUE(
        r.message.starts_with("git could not be run for worktree binding validation: git output is not valid UTF-8"))
        << r.message;
    EXPECT_EQ(test_support::read_file(tmp / "calls"), "branch\n") << "the common dir must not be asked";
  }
  {
    FakeGit git(R"(case "$1" in branch) echo main;; *) printf '\377';; esac)");
    EXPECT_EQ(validate_binding(binding(), nullopt, nullopt, true, nullopt).reason_code, "WORKTREE_GIT_UNAVAILABLE");
  }
  FakeGit no_git("", 0755, /*only=*/true);
  auto r = validate_binding(binding(), repo, EnvSnapshot{}, true, nullopt);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.reason_code, "WORKTREE_GIT_UNAVAILABLE");
  EXPECT_EQ(r.message, "git could not be run for worktree binding validation: git binary not found on PATH");
  EXPECT_TRUE(r.binding && same(*r.binding, binding()));
}

}  // namespace
