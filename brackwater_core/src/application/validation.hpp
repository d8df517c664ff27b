// Does a process really run where its binding says? Compares a binding with
// a reported current directory, the TESSARY_WORKTREE / TESSARY_BRANCH values
// of an environment map and, when asked, what git reports in the worktree.
// Always answers with a result carrying a reason code; never fails.
#pragma once

#include <optional>
#include <string>

#include "domain/binding.hpp"
#include "infrastructure/git_adapter.hpp"
#include "support/env_snapshot.hpp"

namespace brackwater::application {

// Reason codes of binding checks; the binding lifecycle answers with them too.
namespace reason {
inline constexpr char kBindingOk[] = "WORKTREE_BINDING_OK";
inline constexpr char kCwdMismatch[] = "WORKTREE_CWD_MISMATCH";
inline constexpr char kEnvMismatch[] = "WORKTREE_ENV_MISMATCH";
inline constexpr char kEnvMissing[] = "WORKTREE_ENV_MISSING";
inline constexpr char kBranchEnvMismatch[] = "WORKTREE_BRANCH_ENV_MISMATCH";
inline constexpr char kBranchUnavailable[] = "WORKTREE_BRANCH_UNAVAILABLE";
inline constexpr char kBranchMismatch[] = "WORKTREE_BRANCH_MISMATCH";
inline constexpr char kGitUnavailable[] = "WORKTREE_GIT_UNAVAILABLE";
inline constexpr char kGitCommonDirUnavailable[] = "WORKTREE_GIT_COMMON_DIR_UNAVAILABLE";
inline constexpr char kGitCommonDirMismatch[] = "WORKTREE_GIT_COMMON_DIR_MISMATCH";
}  // namespace reason

// The message of kEnvMissing.
inline constexpr char kEnvMissingMessage[] = "TESSARY_WORKTREE is required for this validation";

// Checks, in order: current directory, TESSARY_WORKTREE, TESSARY_BRANCH,
// then (with `check_git`) git's branch and common directory. The first
// failure is the answer; every result carries a copy of `binding`.
[[nodiscard]] domain::BindingValidationResult validate_binding(
    const domain::WorktreeBinding& binding, const std::optional<std::string>& cwd,
    const std::optional<support::EnvSnapshot>& env, bool check_git,
    const std::optional<domain::BindingValidationOptions>& options);

// The answer for a git run that failed to start, timed out or gave
// unreadable output.
[[nodiscard]] domain::BindingValidationResult git_unavailable(const domain::WorktreeBinding& binding,
                                                              const infrastructure::GitInvokeError& error);

}  // namespace brackwater::application
