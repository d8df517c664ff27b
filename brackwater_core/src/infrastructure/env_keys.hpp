// Names of the environment variables that describe a worktree session, each
// defined once here for every layer and the Python module. Data only:
// nothing here reads, sets or checks a variable. Each list call builds a new
// list.
#pragma once

#include <string>
#include <vector>

namespace brackwater::infrastructure {

inline constexpr char kWorktreeEnv[] = "TESSARY_WORKTREE";
inline constexpr char kBranchEnv[] = "TESSARY_BRANCH";
inline constexpr char kWorktreeBaseEnv[] = "TESSARY_WORKTREE_BASE";
inline constexpr char kRepoRootEnv[] = "TESSARY_REPO_ROOT";
inline constexpr char kProjectRootEnv[] = "TESSARY_PROJECT_ROOT";
inline constexpr char kStateDirEnv[] = "TESSARY_STATE_DIR";
inline constexpr char kSharedDirEnv[] = "TESSARY_SHARED_DIR";
inline constexpr char kPlowlineSharedDirEnv[] = "PLOWLINE_SHARED_DIR";
inline constexpr char kUvProjectEnv[] = "UV_PROJECT";

// TESSARY_WORKTREE, TESSARY_BRANCH
std::vector<std::string> worktree_identity_env_vars();
// TESSARY_WORKTREE_BASE, TESSARY_REPO_ROOT
std::vector<std::string> worktree_location_env_vars();
// TESSARY_PROJECT_ROOT, TESSARY_STATE_DIR, TESSARY_SHARED_DIR, UV_PROJECT
std::vector<std::string> worktree_project_env_vars();
// identity, then location, then project names
std::vector<std::string> brackwater_env_vars();

}  // namespace brackwater::infrastructure
