#include "application/binding_lifecycle.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using namespace brackwater::application;
using brackwater::domain::WorktreeBinding;
using brackwater::support::EnvSnapshot;
using std::nullopt;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;
using test_support::write_file_mkdirs;
namespace fs = std::filesystem;

std::string outcome(const std::expected<WorktreeBinding, RegisterBindingError>& r) {
  if (r) return "ok";
  return (std::holds_alternative<RegisterBindingError::Store>(r.error().value()) ? "store:" : "rejected:") +
         r.error().display();
}

std::string ids(const std::string& main_worktree) {
  std::string out;
  const auto all = list_bindings(main_worktree);
  for (const auto& b : all.value()) out += b.session_id + "(" + b.commit_ish + "),";
  return out;
}

// A main worktree on "main" whose pyproject.toml names the project "alpha",
// and a linked worktree on "feature" whose own pyproject.toml says "beta".
class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::make_repo_with_commit(repo);
    write_file(repo + "/pyproject.toml", "[tool.plowline]\nproject_id = \"alpha\"\n");
    fs::create_directories(repo + "/sub");
    ASSERT_TRUE(test_support::git(repo, "worktree add -q -b feature " + linked));
    write_file(linked + "/pyproject.toml", "[tool.plowline]\nproject_id = \"beta\"\n");
  }
  // A repository whose pyproject.toml holds `config` (or is a directory).
  std::string other_repo(const std::string& name, const std::optional<std::string>& config) {
    const std::string dir = tmp / name;
    test_support::make_repo_with_commit(dir);
    config ? write_file(dir + "/pyproject.toml", *config) : (void)fs::create_directories(dir + "/pyproject.toml");
    return dir;
  }
  std::string sessions(const std::string& base) const { return base + "/.alpha/state/plowline/sessions/"; }
  std::string metadata(const std::string& branch_fields, const std::string& source_ref = "") const {
    return R"({"worktree_path": ")" + linked + R"(", )" + branch_fields + R"(, "source_ref": ")" + source_ref + "\"}";
  }

  TempDir tmp;
  ScopedEnv ceiling{"GIT_CEILING_DIRECTORIES", tmp.path()};
  ScopedEnv repo_root{"TESSARY_REPO_ROOT", nullopt};
  std::string repo = tmp / "repo";
  std::string linked = tmp / "linked";
  std::string store_dir = repo + "/.alpha/state/brackwater";
};

TEST_F(LifecycleTest, RegisterListLoadRemove) {
  auto b = register_binding("s1", linked, "feature", repo + "/sub", nullopt, "abc");
  ASSERT_TRUE(b) << b.error().display();
  // The state path takes the store root's project id, not the worktree's;
  // main_worktree is the store root, whatever path of it was passed.
  EXPECT_EQ(b->to_dict(), WorktreeBinding::create("s1", linked, "feature", linked + "/.alpha/state/plowline",
                                                  repo + "/.git", repo, "abc")
                              .to_dict());

  // An entry without a state path, main worktree or branch would not read
  // back: refused, and nothing is written.
  const std::string before = test_support::read_file(store_dir + "/bindings.json");
  for (const auto& [state, main_worktree, branch, field] :
       {std::tuple<std::string, std::string, std::string, std::string>{" ", linked + "/.", "main", "state_path"},
        {"/st", "", "main", "main_worktree"}}) {
    EXPECT_EQ(outcome(register_binding("s0", repo, branch, main_worktree, state, "")),
              "rejected:WORKTREE_BINDING_FIELD_MISSING: missing required worktree binding field: " + field);
  }
  EXPECT_EQ(test_support::read_file(store_dir + "/bindings.json"), before);

  ASSERT_TRUE(register_binding("s2", repo, "main", linked, repo + "/sub/../st", ""));
  EXPECT_EQ(load_binding("s2", repo).value()->state_path, repo + "/st");
  ASSERT_TRUE(register_binding("s1", linked, "feature", repo, nullopt, "again"));
  EXPECT_EQ(ids(linked), "s2(),s1(again),");
  EXPECT_EQ(load_binding("s1", repo + "/sub").value()->commit_ish, "again");
  EXPECT_EQ(remove_binding("s1", linked).value()->session_id, "s1");
  EXPECT_EQ(ids(repo), "s2(),");

  ASSERT_TRUE(test_support::git(linked, "checkout -q --detach"));
  auto detached = register_binding("s3", linked, "anything", repo, nullopt, "");
  ASSERT_TRUE(detached);
  EXPECT_EQ(detached->branch, "anything");
}

TEST_F(LifecycleTest, RegisterRejectionsWriteNothing) {
  fs::create_directories(tmp / "plain");
  const std::string bad = other_repo("bad", "[tool.plowline]\nproject_id = \"Bad\"\n");
  const std::string broken = other_repo("broken", nullopt);
  struct Case {
    std::string worktree, branch, main_worktree, expected;
  };
  const Case cases[] = {
      {linked, "main", repo, "rejected:WORKTREE_BRANCH_MISMATCH: git branch does not match worktree binding"},
      {tmp / "plain", "main", repo, "rejected:WORKTREE_GIT_COMMON_DIR_MISSING: worktree git common dir is required"},
      {bad, "main", bad, "rejected:PROJECT_ID_INVALID: project_id \"Bad\""},
      {broken, "main", broken, "store:WORKTREE_PROJECT_CONFIG_UNREADABLE: pyproject.toml at "},
  };
  for (const auto& c : cases) {
    const std::string got = outcome(register_binding("x", c.worktree, c.branch, c.main_worktree, nullopt, ""));
    EXPECT_TRUE(got.starts_with(c.expected)) << got;
  }
  {
    test_support::FakeGit no_git("", 0755, /*only=*/true);
    EXPECT_EQ(outcome(register_binding("x", linked, "feature", repo, nullopt, "")),
              "rejected:WORKTREE_GIT_UNAVAILABLE: git could not be run: git binary not found on PATH");
  }
  EXPECT_FALSE(fs::exists(repo + "/.alpha"));
  EXPECT_FALSE(fs::exists(bad + "/.Bad"));
}

TEST_F(LifecycleTest, RecoveryFromMetadata) {
  write_file_mkdirs(sessions(repo) + "good/metadata.json", metadata(R"("branch": 7, "branch_name": "feature")", "r1"));
  auto recovered = recover_binding("good", repo);
  ASSERT_TRUE(recovered && *recovered);
  EXPECT_EQ((*recovered)->branch, "feature");
  EXPECT_EQ((*recovered)->commit_ish, "r1");
  EXPECT_EQ((*recovered)->worktree, linked);
  EXPECT_EQ(load_binding("good", repo).value()->commit_ish, "r1");  // recovery persists

  const std::pair<std::string, std::string> unusable[] = {
      {"no-branch", R"({"worktree_path": ")" + linked + R"("})"},
      {"branch-number", metadata(R"("branch": 7)")},
      {"blank-path", R"({"worktree_path": " \u3000", "branch": "feature"})"},
      {"path-number", R"({"worktree_path": 5, "branch": "feature"})"},
      {"wrong-branch", metadata(R"("branch": "main")")},  // registration rejects it
      {"not-json", "{\"worktree_path\": "},
      {"array", "[" + metadata(R"("branch": "feature")") + "]"},
      {"overflow", metadata(R"("branch": "feature", "n": 1e400)")},
      {"not-utf8", metadata("\"branch\": \"feature\xff\"")},
  };
  for (const auto& [id, text] : unusable) {
    write_file_mkdirs(sessions(repo) + id + "/metadata.json", text);
    EXPECT_EQ(recover_binding(id, repo), nullopt) << id;
  }
  fs::create_directories(sessions(repo) + "dir/metadata.json");
  EXPECT_EQ(recover_binding("dir", repo), nullopt);
  EXPECT_EQ(recover_binding("nothing", repo), nullopt);
  EXPECT_EQ(ids(repo), "good(r1),");
}

TEST_F(LifecycleTest, RecoveryLooksUnderTheGivenPathFirst) {
  const std::string fields = R"("branch": "feature")";
  write_file_mkdirs(sessions(linked) + "o/metadata.json", metadata(fields, "given"));
  write_file_mkdirs(sessions(repo) + "o/metadata.json", metadata(fields, "root"));
  EXPECT_EQ(recover_binding("o", linked).value()->commit_ish, "given");
  fs::remove(sessions(linked) + "o/metadata.json");
  EXPECT_EQ(recover_binding("o", linked).value()->commit_ish, "root");
  EXPECT_EQ(ids(repo), "o(root),");
}

// Ids that are not one plain path component are refused before any path is
// built from them, even where the path they would name holds good metadata.
TEST_F(LifecycleTest, RecoveryRefusesIdsThatAreNotOneComponent) {
  const std::string good = metadata(R"("branch": "feature")");
  write_file_mkdirs(sessions(repo) + "metadata.json", good);      // "" and "."
  write_file_mkdirs(sessions(repo) + "../metadata.json", good);   // ".."
  write_file_mkdirs(sessions(repo) + "c/d/metadata.json", good);  // "c/d"
  write_file_mkdirs(sessions(repo) + "a", good);                  // "a\0b", cut at the NUL
  for (const std::string& id : std::vector<std::string>{"", ".", "..", "c/d", std::string("a\0b", 3)}) {
    EXPECT_EQ(recover_binding(id, repo), nullopt) << id;
  }
  EXPECT_EQ(ids(repo), "");
  write_file_mkdirs(sessions(repo) + "ok/metadata.json", good);
  EXPECT_TRUE(recover_binding("ok", repo).value());
}

TEST_F(LifecycleTest, ValidateCurrentBinding) {
  ASSERT_TRUE(register_binding("s1", linked, "feature", repo, nullopt, ""));
  auto ask = [&](std::optional<std::string> id, std::optional<EnvSnapshot> env, bool require = true) {
    return validate_current_binding({std::move(id), repo + "/sub", linked, std::move(env), true, require, {}});
  };
  const EnvSnapshot in_linked{{"TESSARY_WORKTREE", " " + linked + "\n"}, {"TESSARY_BRANCH", "feature"}};

  auto stored = ask("s1", in_linked);
  EXPECT_EQ(stored.reason_code, "WORKTREE_BINDING_OK");
  EXPECT_EQ(stored.binding->git_common_dir, repo + "/.git");

  // Without a session id the environment stands in, whatever the flag says.
  auto derived = ask(nullopt, in_linked);
  EXPECT_EQ(derived.reason_code, "WORKTREE_BINDING_OK");
  ASSERT_TRUE(derived.binding);
  const std::string state = linked + "/.alpha/state/plowline";
  const auto expected = WorktreeBinding::create("", linked, "feature", state, "", repo + "/sub", "env-fallback");
  EXPECT_EQ(derived.binding->to_dict(), expected.to_dict());

  EnvSnapshot blank_branch = in_linked;
  blank_branch.add("TESSARY_BRANCH", " feature ");
  auto blanks = ask("ghost", blank_branch, false);
  EXPECT_EQ(blanks.reason_code, "WORKTREE_BRANCH_ENV_MISMATCH");
  EXPECT_EQ(blanks.binding->branch, " feature ");
  EXPECT_EQ(blanks.binding->session_id, "ghost");

  struct Case {
    std::optional<EnvSnapshot> env;
    bool require;
    std::string code;
  };
  const Case missing[] = {
      {in_linked, true, "WORKTREE_BINDING_MISSING"},
      {nullopt, false, "WORKTREE_ENV_MISSING"},
      {EnvSnapshot{}, false, "WORKTREE_ENV_MISSING"},
      {EnvSnapshot{{"TESSARY_WORKTREE", "\u00a0"}}, false, "WORKTREE_ENV_MISSING"},
  };
  for (const auto& c : missing) {
    auto r = ask("ghost", c.env, c.require);
    EXPECT_EQ(r.reason_code, c.code);
    EXPECT_FALSE(r.ok || r.binding);
  }
  EXPECT_EQ(ask("ghost", in_linked, true).message, "no worktree binding found for session");
  EXPECT_EQ(ask(nullopt, EnvSnapshot{}).message, "TESSARY_WORKTREE is required for this validation");
}

TEST_F(LifecycleTest, StoreTroubleBecomesAResult) {
  const std::string bad = other_repo("bad", "[tool.plowline]\nproject_id = \"Bad\"\n");
  const std::string broken = other_repo("broken", nullopt);
  write_file_mkdirs(store_dir + "/bindings.json", "[]");
  const std::pair<std::string, std::string> cases[] = {
      {repo, "WORKTREE_BINDING_STORE_CORRUPT"},
      {bad, "PROJECT_ID_INVALID"},
      {broken, "WORKTREE_PROJECT_CONFIG_UNREADABLE"},
  };
  for (const auto& [main_worktree, code] : cases) {
    auto r = validate_current_binding({"s", main_worktree, nullopt, EnvSnapshot{}, false, false, {}});
    auto loaded = load_binding("s", main_worktree);
    ASSERT_FALSE(loaded) << main_worktree;
    EXPECT_EQ(r.reason_code, code);
    EXPECT_EQ(r.message, loaded.error().display());
    EXPECT_FALSE(r.ok || r.binding);
  }
  fs::remove(store_dir + "/bindings.json");
  fs::create_directories(store_dir + "/bindings.json");
  EXPECT_EQ(validate_current_binding({"s", repo, nullopt, nullopt, false, false, {}}).reason_code,
            "WORKTREE_BINDING_STORE_IO");
}

}  // namespace
