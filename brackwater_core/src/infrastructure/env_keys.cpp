#include "infrastructure/env_keys.hpp"

namespace brackwater::infrastructure {

std::vector<std::string> worktree_identity_env_vars() { return {kWorktreeEnv, kBranchEnv}; }

std::vector<std::string> worktree_location_env_vars() { return {kWorktreeBaseEnv, kRepoRootEnv}; }

std::vector<std::string> worktree_project_env_vars() {
  return {kProjectRootEnv, kStateDirEnv, kSharedDirEnv, kUvProjectEnv};
}

std::vector<std::string> brackwater_env_vars() {
  std::vector<std::string> all;
  for (auto&& list : {worktree_identity_env_vars(), worktree_location_env_vars(), worktree_project_env_vars()}) {
    all.insert(all.end(), list.begin(), list.end());
  }
  return all;
}

}  // namespace brackwater::infrastructure
