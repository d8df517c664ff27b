// A worktree's identity as git reports it, the rule that tells the main
// worktree from a linked one, and the answer of the main-worktree check.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace brackwater::domain {

// Branches a main worktree may be on when the caller names none.
inline constexpr std::array<std::string_view, 2> kDefaultMainBranches{"main", "master"};

struct GitWorktree {
  std::string git_dir;         // the worktree's own git directory, normalised
  std::string git_common_dir;  // the repository's common git directory, normalised
  std::string toplevel;        // normalised
  std::string branch;          // git's short name of HEAD; "HEAD" when detached

  // False when either directory is empty; otherwise whether both name the
  // same directory. The paths are normalised again here, so a record built
  // elsewhere is judged the same way as one git produced.
  [[nodiscard]] bool is_main_worktree() const;
};

// Outcome of the main-worktree check.
struct WorktreePreconditionResult {
  bool ok = false;  // true only for "WORKTREE_MAIN_OK"
  std::string reason_code;
  std::string message;
  std::optional<GitWorktree> context;  // absent when git gave no identity
};

}  // namespace brackwater::domain
