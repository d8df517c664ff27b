#include "infrastructure/worktree_list_reader.hpp"

#include <optional>

#include "support/call_environment.hpp"
#include "support/concat.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

constexpr std::string_view kCommand = "git worktree list --porcelain";

WorktreeListError fail(std::string_view code, std::string message) { return {std::move(message), std::string(code)}; }

WorktreeListError from_invoke_error(const GitInvokeError& error, std::string_view repo) {
  if (error.is<GitInvokeError::NotFound>()) return fail(list_reason::kGitNotFound, "git binary not found on PATH");
  const std::string where = support::concat("failed to invoke ", kCommand, " in ", support::lossy_utf8(repo), ": ");
  if (const auto* timeout = error.get<GitInvokeError::Timeout>()) {
    return fail(list_reason::kGitTimeout, support::concat(where, "timed out after ", timeout->secs, "s"));
  }
  // A start failure, unreadable output or a run its caller stopped:
  // invoke_git reports an exit status in its output, never as an error.
  if (const auto* spawn = error.get<GitInvokeError::Spawn>()) return fail(list_reason::kGitSpawn, where + spawn->text);
  if (const auto* utf8 = error.get<GitInvokeError::Utf8>()) return fail(list_reason::kGitSpawn, where + utf8->text);
  return fail(list_reason::kGitSpawn, where + error.display());
}

}  // namespace

std::expected<WorktreeList, WorktreeListError> list_worktrees(std::string_view repo) {
  // Both runs are one call: a status lost in the first is not risked again.
  std::optional<support::CallEnvironment> own_call;
  (void)support::CallEnvironment::current_or(own_call);
  const auto limit = GitDeadline::after(git_commands::kListTimeoutSecs);
  auto run = invoke_git(repo, git_commands::kWorktreeListNul, limit);
  if (!run) return std::unexpected(from_invoke_error(run.error(), repo));
  if (run->code != git_commands::kUsageExit) {
    return list_worktrees_from_output(*run, repo, domain::PorcelainFraming::kNul);
  }
  // A git older than 2.36 knows no -z: the line form, in which a path that
  // holds a line feed cannot be told from the attributes after it. Both
  // runs share the call's one limit.
  run = invoke_git(repo, git_commands::kWorktreeList, limit);
  if (!run) return std::unexpected(from_invoke_error(run.error(), repo));
  return list_worktrees_from_output(*run, repo, domain::PorcelainFraming::kLines);
}

std::expected<WorktreeList, WorktreeListError> list_worktrees_from_output(const CommandOutput& output,
                                                                          std::string_view repo,
                                                                          domain::PorcelainFraming framing) {
  if (output.code != 0) {
    return std::unexpected(fail(list_reason::kGitExit,
                                support::concat(kCommand, " exited ", output.code, " in ", support::lossy_utf8(repo),
                                                ": ", support::trim(output.stderr_text))));
  }
  auto entries = domain::parse_porcelain(output.stdout_text, framing);
  if (!entries) {
    return std::unexpected(fail(
        list_reason::kPorcelainParse,
        support::concat("unparseable ", kCommand, " output for ", support::lossy_utf8(repo), ": ", entries.error())));
  }
  return *std::move(entries);
}

}  // namespace brackwater::infrastructure
