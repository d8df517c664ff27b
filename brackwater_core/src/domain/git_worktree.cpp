#include "domain/git_worktree.hpp"

#include "domain/paths.hpp"

namespace brackwater::domain {

bool GitWorktree::is_main_worktree() const {
  if (git_dir.empty() || git_common_dir.empty()) return false;
  return normalize_path(git_dir) == normalize_path(git_common_dir);
}

}  // namespace brackwater::domain
