// The module definition, its one execution step, and the ordered table of
// every name the step registers (constants, classes, exception types,
// functions). Each name is appended to __all__ before its attribute is set.
#include <Python.h>

#include <vector>

#include "domain/audit.hpp"
#include "domain/binding.hpp"
#include "domain/git_worktree.hpp"
#include "domain/paths.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "guard.hpp"
#include "imports.hpp"
#include "infrastructure/env_keys.hpp"
#include "py.hpp"
#include "support/simdjson_kernels.hpp"
#include "types.hpp"
#include "wait_hook.hpp"

namespace tidemark {
namespace {

namespace env = brackwater::infrastructure;

// ---- constants ----------------------------------------------------------------

template <class Texts>
PyRef make_str_tuple(const Texts& items) {
  std::vector<std::string> texts(std::begin(items), std::end(items));
  return py_tuple_of_strs(texts);
}

PyRef current_schema_version() { return py_int(brackwater::domain::kCurrentSchemaVersion); }
PyRef legacy_project_id() { return py_str(brackwater::domain::kDefaultProjectId); }
PyRef main_branches() { return types::frozenset_of_strs(brackwater::domain::GitHubPolicy::fallback().main_branches); }
PyRef audit_kinds() { return make_str_tuple(brackwater::domain::kAuditKinds); }
PyRef audit_invokers() { return make_str_tuple(brackwater::domain::kAuditInvokers); }
PyRef audit_outcomes() { return make_str_tuple(brackwater::domain::kAuditOutcomes); }
template <const char* Text>
PyRef text_constant() {
  return py_str(Text);
}
PyRef identity_env_vars() { return py_tuple_of_strs(env::worktree_identity_env_vars()); }
PyRef location_env_vars() { return py_tuple_of_strs(env::worktree_location_env_vars()); }
PyRef project_env_vars() { return py_tuple_of_strs(env::worktree_project_env_vars()); }
PyRef all_env_vars() { return py_tuple_of_strs(env::brackwater_env_vars()); }

// ---- the registration table ---------------------------------------------------

// One registered name: a value made by `make`, or a function made from `def`.
struct Registration {
  const char* name;
  PyRef (*make)() = nullptr;
  PyMethodDef* def = nullptr;
};

Registration value(const char* name, PyRef (*make)()) { return {name, make, nullptr}; }
Registration function(PyMethodDef& def) { return {def.ml_name, nullptr, &def}; }

// Every public name, in registration order.
const std::vector<Registration>& registrations() {
  static const std::vector<Registration> table = {
      // constants
      value("CURRENT_SCHEMA_VERSION", current_schema_version),
      value("LEGACY_PROJECT_ID", legacy_project_id),
      value("MAIN_BRANCHES", main_branches),
      value("AUDIT_KINDS", audit_kinds),
      value("AUDIT_INVOKERS", audit_invokers),
      value("AUDIT_OUTCOMES", audit_outcomes),
      value("TESSARY_WORKTREE_ENV", text_constant<env::kWorktreeEnv>),
      value("TESSARY_BRANCH_ENV", text_constant<env::kBranchEnv>),
      value("TESSARY_WORKTREE_BASE_ENV", text_constant<env::kWorktreeBaseEnv>),
      value("TESSARY_PROJECT_ROOT_ENV", text_constant<env::kProjectRootEnv>),
      value("TESSARY_REPO_ROOT_ENV", text_constant<env::kRepoRootEnv>),
      value("TESSARY_STATE_DIR_ENV", text_constant<env::kStateDirEnv>),
      value("TESSARY_SHARED_DIR_ENV", text_constant<env::kSharedDirEnv>),
      value("PLOWLINE_SHARED_DIR_ENV", text_constant<env::kPlowlineSharedDirEnv>),
      value("UV_PROJECT_ENV", text_constant<env::kUvProjectEnv>),
      value("WORKTREE_IDENTITY_ENV_VARS", identity_env_vars),
      value("WORKTREE_LOCATION_ENV_VARS", location_env_vars),
      value("WORKTREE_PROJECT_ENV_VARS", project_env_vars),
      value("BRACKWATER_ENV_VARS", all_env_vars),
      // classes
      value("WorktreeBinding", types::worktree_binding_type),
      value("BindingValidationResult", types::binding_validation_result_type),
      value("BindingValidationOptions", types::binding_validation_options_type),
      value("GitWorktree", types::git_worktree_type),
      value("WorktreePreconditionResult", types::worktree_precondition_result_type),
      value("AuditRecord", types::audit_record_type),
      value("WorktreeBindingStore", types::worktree_binding_store_type),
      value("WorktreeListEntry", types::worktree_list_entry_type),
      value("GitHubPolicy", types::github_policy_type),
      // exception types
      value("WorktreeListError", worktree_list_error_type),
      value("ProjectIdInvalidError", project_id_invalid_error_type),
      // functions
      function(functions::normalize_path),
      function(functions::path_fingerprint),
      function(functions::resolve_project_id),
      function(functions::resolve_state_dir_name),
      function(functions::state_dir),
      function(functions::store_relative_path),
      function(functions::resolve_worktree_base),
      function(functions::resolve_known_worktree_bases),
      function(functions::resolve_worktree_dir),
      function(functions::set_tessary_project_root_for_worktree),
      function(functions::register_binding),
      function(functions::load_binding),
      function(functions::list_bindings),
      function(functions::remove_binding),
      function(functions::recover_binding),
      function(functions::validate_binding),
      function(functions::validate_current_binding),
      function(functions::resolve_git_worktree),
      function(functions::is_main_worktree),
      function(functions::validate_main_worktree),
      function(functions::record_event),
      function(functions::read_records),
      function(functions::reap_rotation_sentinel),
      function(functions::list_worktrees),
      function(functions::resolve_github_policy),
      function(functions::resolve_main_branches),
      function(functions::worktree_identity_env_vars),
      function(functions::brackwater_env_vars),
  };
  return table;
}

// Appends `name` to the module's __all__ (creating the list when absent),
// then sets the attribute.
bool add(PyObject* module, const char* name, PyRef value) {
  if (!value) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  PyRef text = py_str(name);
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

PyRef make_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return {};
  return PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  install_wait_hook();
  brackwater::support::keep_simdjson_kernels_alive();
  for (const auto& entry : registrations()) {
    PyRef value = entry.def != nullptr ? make_function(module, entry.def) : entry.make();
    if (!add(module, entry.name, std::move(value))) return -1;
  }
  return 0;
}

// A module object goes away with its interpreter (or when dropped from
// sys.modules): the interpreter's cached imports go with it.
void free_module(void*) { forget_imports_of_current_interpreter(); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot<exec_module>()},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tidemark",  // m_name
    "",           // m_doc
    0,            // m_size: no per-module state
    nullptr,      // m_methods: every function is added by the execution step
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    guard<free_module>,
};

}  // namespace
}  // namespace tidemark

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tidemark(void) {
  return PyModuleDef_Init(&tidemark::module_def);
}
