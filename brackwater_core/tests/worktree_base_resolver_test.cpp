#include "infrastructure/worktree_base_resolver.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "test_support.hpp"

namespace {

using namespace brackwater::infrastructure;
using std::nullopt;
using test_support::TempDir;
using test_support::write_file;

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
  const std::string& t = tmp.path();
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

}  // namespace
