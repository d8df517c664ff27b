// The binding functions. register_binding, recover_binding, validate_binding
// and validate_current_binding release the interpreter lock while the core
// works; load_binding, list_bindings and remove_binding keep it.
#include "application/binding_lifecycle.hpp"
#include "application/validation.hpp"
#include "args.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "types.hpp"

namespace tidemark::functions {
namespace {

namespace app = brackwater::application;
using brackwater::domain::BindingValidationOptions;
using brackwater::domain::WorktreeBinding;
using brackwater::support::EnvSnapshot;

using OptionalBinding = std::expected<std::optional<WorktreeBinding>, app::BindingStoreError>;

PyObject* optional_binding_result(OptionalBinding found) {
  if (!found) return store_err(found.error());
  if (!*found) Py_RETURN_NONE;
  return types::wrap_binding(**std::move(found)).release();
}

// ---- register_binding -----------------------------------------------------------

struct RegisterArgs {
  std::string session_id;
  std::string worktree;
  std::string branch;
  std::string main_worktree;
  std::optional<std::string> state_path;
  std::string commit_ish;
};
constexpr auto register_binding_table =
    function<RegisterArgs>("register_binding",                                                 //
                           kwonly<&RegisterArgs::session_id>("session_id", as_str, required),  //
                           kwonly<&RegisterArgs::worktree>("worktree", as_path, required),
                           kwonly<&RegisterArgs::branch>("branch", as_str, required),
                           kwonly<&RegisterArgs::main_worktree>("main_worktree", as_path, required),
                           kwonly<&RegisterArgs::state_path>("state_path", as_path),
                           kwonly<&RegisterArgs::commit_ish>("commit_ish", as_str))
        .converted_in("session_id", "branch", "commit_ish", "worktree", "main_worktree", "state_path");

PyObject* register_binding_impl(PyObject*, RegisterArgs& a) {
  auto registered = without_gil([&] {
    return app::register_binding(a.session_id, a.worktree, a.branch, a.main_worktree, a.state_path, a.commit_ish);
  });
  if (registered) return types::wrap_binding(*std::move(registered)).release();
  if (const auto* store = registered.error().get<app::RegisterBindingError::Store>()) return store_err(store->error);
  set_error(PyExc_ValueError, registered.error().display());
  return nullptr;
}

// ---- load, list, remove, recover ---------------------------------------------------

struct SessionArgs {
  std::string session_id;
  std::string main_worktree;
};
template <const char* Name>
constexpr auto session_table =
    function<SessionArgs>(Name, param<&SessionArgs::session_id>("session_id", as_str, required),
                          param<&SessionArgs::main_worktree>("main_worktree", as_path, required));
constexpr char kLoad[] = "load_binding";
constexpr char kRemove[] = "remove_binding";
constexpr char kRecover[] = "recover_binding";

PyObject* load_binding_impl(PyObject*, SessionArgs& a) {
  return optional_binding_result(app::load_binding(a.session_id, a.main_worktree));
}

PyObject* remove_binding_impl(PyObject*, SessionArgs& a) {
  return optional_binding_result(app::remove_binding(a.session_id, a.main_worktree));
}

PyObject* recover_binding_impl(PyObject*, SessionArgs& a) {
  return optional_binding_result(without_gil([&] { return app::recover_binding(a.session_id, a.main_worktree); }));
}

struct MainWorktreeArgs {
  std::string main_worktree;
};
constexpr auto list_bindings_table = function<MainWorktreeArgs>(
    "list_bindings", param<&MainWorktreeArgs::main_worktree>("main_worktree", as_path, required));

PyObject* list_bindings_impl(PyObject*, MainWorktreeArgs& a) {
  auto bindings = app::list_bindings(a.main_worktree);
  if (!bindings) return store_err(bindings.error());
  return types::binding_tuple(*std::move(bindings)).release();
}

// ---- validation ----------------------------------------------------------------------

struct ValidateArgs {
  WorktreeBinding binding;  // the record made anew from the object
  std::optional<std::string> cwd;
  std::optional<EnvSnapshot> env;
  bool check_git = true;
  types::OptionsBorrow options;
};
// The binding is made into its core record where it is converted, before the
// options are borrowed; neither step runs Python code, so this order is
// indistinguishable from converting it after the borrow.
constexpr auto validate_binding_table =
    function<ValidateArgs>("validate_binding",  //
                           param<&ValidateArgs::binding>("binding", types::as_binding, required),
                           kwonly<&ValidateArgs::cwd>("cwd", as_str),  //
                           kwonly<&ValidateArgs::env>("env", as_env),
                           kwonly<&ValidateArgs::check_git>("check_git", as_bool),
                           kwonly<&ValidateArgs::options>("options", types::as_options))
        .converted_in("binding", "cwd", "check_git", "options", "env");

PyObject* validate_binding_impl(PyObject*, ValidateArgs& a) {
  std::optional<BindingValidationOptions> options = a.options.flags();
  a.options.release();
  auto result = without_gil([&] { return app::validate_binding(a.binding, a.cwd, a.env, a.check_git, options); });
  return types::wrap_validation_result(std::move(result)).release();
}

struct CurrentArgs {
  std::string main_worktree;
  std::optional<std::string> session_id;
  std::string cwd;
  std::optional<EnvSnapshot> env;
  bool check_git = app::CurrentBindingRequest{}.check_git;
  bool require_registered_binding = app::CurrentBindingRequest{}.require_registered_binding;
  bool require_env_worktree = BindingValidationOptions{}.require_env_worktree;
  bool require_git_state = BindingValidationOptions{}.require_git_state;
};
constexpr auto validate_current_binding_table =
    function<CurrentArgs>("validate_current_binding",
                          kwonly<&CurrentArgs::main_worktree>("main_worktree", as_path, required),
                          kwonly<&CurrentArgs::session_id>("session_id", as_str, required),
                          kwonly<&CurrentArgs::cwd>("cwd", as_path, required), kwonly<&CurrentArgs::env>("env", as_env),
                          kwonly<&CurrentArgs::check_git>("check_git", as_bool),
                          kwonly<&CurrentArgs::require_registered_binding>("require_registered_binding", as_bool),
                          kwonly<&CurrentArgs::require_env_worktree>("require_env_worktree", as_bool),
                          kwonly<&CurrentArgs::require_git_state>("require_git_state", as_bool))
        .converted_in("session_id", "check_git", "require_registered_binding", "require_env_worktree",
                      "require_git_state", "main_worktree", "cwd", "env");

PyObject* validate_current_binding_impl(PyObject*, CurrentArgs& a) {
  app::CurrentBindingRequest request{std::move(a.session_id),
                                     std::move(a.main_worktree),
                                     std::move(a.cwd),
                                     std::move(a.env),
                                     a.check_git,
                                     a.require_registered_binding,
                                     {a.require_env_worktree, a.require_git_state}};
  auto result = without_gil([&] { return app::validate_current_binding(request); });
  return types::wrap_validation_result(std::move(result)).release();
}

}  // namespace

PyMethodDef register_binding = method_def<register_binding_table, register_binding_impl>();
PyMethodDef load_binding = method_def<session_table<kLoad>, load_binding_impl>();
PyMethodDef list_bindings = method_def<list_bindings_table, list_bindings_impl>();
PyMethodDef remove_binding = method_def<session_table<kRemove>, remove_binding_impl>();
PyMethodDef recover_binding = method_def<session_table<kRecover>, recover_binding_impl>();
PyMethodDef validate_binding = method_def<validate_binding_table, validate_binding_impl>();
PyMethodDef validate_current_binding = method_def<validate_current_binding_table, validate_current_binding_impl>();

}  // namespace tidemark::functions
