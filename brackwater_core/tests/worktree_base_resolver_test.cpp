#include "infrastructure/worktree_base_resolver.hpp"

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
using test_support::write_file_mkdirs;

std::string joined(const std::vector<std::string>& items, const std::string& tmp) {
  std::string out;
  for (auto item : items) {
    if (item.starts_with(tmp)) item.replace(0, tmp.size(), "@");
    out += (out.empty() ? "" : " ") + item;
  }
  return out;
}

TEST(LegacyBases, CandidatesAtAndBesideTheRoot) {
  TempDir tmp;
  const std::string t = tmp.path();
  std::filesystem::create_directories(t + "/a/alpha-worktrees/alpha");
  std::filesystem::create_directories(t + "/a/tessary-worktrees");
  std::filesystem::create_directories(t + "/b/alpha");
  write_file(t + "/b/alpha-worktrees", "a regular file counts");
  std::filesystem::create_directories(t + "/c/tessary-worktrees/x");
  std::filesystem::create_directories(t + "/d/real");
  ASSERT_EQ(::symlink("real", (t + "/d/alpha-worktrees").c_str()), 0);
  std::filesystem::create_directories(t + "/d/alpha");

  struct Case {
    std::string root;
    std::string id;
    std::string expected;
  };
  const Case cases[] = {
      {"@/a/alpha-worktrees/alpha", "alpha", "@/a/alpha-worktrees @/a/tessary-worktrees"},
      {"@/a/alpha-worktrees", "alpha", "@/a/alpha-worktrees @/a/tessary-worktrees"},
      {"@/b/alpha", "alpha", "@/b/alpha-worktrees"},
      {"@/c/tessary-worktrees/x", "tessary", "@/c/tessary-worktrees"},
      {"@/c/x", "tessary", "@/c/tessary-worktrees"},
      {"@/d/alpha", "alpha", "@/d/real"},  // links are followed
      {"/nowhere/alpha-worktrees/alpha", "alpha", "/nowhere/alpha-worktrees"},
      {"/", "alpha", ""},
      {"", "alpha", ""},
  };
  for (const auto& c : cases) {
    std::string root = c.root;
    if (root.starts_with('@')) root.replace(0, 1, t);
    auto got = legacy_base_candidates(root, c.id);
    ASSERT_TRUE(got) << root;
    EXPECT_EQ(joined(*got, t), c.expected) << root;
  }
}

TEST(LegacyBases, ResolvesTheProjectWhenNotGiven) {
  TempDir tmp;
  write_file(tmp / "pyproject.toml", "[tool.plowline]\nproject_id = \"Bad\"\n");
  auto got = legacy_base_candidates(tmp.path(), nullopt);
  ASSERT_FALSE(got);
  EXPECT_TRUE(got.error().is_invalid());
}

// The resolvers with a caller's map; the Python tests cover the snapshot
// of os.environ and the layouts of real repositories.
TEST(WorktreeBase, MapDecidesCiAndVariables) {
  TempDir tmp;
  test_support::make_repo(tmp / "repo");
  const std::string repo = tmp / "repo";
  write_file_mkdirs(repo + "/config/worktree.yaml", "worktree: {overrides: [{base: ci-trees}]}\n");
  ScopedEnv home("HOME", tmp / "home");
  ScopedEnv ci("CI", "1");  // the process environment is not consulted when a map is given
  auto base = [&](const EnvMap& env) {
    auto got = resolve_worktree_base(nullopt, repo, nullopt, env);
    return got ? joined({*got}, tmp.path()) : got.error().display();
  };
  EXPECT_EQ(base({}), "@/home/.plowline/worktrees/tessary");
  EXPECT_EQ(base({{"CI", ""}, {"TESSARY_WORKTREE_BASE", "/b"}}), "@/home/.plowline/worktrees/tessary");
  EXPECT_EQ(base({{"GITHUB_ACTIONS", "true"}, {"TESSARY_WORKTREE_BASE", "/b"}}), "/b");
  EXPECT_EQ(base({{"CI", "1"}}), "@/repo/ci-trees");
  EXPECT_EQ(base({{"CI", "1"}, {"TESSARY_REPO_ROOT", "/elsewhere"}}), "@/repo/ci-trees");

  // The map's TESSARY_REPO_ROOT stands in for a missing argument.
  auto from_env = resolve_worktree_base(nullopt, nullopt, nullopt, EnvMap{{"CI", "1"}, {"TESSARY_REPO_ROOT", repo}});
  EXPECT_EQ(from_env.value_or("?"), repo + "/ci-trees");

  // A blank root is no root: no configuration is looked for under the
  // current directory.
  write_file_mkdirs(tmp / "cwd/config/worktree.yaml", "worktree: {overrides: [{base: /from-cwd}]}\n");
  ScopedCwd cwd(tmp / "cwd");
  EXPECT_EQ(resolve_worktree_base(nullopt, "  ", nullopt, EnvMap{{"CI", "1"}}).value_or("?"),
            tmp / "home/.plowline/worktrees/tessary");
}

}  // namespace
