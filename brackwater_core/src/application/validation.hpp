// Does a process really run where its binding says? Compares a binding with
// a reported current directory, the TESSARY_WORKTREE / TESSARY_BRANCH values
// of an environment map and, when asked, what git reports in the worktree.
// Always answers with a result carrying a reason code; never fails.
#pragma once

#include <optional>
#include <string>

#include "domain/binding.hpp"
#include "infrastructure/git_adapter.hpp"

namespace brackwater::application {

// Checks, in order: current directory, TESSARY_WORKTREE, TESSARY_BRANCH,
// then (with `check_git`) git's branch and common directory. The first
// failure is the answer; every result carries a copy of `binding`.
domain::BindingValidationResult validate_binding(const domain::WorktreeBinding& binding,
                                                 const std::optional<std::string>& cwd,
                                                 const std::optional<domain::EnvMap>& env, bool check_git,
                                                 const std::optional<domain::BindingValidationOptions>& options);

// The answer for a git run that failed to start, timed out or gave
// unreadable output.
domain::BindingValidationResult git_unavailable(const domain::WorktreeBinding& binding,
                                                const infrastructure::GitInvokeError& error);

}  // namespace brackwater::application
