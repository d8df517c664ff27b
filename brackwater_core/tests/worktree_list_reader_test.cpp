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

TEST(ListWorktrees, GitThatCannotBeRunOrRead) {
  TempDir dir;
  const std::pair<std::string, std::string> cases[] = {
      {"", "GIT_NOT_FOUND git binary not found on PATH"},
      {R"(printf 'worktree /\377\n')",
       "GIT_SPAWN failed to invoke git worktree list --porcelain in " + dir.path() + ": stdout: "},
      // the NUL form is asked for, and a line feed or carriage return in it is data
      {R"x([ "$*" = 'worktree list --porcelain -z' ] && printf 'worktree %s\n\r\0\0worktree /b\0' "$(pwd -P)")x",
       "ok " + dir.path() + "\n\r /b"},
  };
  for (const auto& [script, expected] : cases) {
    FakeGit git(script, 0755, script.empty());
    const std::string got = outcome(list_worktrees(dir.path()));
    EXPECT_TRUE(got.starts_with(expected)) << script << " gave " << got;
  }
}

}  // namespace
