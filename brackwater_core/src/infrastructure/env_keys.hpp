// Names of the environment variables that describe a worktree session.
// Data only: nothing here reads, sets or checks a variable. Each call builds
// a new list.
#pragma once

#include <string>
#include <vector>

namespace brackwater::infrastructure {

// TESSARY_WORKTREE, TESSARY_BRANCH
std::vector<std::string> worktree_identity_env_vars();
// TESSARY_WORKTREE_BASE, TESSARY_REPO_ROOT
std::vector<std::string> worktree_location_env_vars();
// TESSARY_PROJECT_ROOT, TESSARY_STATE_DIR, TESSARY_SHARED_DIR, UV_PROJECT
std::vector<std::string> worktree_project_env_vars();
// identity, then location, then project names
std::vector<std::string> brackwater_env_vars();

}  // namespace brackwater::infrastructure
