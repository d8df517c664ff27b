// resolve_github_policy and resolve_main_branches. Both keep the interpreter
// lock, although the core may run git and reads pyproject.toml.
#include "args.hpp"
#include "functions.hpp"
#include "infrastructure/github_policy_loader.hpp"
#include "types.hpp"

namespace tidemark::functions {
namespace {

namespace core = brackwater::infrastructure;

struct ProjectRootArgs {
  std::optional<std::string> project_root;
};
constexpr auto resolve_github_policy_table =
    function<ProjectRootArgs>("resolve_github_policy", param<&ProjectRootArgs::project_root>("project_root", as_path));
constexpr auto resolve_main_branches_table =
    function<ProjectRootArgs>("resolve_main_branches", param<&ProjectRootArgs::project_root>("project_root", as_path));

PyObject* resolve_github_policy_impl(PyObject*, ProjectRootArgs& a) {
  return types::wrap_github_policy(core::resolve_github_policy(a.project_root)).release();
}

PyObject* resolve_main_branches_impl(PyObject*, ProjectRootArgs& a) {
  return types::frozenset_of_strs(core::resolve_main_branches(a.project_root)).release();
}

}  // namespace

PyMethodDef resolve_github_policy = method_def<resolve_github_policy_table, resolve_github_policy_impl>();
PyMethodDef resolve_main_branches = method_def<resolve_main_branches_table, resolve_main_branches_impl>();

}  // namespace tidemark::functions
