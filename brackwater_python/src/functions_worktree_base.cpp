// The worktree-base functions. Each keeps the interpreter lock for the whole
// call, although the core may run git and read pyproject.toml and
// config/worktree.yaml. The three base functions see os.environ through a
// snapshot taken on every call, after the arguments are converted.
#include "convert.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "infrastructure/worktree_base_resolver.hpp"
#include "py.hpp"

namespace tidemark::functions {
namespace {

namespace core = brackwater::infrastructure;
using Opt = std::optional<std::string>;

// Converts the optional str parameters of `params` (starting at `first`) in
// order.
bool optional_strs(std::span<const Param> params, PyObject* const* given, size_t first, std::span<Opt> out) {
  for (size_t i = first; i < params.size(); ++i) {
    if (!extract_optional_str(given[i], params[i].name, out[i - first])) return false;
  }
  return true;
}

PyObject* resolve_worktree_base_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {
      {"explicit_base", false, false}, {"repo_root", false, false}, {"home", false, false}};
  PyObject* given[3];
  Opt values[3];
  if (!match_args({"resolve_worktree_base()", params}, args, nargs, kwnames, given) ||
      !optional_strs(params, given, 0, values)) {
    return nullptr;
  }
  auto env = read_py_env();
  if (!env) return nullptr;
  auto base = core::resolve_worktree_base(values[0], values[1], values[2], env);
  if (!base) return worktree_py_err(base.error());
  return py_str(*base).release();
}

PyObject* resolve_known_worktree_bases_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"repo_root", false, false}, {"home", false, false}};
  PyObject* given[2];
  Opt values[2];
  if (!match_args({"resolve_known_worktree_bases()", params}, args, nargs, kwnames, given) ||
      !optional_strs(params, given, 0, values)) {
    return nullptr;
  }
  auto env = read_py_env();
  if (!env) return nullptr;
  auto bases = core::resolve_known_worktree_bases(values[0], values[1], env);
  if (!bases) return worktree_py_err(bases.error());
  return py_tuple_of_strs(*bases).release();
}

PyObject* resolve_worktree_dir_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"worktree_name", true, false},
                                     {"explicit_base", false, false},
                                     {"repo_root", false, false},
                                     {"home", false, false}};
  PyObject* given[4];
  std::string name;
  Opt values[3];
  if (!match_args({"resolve_worktree_dir()", params}, args, nargs, kwnames, given) ||
      !extract_str(given[0], "worktree_name", name) || !optional_strs(params, given, 1, values)) {
    return nullptr;
  }
  auto env = read_py_env();
  if (!env) return nullptr;
  auto dir = core::resolve_worktree_dir(name, values[0], values[1], values[2], env);
  if (!dir) return worktree_py_err(dir.error());
  return py_str(*dir).release();
}

PyObject* set_tessary_project_root_for_worktree_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
  static constexpr Param params[] = {{"target_path", false, false}};
  PyObject* given[1];
  Opt target;
  if (!match_args({"set_tessary_project_root_for_worktree()", params}, args, nargs, kwnames, given) ||
      !extract_optional_str(given[0], "target_path", target)) {
    return nullptr;
  }
  auto values = core::set_tessary_project_root_for_worktree(target);
  if (!values) {
    set_error(PyExc_ValueError, values.error());
    return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : *values) {
    PyRef text = py_str(value);
    if (!text || PyDict_SetItemString(dict.get(), key.c_str(), text.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace

PyMethodDef resolve_worktree_base = fastcall_def<resolve_worktree_base_impl>(
    "resolve_worktree_base", "resolve_worktree_base(explicit_base=None, repo_root=None, home=None)\n--\n\n");
PyMethodDef resolve_known_worktree_bases = fastcall_def<resolve_known_worktree_bases_impl>(
    "resolve_known_worktree_bases", "resolve_known_worktree_bases(repo_root=None, home=None)\n--\n\n");
PyMethodDef resolve_worktree_dir = fastcall_def<resolve_worktree_dir_impl>(
    "resolve_worktree_dir",
    "resolve_worktree_dir(worktree_name, explicit_base=None, repo_root=None, home=None)\n--\n\n");
PyMethodDef set_tessary_project_root_for_worktree = fastcall_def<set_tessary_project_root_for_worktree_impl>(
    "set_tessary_project_root_for_worktree", "set_tessary_project_root_for_worktree(target_path=None)\n--\n\n");

}  // namespace tidemark::functions
