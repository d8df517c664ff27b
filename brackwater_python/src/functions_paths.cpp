// normalize_path, path_fingerprint and the four project functions. All keep
// the interpreter lock; the project functions may run git and read
// pyproject.toml meanwhile.
#include "args.hpp"
#include "domain/paths.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "infrastructure/project_id_resolver.hpp"

namespace tidemark::functions {
namespace {

namespace core = brackwater::infrastructure;

struct RawPathArgs {
  std::string raw_path;
};
constexpr auto normalize_path_table =
    function<RawPathArgs>("normalize_path", param<&RawPathArgs::raw_path>("raw_path", as_str));

PyObject* normalize_path_impl(PyObject*, RawPathArgs& a) {
  return py_str(brackwater::domain::normalize_path(a.raw_path)).release();
}

struct InputPathArgs {
  std::string input_path;
};
constexpr auto path_fingerprint_table =
    function<InputPathArgs>("path_fingerprint", param<&InputPathArgs::input_path>("input_path", as_str, required));

PyObject* path_fingerprint_impl(PyObject*, InputPathArgs& a) {
  return py_str(brackwater::domain::path_fingerprint(a.input_path)).release();
}

struct RepoRootArgs {
  std::optional<std::string> repo_root;
};
struct ProjectIdArgs {
  std::optional<std::string> project_id;
};
constexpr auto resolve_project_id_table =
    function<RepoRootArgs>("resolve_project_id", param<&RepoRootArgs::repo_root>("repo_root", as_str));
constexpr auto state_dir_table =
    function<RepoRootArgs>("state_dir", param<&RepoRootArgs::repo_root>("repo_root", as_str));
constexpr auto resolve_state_dir_name_table =
    function<ProjectIdArgs>("resolve_state_dir_name", param<&ProjectIdArgs::project_id>("project_id", as_str));
constexpr auto store_relative_path_table =
    function<ProjectIdArgs>("store_relative_path", param<&ProjectIdArgs::project_id>("project_id", as_str));

// The result converted, or the project error raised.
template <class Result, class Convert>
PyObject* project_result(const Result& result, Convert convert) {
  if (!result) return raise_project_error(result.error());
  return convert(*result).release();
}

PyObject* resolve_project_id_impl(PyObject*, RepoRootArgs& a) {
  return project_result(core::resolve_project_id(a.repo_root), py_str);
}

PyObject* state_dir_impl(PyObject*, RepoRootArgs& a) { return project_result(core::state_dir(a.repo_root), py_str); }

PyObject* resolve_state_dir_name_impl(PyObject*, ProjectIdArgs& a) {
  return project_result(core::resolve_state_dir_name(a.project_id), py_str);
}

PyObject* store_relative_path_impl(PyObject*, ProjectIdArgs& a) {
  return project_result(core::store_relative_path(a.project_id), py_path);
}

}  // namespace

PyMethodDef normalize_path = method_def<normalize_path_table, normalize_path_impl>();
PyMethodDef path_fingerprint = method_def<path_fingerprint_table, path_fingerprint_impl>();
PyMethodDef resolve_project_id = method_def<resolve_project_id_table, resolve_project_id_impl>();
PyMethodDef resolve_state_dir_name = method_def<resolve_state_dir_name_table, resolve_state_dir_name_impl>();
PyMethodDef state_dir = method_def<state_dir_table, state_dir_impl>();
PyMethodDef store_relative_path = method_def<store_relative_path_table, store_relative_path_impl>();

}  // namespace tidemark::functions
