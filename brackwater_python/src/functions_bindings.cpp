// The binding functions. register_binding, recover_binding, validate_binding
// and validate_current_binding release the interpreter lock while the core
// works; load_binding, list_bindings and remove_binding keep it.
#include "application/binding_lifecycle.hpp"
#include "application/validation.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "py.hpp"
#include "types.hpp"

namespace tidemark::functions {
namespace {

namespace app = brackwater::application;
using brackwater::domain::BindingValidationOptions;
using brackwater::domain::EnvMap;
using brackwater::domain::WorktreeBinding;

using OptionalBinding = std::expected<std::optional<WorktreeBinding>, app::BindingStoreError>;

PyObject* optional_binding_result(OptionalBinding found) {
  if (!found) return store_err(found.error());
  if (!*found) Py_RETURN_NONE;
  return types::wrap_binding(**std::move(found)).release();
}

// An environment argument: absent for nullptr or None.
bool env_arg(PyObject* value, std::optional<EnvMap>& out) {
  if (value == nullptr || value == Py_None) return true;
  out = py_dict_to_map(value);
  return out.has_value();
}

// A path-like argument (no parameter note: the conversion words its own
// error).
bool path_arg(PyObject* value, std::string& out) {
  auto text = py_pathlike_to_string(value);
  if (!text) return false;
  out = *std::move(text);
  return true;
}

// (session_id, main_worktree), both required, by position or keyword.
bool session_and_root(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::string& session_id, std::string& main_worktree) {
  static constexpr Param params[] = {{"session_id", true, false}, {"main_worktree", true, false}};
  PyObject* given[2];
  return match_args({display, params}, args, nargs, kwnames, given) &&
         extract_str(given[0], "session_id", session_id) && path_arg(given[1], main_worktree);
}

PyObject* register_binding_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {
      {"session_id", true, true},     {"worktree", true, true},   {"branch", true, true},
      {"main_worktree", true, true},  {"state_path", false, true}, {"commit_ish", false, true},
  };
  PyObject* given[6];
  if (!match_args({"register_binding()", params}, args, nargs, kwnames, given)) return nullptr;
  std::string session_id, branch, commit_ish, worktree, main_worktree;
  std::optional<std::string> state_path;
  if (!extract_str(given[0], "session_id", session_id) || !extract_str(given[2], "branch", branch) ||
      (given[5] != nullptr && !extract_str(given[5], "commit_ish", commit_ish)) || !path_arg(given[1], worktree) ||
      !path_arg(given[3], main_worktree)) {
    return nullptr;
  }
  if (given[4] != nullptr && given[4] != Py_None) {
    state_path = py_pathlike_to_string(given[4]);
    if (!state_path) return nullptr;
  }

  auto registered = without_gil([&] {
    return app::register_binding(session_id, worktree, branch, main_worktree, state_path, commit_ish);
  });
  if (registered) return types::wrap_binding(*std::move(registered)).release();
  if (const auto* store = std::get_if<app::RegisterBindingError::Store>(&registered.error().value())) {
    return store_err(store->error);
  }
  set_error(PyExc_ValueError, registered.error().display());
  return nullptr;
}

PyObject* load_binding_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string session_id, main_worktree;
  if (!session_and_root("load_binding()", args, nargs, kwnames, session_id, main_worktree)) return nullptr;
  return optional_binding_result(app::load_binding(session_id, main_worktree));
}

PyObject* remove_binding_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string session_id, main_worktree;
  if (!session_and_root("remove_binding()", args, nargs, kwnames, session_id, main_worktree)) return nullptr;
  return optional_binding_result(app::remove_binding(session_id, main_worktree));
}

PyObject* recover_binding_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string session_id, main_worktree;
  if (!session_and_root("recover_binding()", args, nargs, kwnames, session_id, main_worktree)) return nullptr;
  return optional_binding_result(without_gil([&] { return app::recover_binding(session_id, main_worktree); }));
}

PyObject* list_bindings_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"main_worktree", true, false}};
  PyObject* given[1];
  std::string main_worktree;
  if (!match_args({"list_bindings()", params}, args, nargs, kwnames, given) || !path_arg(given[0], main_worktree)) {
    return nullptr;
  }
  auto bindings = app::list_bindings(main_worktree);
  if (!bindings) return store_err(bindings.error());
  return types::binding_tuple(*std::move(bindings)).release();
}

PyObject* validate_binding_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {
      {"binding", true, false}, {"cwd", false, true}, {"env", false, true},
      {"check_git", false, true}, {"options", false, true},
  };
  PyObject* given[5];
  if (!match_args({"validate_binding()", params}, args, nargs, kwnames, given)) return nullptr;
  PyRef binding_type = types::worktree_binding_type();
  if (!binding_type ||
      !extract_instance(given[0], reinterpret_cast<PyTypeObject*>(binding_type.get()), "binding")) {
    return nullptr;
  }
  std::optional<std::string> cwd;
  bool check_git = true;
  if (!extract_optional_str(given[1], "cwd", cwd) ||
      (given[3] != nullptr && !extract_bool(given[3], "check_git", check_git))) {
    return nullptr;
  }
  types::OptionsBorrow borrow;
  const bool has_options = given[4] != nullptr && given[4] != Py_None;
  if (has_options && !borrow.acquire(given[4], "options")) return nullptr;
  auto binding = types::binding_to_core(given[0], "binding");
  std::optional<EnvMap> env;
  if (!binding || !env_arg(given[2], env)) return nullptr;
  std::optional<BindingValidationOptions> options;
  if (has_options) options = borrow.flags();
  borrow.release();

  auto result = without_gil([&] { return app::validate_binding(*binding, cwd, env, check_git, options); });
  return types::wrap_validation_result(std::move(result)).release();
}

PyObject* validate_current_binding_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {
      {"main_worktree", true, true},
      {"session_id", true, true},
      {"cwd", true, true},
      {"env", false, true},
      {"check_git", false, true},
      {"require_registered_binding", false, true},
      {"require_env_worktree", false, true},
      {"require_git_state", false, true},
  };
  PyObject* given[8];
  if (!match_args({"validate_current_binding()", params}, args, nargs, kwnames, given)) return nullptr;
  app::CurrentBindingRequest request;
  bool* flags[] = {&request.check_git, &request.require_registered_binding,
                   &request.options.require_env_worktree, &request.options.require_git_state};
  if (!extract_optional_str(given[1], "session_id", request.session_id)) return nullptr;
  for (int i = 0; i < 4; ++i) {
    if (given[4 + i] != nullptr && !extract_bool(given[4 + i], params[4 + i].name, *flags[i])) return nullptr;
  }
  std::string cwd;
  if (!path_arg(given[0], request.main_worktree) || !path_arg(given[2], cwd) || !env_arg(given[3], request.env)) {
    return nullptr;
  }
  request.cwd = std::move(cwd);

  auto result = without_gil([&] { return app::validate_current_binding(request); });
  return types::wrap_validation_result(std::move(result)).release();
}

}  // namespace

PyMethodDef register_binding = fastcall_def<register_binding_impl>(
    "register_binding",
    "register_binding(*, session_id, worktree, branch, main_worktree, state_path=None, commit_ish=\"\")\n--\n\n");
PyMethodDef load_binding = fastcall_def<load_binding_impl>(
    "load_binding", "load_binding(session_id, main_worktree)\n--\n\n");
PyMethodDef list_bindings = fastcall_def<list_bindings_impl>("list_bindings", "list_bindings(main_worktree)\n--\n\n");
PyMethodDef remove_binding = fastcall_def<remove_binding_impl>(
    "remove_binding", "remove_binding(session_id, main_worktree)\n--\n\n");
PyMethodDef recover_binding = fastcall_def<recover_binding_impl>(
    "recover_binding", "recover_binding(session_id, main_worktree)\n--\n\n");
PyMethodDef validate_binding = fastcall_def<validate_binding_impl>(
    "validate_binding", "validate_binding(binding, *, cwd=None, env=None, check_git=True, options=None)\n--\n\n");
PyMethodDef validate_current_binding = fastcall_def<validate_current_binding_impl>(
    "validate_current_binding",
    "validate_current_binding(*, main_worktree, session_id, cwd, env=None, check_git=False, "
    "require_registered_binding=True, require_env_worktree=False, require_git_state=False)\n--\n\n");

}  // namespace tidemark::functions
