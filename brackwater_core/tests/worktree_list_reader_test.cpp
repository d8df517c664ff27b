#include "infrastructure/worktree_list_reader.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using namespace brackwater::infrastructure;
using test_support::FakeGit;
using test_support::TempDir;

std::string outcome(const std::expected<WorktreeList, WorktreeListError>& r) {
  if (!r) return r.error().reason_code + " " + r.error().message;
  std::string out = "ok";
  for (const auto& e : *r) out += " " + e.worktree;
  return out;
}

TEST(ListWorktrees, FromAFinishedRun) {
  const std::pair<CommandOutput, std::string> cases[] = {
      {{"", "", 0}, "ok"},
      {{"worktree /a\n\nworktree /b\n", "ignored", 0}, "ok /a /b"},
      {{"worktree /a\n", "", 128}, "GIT_EXIT git worktree list --porcelain exited 128 in /r: "},
      {{"", "  fatal: no\n", -9}, "GIT_EXIT git worktree list --porcelain exited -9 in /r: fatal: no"},
      {{"worktree /a\n\nHEAD x\n", "", 0},
       "PORCELAIN_PARSE unparseable git worktree list --porcelain output for /r: "
       "worktree record missing required 'worktree' line"},
  };
  for (const auto& [output, expected] : cases) EXPECT_EQ(outcome(list_worktrees_from_output(output, "/r")), expected);
}

TEST(ListWorktrees, GitThatCannotBeRun) {
  TempDir dir;
  const std::string in = " in " + dir.path() + ": ";
  const std::pair<std::string, std::string> cases[] = {
      {"", "GIT_NOT_FOUND git binary not found on PATH"},
      {R"(printf 'worktree /\377\n')", "GIT_SPAWN failed to invoke git worktree list --porcelain" + in + "stdout: "},
      {"echo 'not a repo' >&2; exit 128",
       "GIT_EXIT git worktree list --porcelain exited 128" + in + "not a repo"},
      {"echo 'HEAD x'", "PORCELAIN_PARSE"},
  };
  for (const auto& [script, expected] : cases) {
    FakeGit git(script, 0755, script.empty());
    const std::string got = outcome(list_worktrees(dir.path()));
    if (script.find("\\377") != std::string::npos || expected == "PORCELAIN_PARSE") {
      EXPECT_TRUE(got.starts_with(expected)) << got;
    } else {
      EXPECT_EQ(got, expected);
    }
  }
  FakeGit git(R"x(printf 'worktree %s\n' "$(pwd -P)"; printf '%s ' "$@" >&2)x");
  EXPECT_EQ(outcome(list_worktrees(dir.path())), "ok " + dir.path());
}

}  // namespace
