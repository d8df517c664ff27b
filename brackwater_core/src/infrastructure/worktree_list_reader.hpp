// Lists the worktrees of a repository: runs `git worktree list --porcelain
// -z` in it (30-second limit) and turns the run's outcome into entries, or
// into an error that carries a reason code apart from its message. A run
// made elsewhere, in the line form, is read by the same rules.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "domain/porcelain.hpp"
#include "infrastructure/git_adapter.hpp"

namespace brackwater::infrastructure {

// Reason codes of a failed listing.
namespace list_reason {
inline constexpr char kGitNotFound[] = "GIT_NOT_FOUND";
inline constexpr char kGitTimeout[] = "GIT_TIMEOUT";
inline constexpr char kGitSpawn[] = "GIT_SPAWN";
inline constexpr char kGitExit[] = "GIT_EXIT";
inline constexpr char kPorcelainParse[] = "PORCELAIN_PARSE";
}  // namespace list_reason

struct WorktreeListError {
  std::string message;
  std::string reason_code;  // one of list_reason
};

using WorktreeList = std::vector<domain::WorktreeListEntry>;

// Runs git in `repo` and reads its listing.
[[nodiscard]] std::expected<WorktreeList, WorktreeListError> list_worktrees(std::string_view repo);

// Reads a finished run (which may have been made elsewhere): a non-zero exit
// is an error whatever the output says; otherwise the untrimmed standard
// output is parsed in `framing`. `repo` is used only in messages.
[[nodiscard]] std::expected<WorktreeList, WorktreeListError> list_worktrees_from_output(
    const CommandOutput& output, std::string_view repo,
    domain::PorcelainFraming framing = domain::PorcelainFraming::kLines);

}  // namespace brackwater::infrastructure
