#include "infrastructure/env_keys.hpp"

namespace brackwater::infrastructure {

std::vector<std::string> worktree_identity_env_vars() { return {"TESSARY_WORKTREE", "TESSARY_BRANCH"}; }

std::vector<std::string> worktree_location_env_vars() {
  return {"TESSARY_WORKTREE_BASE", "TESSARY_REPO_ROOT"};
}

std::vector<std::string> worktree_project_env_vars() {
  return {"TESSARY_PROJECT_ROOT", "TESSARY_STATE_DIR", "TESSARY_SHARED_DIR", "UV_PROJECT"};
}

std::vector<std::string> brackwater_env_vars() {
  std::vector<std::string> all;
  for (auto&& list : {worktree_identity_env_vars(), worktree_location_env_vars(), worktree_project_env_vars()}) {
    all.insert(all.end(), list.begin(), list.end());
  }
  return all;
}

}  // namespace brackwater::infrastructure
