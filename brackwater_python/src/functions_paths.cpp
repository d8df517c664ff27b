// normalize_path, path_fingerprint and the four project functions. All keep
// the interpreter lock; the project functions may run git and read
// pyproject.toml meanwhile.
#include "domain/paths.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "infrastructure/project_id_resolver.hpp"
#include "py.hpp"

namespace tidemark::functions {
namespace {

namespace core = brackwater::infrastructure;

// Raises the Python form of a project error.
PyObject* project_py_err(const core::ProjectResolveError& error) {
  return raise_project_error(error.message(), error.code());
}

// Matches the one optional str parameter the project functions share.
bool one_optional_str(const char* display, const char* name, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::optional<std::string>& out) {
  const Param params[] = {{name, false, false}};
  PyObject* given[1];
  return match_args({display, params}, args, nargs, kwnames, given) && extract_optional_str(given[0], name, out);
}

PyObject* normalize_path_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"raw_path", false, false}};
  PyObject* given[1];
  if (!match_args({"normalize_path()", params}, args, nargs, kwnames, given)) return nullptr;
  std::string raw;
  if (given[0] != nullptr && !extract_str(given[0], "raw_path", raw)) return nullptr;
  return py_str(brackwater::domain::normalize_path(raw)).release();
}

PyObject* path_fingerprint_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"input_path", true, false}};
  PyObject* given[1];
  if (!match_args({"path_fingerprint()", params}, args, nargs, kwnames, given)) return nullptr;
  std::string path;
  if (!extract_str(given[0], "input_path", path)) return nullptr;
  return py_str(brackwater::domain::path_fingerprint(path)).release();
}

PyObject* resolve_project_id_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::optional<std::string> root;
  if (!one_optional_str("resolve_project_id()", "repo_root", args, nargs, kwnames, root)) return nullptr;
  auto id = core::resolve_project_id_checked(root);
  if (!id) return raise_project_error(id.error().message, id.error().code);
  return py_str(*id).release();
}

// A project function of one optional str: its core call's result converted,
// or its error raised through project_py_err.
template <class CoreCall, class Convert>
PyObject* project_call(const char* display, const char* param, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, CoreCall core_call, Convert convert) {
  std::optional<std::string> arg;
  if (!one_optional_str(display, param, args, nargs, kwnames, arg)) return nullptr;
  auto result = core_call(arg);
  if (!result) return project_py_err(result.error());
  return convert(*result).release();
}

PyObject* resolve_state_dir_name_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return project_call("resolve_state_dir_name()", "project_id", args, nargs, kwnames, core::resolve_state_dir_name,
                      py_str);
}

PyObject* state_dir_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return project_call("state_dir()", "repo_root", args, nargs, kwnames, core::state_dir, py_str);
}

PyObject* store_relative_path_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return project_call("store_relative_path()", "project_id", args, nargs, kwnames, core::store_relative_path,
                      py_path);
}

}  // namespace

PyMethodDef normalize_path = fastcall_def<normalize_path_impl>(
    "normalize_path", "normalize_path(raw_path=\"\")\n--\n\n");
PyMethodDef path_fingerprint = fastcall_def<path_fingerprint_impl>(
    "path_fingerprint", "path_fingerprint(input_path)\n--\n\n");
PyMethodDef resolve_project_id = fastcall_def<resolve_project_id_impl>(
    "resolve_project_id", "resolve_project_id(repo_root=None)\n--\n\n");
PyMethodDef resolve_state_dir_name = fastcall_def<resolve_state_dir_name_impl>(
    "resolve_state_dir_name", "resolve_state_dir_name(project_id=None)\n--\n\n");
PyMethodDef state_dir = fastcall_def<state_dir_impl>("state_dir", "state_dir(repo_root=None)\n--\n\n");
PyMethodDef store_relative_path = fastcall_def<store_relative_path_impl>(
    "store_relative_path", "store_relative_path(project_id=None)\n--\n\n");

}  // namespace tidemark::functions
