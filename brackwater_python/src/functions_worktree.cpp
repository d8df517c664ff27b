// Worktree identity, the main-worktree check and the worktree listing.
// resolve_git_worktree, validate_main_worktree and list_worktrees (when git
// is run here rather than by a caller's `run`) release the interpreter lock
// while git runs; is_main_worktree keeps it.
#include <cstdint>

#include "application/git_worktree_service.hpp"
#include "args.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "imports.hpp"
#include "infrastructure/worktree_list_reader.hpp"
#include "types.hpp"

namespace tidemark::functions {
namespace {

namespace app = brackwater::application;
namespace infra = brackwater::infrastructure;
using brackwater::domain::GitWorktree;

// A sequence (not a str) whose items are all str, read by iteration. An
// empty sequence stays an empty list: it allows no branch at all.
struct AsBranchList {
  static bool convert(PyObject* value, const char* param, std::optional<std::vector<std::string>>& out) {
    if (!read(value, out)) {
      add_param_note(param);
      return false;
    }
    return true;
  }

 private:
  static bool read(PyObject* value, std::optional<std::vector<std::string>>& out) {
    if (PyUnicode_Check(value)) {
      set_error(PyExc_TypeError, "a str is not taken as a sequence of branch names");
      return false;
    }
    if (!PySequence_Check(value)) {
      // Worded with the name of collections.abc.Sequence.
      PyRef cls = imported(Imported::sequence_class);
      PyRef name = cls ? PyRef::steal(PyObject_GetAttrString(cls.get(), "__name__")) : PyRef();
      std::optional<std::string> text = name && PyUnicode_Check(name.get()) ? utf8_of(name.get()) : std::nullopt;
      if (!text) PyErr_Clear();
      set_wrong_type(value, text ? text->c_str() : "Sequence");
      return false;
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(value));
    if (!iter) return false;
    std::vector<std::string> branches;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
      if (!PyUnicode_Check(item.get())) {
        set_wrong_type(item.get(), "str");
        return false;
      }
      auto text = utf8_of(item.get());
      if (!text) return false;
      branches.push_back(*std::move(text));
    }
    if (PyErr_Occurred()) return false;
    out = std::move(branches);
    return true;
  }
};

// A str, or an object that os.fspath turns into a str; bytes paths are
// refused.
struct AsFsPathStr {
  static bool convert(PyObject* value, const char* param, std::string& out) {
    PyRef path = PyRef::steal(PyOS_FSPath(value));
    if (path && !PyUnicode_Check(path.get())) set_wrong_type(path.get(), "str");
    std::optional<std::string> text = path && PyUnicode_Check(path.get()) ? utf8_of(path.get()) : std::nullopt;
    if (!text) {
      add_param_note(param);
      return false;
    }
    out = *std::move(text);
    return true;
  }
};

PyObject* entries_or_raise(std::expected<infra::WorktreeList, infra::WorktreeListError> listed) {
  if (listed) return types::worktree_entry_tuple(*std::move(listed)).release();
  PyRef type = worktree_list_error_type();
  if (!type) return nullptr;
  return raise_with_reason_code(type.get(), listed.error().message, listed.error().reason_code);
}

// Hands the git run to the caller's `run(argv, Path(repo))` and reads its
// result: returncode (an int in 32 bits) and stdout (a str) must be there;
// stderr counts as empty unless it is a str. Errors on the way propagate.
std::optional<infra::CommandOutput> run_by_caller(PyObject* run, const std::string& repo) {
  PyRef argv = PyRef::steal(PyList_New(0));
  PyRef git = py_str("git");
  if (!argv || !git || PyList_Append(argv.get(), git.get()) < 0) return std::nullopt;
  for (auto arg : infra::git_commands::kWorktreeList) {
    PyRef item = py_str(arg);
    if (!item || PyList_Append(argv.get(), item.get()) < 0) return std::nullopt;
  }
  PyRef path = py_path(repo);
  if (!path) return std::nullopt;
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(run, argv.get(), path.get(), nullptr));
  if (!result) return std::nullopt;

  infra::CommandOutput output;
  PyRef code = PyRef::steal(PyObject_GetAttrString(result.get(), "returncode"));
  PyRef index = code ? PyRef::steal(PyNumber_Index(code.get())) : PyRef();
  if (!index) return std::nullopt;
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return std::nullopt;
  }
  output.code = static_cast<int32_t>(value);

  PyRef out = PyRef::steal(PyObject_GetAttrString(result.get(), "stdout"));
  if (!out) return std::nullopt;
  if (!PyUnicode_Check(out.get())) {
    set_wrong_type(out.get(), "str");
    return std::nullopt;
  }
  auto out_text = utf8_of(out.get());
  if (!out_text) return std::nullopt;
  output.stdout_text = *std::move(out_text);

  PyRef err = PyRef::steal(PyObject_GetAttrString(result.get(), "stderr"));
  std::optional<std::string> err_text = err && PyUnicode_Check(err.get()) ? utf8_of(err.get()) : std::nullopt;
  if (!err_text) PyErr_Clear();
  output.stderr_text = err_text.value_or("");
  return output;
}

// ---- resolve_git_worktree, is_main_worktree --------------------------------------

struct CwdArgs {
  std::optional<std::string> cwd;
};
constexpr auto resolve_git_worktree_table =
    function<CwdArgs>("resolve_git_worktree", param<&CwdArgs::cwd>("cwd", as_str));

PyObject* resolve_git_worktree_impl(PyObject*, CwdArgs& a) {
  auto identity = without_gil([&] { return app::resolve_git_worktree(a.cwd); });
  if (!identity) Py_RETURN_NONE;
  return types::wrap_git_worktree(*std::move(identity)).release();
}

struct ContextArgs {
  GitWorktree context;
};
constexpr auto is_main_worktree_table = function<ContextArgs>(
    "is_main_worktree", param<&ContextArgs::context>("context", types::AsGitWorktree{}, required));

PyObject* is_main_worktree_impl(PyObject*, ContextArgs& a) { return py_bool(a.context.is_main_worktree()).release(); }

// ---- validate_main_worktree ------------------------------------------------------

struct CheckArgs {
  std::optional<std::string> cwd;
  std::optional<std::vector<std::string>> allowed_branches;
};
constexpr auto validate_main_worktree_table =
    function<CheckArgs>("validate_main_worktree", param<&CheckArgs::cwd>("cwd", as_str),
                        param<&CheckArgs::allowed_branches>("allowed_branches", AsBranchList{}));

PyObject* validate_main_worktree_impl(PyObject*, CheckArgs& a) {
  auto result = without_gil([&] { return app::validate_main_worktree(a.cwd, a.allowed_branches); });
  return types::wrap_precondition_result(std::move(result)).release();
}

// ---- list_worktrees ---------------------------------------------------------------

struct ListArgs {
  std::string repo_root;
  PyObject* run = nullptr;
};
constexpr auto list_worktrees_table =
    function<ListArgs>("list_worktrees", param<&ListArgs::repo_root>("repo_root", AsFsPathStr{}, required),
                       kwonly<&ListArgs::run>("run", as_object));

PyObject* list_worktrees_impl(PyObject*, ListArgs& a) {
  if (a.run == nullptr) return entries_or_raise(without_gil([&] { return infra::list_worktrees(a.repo_root); }));
  auto output = run_by_caller(a.run, a.repo_root);
  if (!output) return nullptr;
  return entries_or_raise(infra::list_worktrees_from_output(*output, a.repo_root));
}

}  // namespace

PyMethodDef resolve_git_worktree = method_def<resolve_git_worktree_table, resolve_git_worktree_impl>();
PyMethodDef is_main_worktree = method_def<is_main_worktree_table, is_main_worktree_impl>();
PyMethodDef validate_main_worktree = method_def<validate_main_worktree_table, validate_main_worktree_impl>();
PyMethodDef list_worktrees = method_def<list_worktrees_table, list_worktrees_impl>();

}  // namespace tidemark::functions
