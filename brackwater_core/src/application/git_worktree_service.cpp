#include "application/git_worktree_service.hpp"

#include <algorithm>
#include <array>

#include "domain/paths.hpp"
#include "support/concat.hpp"
#include "support/env.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace brackwater::application {
namespace {

using domain::GitWorktree;
using domain::WorktreePreconditionResult;
using infrastructure::GitInvokeError;

constexpr std::string_view kLogTarget = "brackwater::application::git_worktree_service";

// The four lines of the identity answer: git directory, common directory,
// top level, abbreviated HEAD. Anything else is no answer: git prints paths
// raw, so a fifth line means a path holds a line feed, and the lines no
// longer say which value is which.
std::optional<GitWorktree> parse_identity(std::string_view answer) {
  std::array<std::string_view, 4> lines;
  for (size_t found = 0; found < lines.size(); ++found) {
    const size_t end = answer.find('\n');
    const bool last = found + 1 == lines.size();
    if (last != (end == std::string_view::npos)) return std::nullopt;
    lines[found] = support::trim(answer.substr(0, end));
    if (lines[found].empty()) return std::nullopt;
    if (!last) answer.remove_prefix(end + 1);
  }
  return GitWorktree{domain::normalize_path(lines[0]), domain::normalize_path(lines[1]),
                     domain::normalize_path(lines[2]), std::string(lines[3])};
}

// The allowed list as a bracketed, comma-separated list of quoted literals.
std::string render_allowed(const std::vector<std::string>& allowed) {
  std::string out = "[";
  for (size_t i = 0; i < allowed.size(); ++i) {
    if (i > 0) out += ", ";
    out += support::quote_literal(allowed[i]);
  }
  return out + "]";
}

WorktreePreconditionResult result(std::string_view code, std::string message,
                                  std::optional<GitWorktree> context = std::nullopt) {
  return {code == reason::kMainOk, std::string(code), std::move(message), std::move(context)};
}

}  // namespace

std::expected<std::optional<GitWorktree>, GitInvokeError> try_resolve_git_worktree(
    const std::optional<std::string>& cwd) {
  const std::optional<std::string> dir = cwd ? cwd : support::current_dir();
  if (!dir) return std::nullopt;
  auto answer = infrastructure::git_output(*dir, infrastructure::git_commands::kIdentity);
  if (!answer) {
    if (answer.error().is_nonzero_exit()) return std::nullopt;
    return std::unexpected(answer.error());
  }
  return parse_identity(*answer);
}

std::optional<GitWorktree> resolve_git_worktree(const std::optional<std::string>& cwd) {
  auto resolved = try_resolve_git_worktree(cwd);
  if (!resolved) {
    support::log::debug(kLogTarget, [&] { return "resolve_git_worktree: " + resolved.error().display(); });
    return std::nullopt;
  }
  return *std::move(resolved);
}

WorktreePreconditionResult validate_main_worktree(const std::optional<std::string>& cwd,
                                                  const std::optional<std::vector<std::string>>& allowed) {
  auto resolved = try_resolve_git_worktree(cwd);
  if (!resolved) return result(reason::kGitUnavailable, "git could not be run: " + resolved.error().display());
  if (!*resolved) return result(reason::kRevParseUnavailable, "git rev-parse is unavailable");
  GitWorktree& identity = **resolved;
  if (!identity.is_main_worktree()) {
    return result(reason::kNotMain, "current working directory is a linked worktree", std::move(identity));
  }
  // Never destroyed: a thread of the embedding program may still be in here
  // while the process runs its static destructors at exit.
  static const auto* const kDefault =
      new std::vector<std::string>(domain::kDefaultMainBranches.begin(), domain::kDefaultMainBranches.end());
  const std::vector<std::string>& branches = allowed ? *allowed : *kDefault;
  if (std::ranges::find(branches, identity.branch) != branches.end()) {
    return result(reason::kMainOk, "main worktree on an allowed branch", std::move(identity));
  }
  std::string message =
      support::concat("main worktree is on branch '", identity.branch, "', expected one of ", render_allowed(branches));
  return result(reason::kMainBranchMismatch, std::move(message), std::move(identity));
}

}  // namespace brackwater::application
