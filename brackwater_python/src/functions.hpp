// Definitions of the module functions, one object per function, defined in
// the functions_*.cpp file of their area; lib.cpp registers them in order.
#pragma once

#include <Python.h>

namespace tidemark::functions {

// path and project (functions_paths.cpp)
extern PyMethodDef normalize_path;
extern PyMethodDef path_fingerprint;
extern PyMethodDef resolve_project_id;
extern PyMethodDef resolve_state_dir_name;
extern PyMethodDef state_dir;
extern PyMethodDef store_relative_path;

// worktree bases (functions_worktree_base.cpp)
extern PyMethodDef resolve_worktree_base;
extern PyMethodDef resolve_known_worktree_bases;
extern PyMethodDef resolve_worktree_dir;
extern PyMethodDef set_tessary_project_root_for_worktree;

// bindings (functions_bindings.cpp)
extern PyMethodDef register_binding;
extern PyMethodDef load_binding;
extern PyMethodDef list_bindings;
extern PyMethodDef remove_binding;
extern PyMethodDef recover_binding;
extern PyMethodDef validate_binding;
extern PyMethodDef validate_current_binding;

// audit log (functions_audit.cpp)
extern PyMethodDef record_event;
extern PyMethodDef read_records;
extern PyMethodDef reap_rotation_sentinel;

// worktree identity and listing (functions_worktree.cpp)
extern PyMethodDef resolve_git_worktree;
extern PyMethodDef is_main_worktree;
extern PyMethodDef validate_main_worktree;
extern PyMethodDef list_worktrees;
// GitHub policy (functions_github_policy.cpp)
extern PyMethodDef resolve_github_policy;
extern PyMethodDef resolve_main_branches;

// environment names (functions_env.cpp)
extern PyMethodDef worktree_identity_env_vars;
extern PyMethodDef brackwater_env_vars;

}  // namespace tidemark::functions
