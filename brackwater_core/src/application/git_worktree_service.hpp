// Where a directory stands in git's view: its worktree identity, and the
// precondition tools place on themselves before working in a repository
// (being in the main worktree, on an allowed branch).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "application/validation.hpp"
#include "domain/git_worktree.hpp"
#include "infrastructure/git_adapter.hpp"

namespace brackwater::application {

// Reason codes of the main-worktree check, besides reason::kGitUnavailable
// (validation.hpp), which it shares with binding validation.
namespace reason {
inline constexpr char kMainOk[] = "WORKTREE_MAIN_OK";
inline constexpr char kRevParseUnavailable[] = "WORKTREE_REV_PARSE_UNAVAILABLE";
inline constexpr char kNotMain[] = "WORKTREE_NOT_MAIN";
inline constexpr char kMainBranchMismatch[] = "WORKTREE_MAIN_BRANCH_MISMATCH";
}  // namespace reason

// The identity of `cwd` (used unchanged, even when empty), or of the current
// directory when none is given. Absent when git refuses (not a repository)
// or does not answer with exactly four non-blank lines (more mean a path
// holds a line feed); the error when git could not be run or read.
[[nodiscard]] std::expected<std::optional<domain::GitWorktree>, infrastructure::GitInvokeError>
try_resolve_git_worktree(const std::optional<std::string>& cwd);

// As above, with every failure taken as no answer.
[[nodiscard]] std::optional<domain::GitWorktree> resolve_git_worktree(const std::optional<std::string>& cwd);

// Main worktree on one of `allowed` (default: main, master; an empty list
// allows none)? Answers with a reason code; never fails.
[[nodiscard]] domain::WorktreePreconditionResult validate_main_worktree(
    const std::optional<std::string>& cwd, const std::optional<std::vector<std::string>>& allowed);

}  // namespace brackwater::application
