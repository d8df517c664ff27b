// The worktree-base functions. Each keeps the interpreter lock for the whole
// call, although the core may run git and read pyproject.toml and
// config/worktree.yaml. The three base functions see os.environ through a
// snapshot taken on every call, after the arguments are converted.
#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "infrastructure/worktree_base_resolver.hpp"

namespace tidemark::functions {
namespace {

namespace core = brackwater::infrastructure;

struct BaseArgs {
  std::optional<std::string> explicit_base;
  std::optional<std::string> repo_root;
  std::optional<std::string> home;
};
constexpr auto resolve_worktree_base_table =
    function<BaseArgs>("resolve_worktree_base", param<&BaseArgs::explicit_base>("explicit_base", as_str),
                       param<&BaseArgs::repo_root>("repo_root", as_str), param<&BaseArgs::home>("home", as_str));

struct KnownBasesArgs {
  std::optional<std::string> repo_root;
  std::optional<std::string> home;
};
constexpr auto resolve_known_worktree_bases_table =
    function<KnownBasesArgs>("resolve_known_worktree_bases", param<&KnownBasesArgs::repo_root>("repo_root", as_str),
                             param<&KnownBasesArgs::home>("home", as_str));

struct DirArgs {
  std::string worktree_name;
  std::optional<std::string> explicit_base;
  std::optional<std::string> repo_root;
  std::optional<std::string> home;
};
constexpr auto resolve_worktree_dir_table =
    function<DirArgs>("resolve_worktree_dir", param<&DirArgs::worktree_name>("worktree_name", as_str, required),
                      param<&DirArgs::explicit_base>("explicit_base", as_str),
                      param<&DirArgs::repo_root>("repo_root", as_str), param<&DirArgs::home>("home", as_str));

struct TargetArgs {
  std::optional<std::string> target_path;
};
constexpr auto set_project_root_table = function<TargetArgs>("set_tessary_project_root_for_worktree",
                                                             param<&TargetArgs::target_path>("target_path", as_str));

// The text, or the base error raised.
PyObject* text_result(const std::expected<std::string, core::WorktreeBaseError>& result) {
  if (!result) return worktree_py_err(result.error());
  return py_str(*result).release();
}

PyObject* resolve_worktree_base_impl(PyObject*, BaseArgs& a) {
  auto env = read_py_env();
  if (!env) return nullptr;
  return text_result(core::resolve_worktree_base(a.explicit_base, a.repo_root, a.home, env));
}

PyObject* resolve_known_worktree_bases_impl(PyObject*, KnownBasesArgs& a) {
  auto env = read_py_env();
  if (!env) return nullptr;
  auto bases = core::resolve_known_worktree_bases(a.repo_root, a.home, env);
  if (!bases) return worktree_py_err(bases.error());
  return py_tuple_of_strs(*bases).release();
}

PyObject* resolve_worktree_dir_impl(PyObject*, DirArgs& a) {
  auto env = read_py_env();
  if (!env) return nullptr;
  return text_result(core::resolve_worktree_dir(a.worktree_name, a.explicit_base, a.repo_root, a.home, env));
}

PyObject* set_tessary_project_root_for_worktree_impl(PyObject*, TargetArgs& a) {
  auto values = core::set_tessary_project_root_for_worktree(a.target_path);
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

PyMethodDef resolve_worktree_base = method_def<resolve_worktree_base_table, resolve_worktree_base_impl>();
PyMethodDef resolve_known_worktree_bases =
    method_def<resolve_known_worktree_bases_table, resolve_known_worktree_bases_impl>();
PyMethodDef resolve_worktree_dir = method_def<resolve_worktree_dir_table, resolve_worktree_dir_impl>();
PyMethodDef set_tessary_project_root_for_worktree =
    method_def<set_project_root_table, set_tessary_project_root_for_worktree_impl>();

}  // namespace tidemark::functions
