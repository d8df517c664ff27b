#include "application/validation.hpp"

#include "domain/paths.hpp"
#include "infrastructure/env_keys.hpp"
#include "support/text.hpp"

namespace brackwater::application {
namespace {

using domain::BindingValidationResult;
using domain::WorktreeBinding;
using infrastructure::GitInvokeError;

BindingValidationResult fail(const WorktreeBinding& binding, const char* code, std::string message) {
  return {false, code, std::move(message), binding};
}

// The trimmed value of `key`; "" when absent.
std::string env_value(const support::EnvSnapshot& env, std::string_view key) {
  const auto value = env.find(key);
  return value ? std::string(support::trim(*value)) : std::string();
}

// git's trimmed answer in `dir`: "" when git ran and refused; the error when
// it could not be run or read.
std::expected<std::string, GitInvokeError> git_answer(const std::string& dir, std::span<const std::string_view> args) {
  auto answer = infrastructure::git_output(dir, args);
  if (!answer && answer.error().is_nonzero_exit()) return std::string();
  return answer;
}

}  // namespace

BindingValidationResult git_unavailable(const WorktreeBinding& binding, const GitInvokeError& error) {
  return fail(binding, reason::kGitUnavailable,
              "git could not be run for worktree binding validation: " + error.display());
}

BindingValidationResult validate_binding(const WorktreeBinding& binding, const std::optional<std::string>& cwd,
                                         const std::optional<support::EnvSnapshot>& env, bool check_git,
                                         const std::optional<domain::BindingValidationOptions>& options) {
  const auto opts = options.value_or(domain::BindingValidationOptions{});
  const std::string worktree = domain::normalize_path(binding.worktree);

  if (cwd && domain::normalize_path(*cwd) != worktree) {
    return fail(binding, reason::kCwdMismatch, "cwd does not match worktree binding");
  }
  if (env) {
    const std::string env_worktree = env_value(*env, infrastructure::kWorktreeEnv);
    if (!env_worktree.empty() && domain::normalize_path(env_worktree) != worktree) {
      return fail(binding, reason::kEnvMismatch, "TESSARY_WORKTREE does not match worktree binding");
    }
    if (env_worktree.empty() && opts.require_env_worktree) {
      return fail(binding, reason::kEnvMissing, kEnvMissingMessage);
    }
    const std::string env_branch = env_value(*env, infrastructure::kBranchEnv);
    if (!env_branch.empty() && env_branch != binding.branch) {
      return fail(binding, reason::kBranchEnvMismatch, "TESSARY_BRANCH does not match worktree binding");
    }
  }
  if (!check_git) return {true, reason::kBindingOk, "worktree binding is valid", binding};

  auto branch = git_answer(worktree, infrastructure::git_commands::kShowCurrentBranch);
  if (!branch) return git_unavailable(binding, branch.error());
  if (branch->empty() && opts.require_git_state) {
    return fail(binding, reason::kBranchUnavailable, "git branch is unavailable for worktree binding validation");
  }
  if (!branch->empty() && *branch != binding.branch) {
    return fail(binding, reason::kBranchMismatch, "git branch does not match worktree binding");
  }

  auto common = git_answer(worktree, infrastructure::git_commands::kCommonDir);
  if (!common) return git_unavailable(binding, common.error());
  const std::string common_dir = domain::normalize_path(*common);
  if (common_dir.empty() && opts.require_git_state) {
    return fail(binding, reason::kGitCommonDirUnavailable,
                "git common dir is unavailable for worktree binding validation");
  }
  if (!common_dir.empty() && !binding.git_common_dir.empty() &&
      common_dir != domain::normalize_path(binding.git_common_dir)) {
    return fail(binding, reason::kGitCommonDirMismatch, "git common dir does not match worktree binding");
  }
  return {true, reason::kBindingOk, "worktree binding is valid", binding};
}

}  // namespace brackwater::application
