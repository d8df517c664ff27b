// resolve_github_policy and resolve_main_branches. Both keep the interpreter
// lock, although the core may run git and reads pyproject.toml.
#include "convert.hpp"
#include "functions.hpp"
#include "infrastructure/github_policy_loader.hpp"
#include "py.hpp"
#include "types.hpp"

namespace tidemark::functions {
namespace {

namespace core = brackwater::infrastructure;

// The one optional path-like parameter both functions take.
bool project_root_arg(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::optional<std::string>& out) {
  static constexpr Param params[] = {{"project_root", false, false}};
  PyObject* given[1];
  if (!match_args({display, params}, args, nargs, kwnames, given)) return false;
  if (given[0] == nullptr || given[0] == Py_None) return true;
  out = py_pathlike_to_string(given[0]);
  return out.has_value();
}

PyObject* resolve_github_policy_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::optional<std::string> root;
  if (!project_root_arg("resolve_github_policy()", args, nargs, kwnames, root)) return nullptr;
  return types::wrap_github_policy(core::resolve_github_policy(root)).release();
}

PyObject* resolve_main_branches_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::optional<std::string> root;
  if (!project_root_arg("resolve_main_branches()", args, nargs, kwnames, root)) return nullptr;
  return types::frozenset_of_strs(core::resolve_main_branches(root)).release();
}

}  // namespace

PyMethodDef resolve_github_policy = fastcall_def<resolve_github_policy_impl>(
    "resolve_github_policy", "resolve_github_policy(project_root=None)\n--\n\n");
PyMethodDef resolve_main_branches = fastcall_def<resolve_main_branches_impl>(
    "resolve_main_branches", "resolve_main_branches(project_root=None)\n--\n\n");

}  // namespace tidemark::functions
