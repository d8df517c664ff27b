// Worktree identity, the main-worktree check and the worktree listing.
// resolve_git_worktree, validate_main_worktree and list_worktrees (when git
// is run here rather than by a caller's `run`) release the interpreter lock
// while git runs; is_main_worktree keeps it.
#include <climits>

#include "application/git_worktree_service.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "infrastructure/worktree_list_reader.hpp"
#include "py.hpp"
#include "types.hpp"

namespace tidemark::functions {
namespace {

namespace app = brackwater::application;
namespace infra = brackwater::infrastructure;

constexpr const char* kAllowed = "allowed_branches";

// The name the "not a sequence" error gives as the expected type, read from
// collections.abc.Sequence on first need. Only the text is kept, so no
// interpreter's object outlives it.
std::optional<std::string> sequence_name() {
  static std::optional<std::string> name;
  if (!name) {
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    PyRef cls = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence")) : PyRef();
    PyRef text = cls ? PyRef::steal(PyObject_GetAttrString(cls.get(), "__name__")) : PyRef();
    if (!text) return std::nullopt;
    if (!PyUnicode_Check(text.get())) {
      set_wrong_type(text.get(), "str");
      return std::nullopt;
    }
    name = utf8_of(text.get());
  }
  return name;
}

// A sequence (not a str) whose items are all str, read by iteration; absent
// for nullptr or None. An empty sequence stays an empty list.
bool allowed_branches_arg(PyObject* value, std::optional<std::vector<std::string>>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (PyUnicode_Check(value)) {
    set_error(PyExc_TypeError, "a str is not taken as a sequence of branch names");
    add_param_note(kAllowed);
    return false;
  }
  if (!PySequence_Check(value)) {
    if (auto name = sequence_name()) set_wrong_type(value, name->c_str());
    add_param_note(kAllowed);
    return false;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(value));
  if (!iter) {
    add_param_note(kAllowed);
    return false;
  }
  std::vector<std::string> branches;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!extract_str(item.get(), kAllowed, branches.emplace_back())) return false;
  }
  if (PyErr_Occurred()) {
    add_param_note(kAllowed);
    return false;
  }
  out = std::move(branches);
  return true;
}

// A str, or an object whose fspath is a str; bytes paths are refused.
bool repo_root_arg(PyObject* value, std::string& out) {
  PyRef path = PyRef::steal(PyOS_FSPath(value));
  if (path && !PyUnicode_Check(path.get())) set_wrong_type(path.get(), "str");
  std::optional<std::string> text = path && PyUnicode_Check(path.get()) ? utf8_of(path.get()) : std::nullopt;
  if (!text) {
    add_param_note("repo_root");
    return false;
  }
  out = *std::move(text);
  return true;
}

PyObject* raise_list_error(const infra::WorktreeListError& error) {
  PyRef type = worktree_list_error_type();
  if (!type) return nullptr;
  return raise_with_reason_code(type.get(), error.message, error.reason_code);
}

PyObject* entries_or_raise(std::expected<infra::WorktreeList, infra::WorktreeListError> listed) {
  if (!listed) return raise_list_error(listed.error());
  return types::worktree_entry_tuple(*std::move(listed)).release();
}

// Hands the git run to the caller's `run(argv, Path(repo))` and reads its
// result: returncode (an int in 32 bits) and stdout (a str) must be there;
// stderr counts as empty unless it is a str. Errors on the way propagate.
std::optional<infra::CommandOutput> run_by_caller(PyObject* run, const std::string& repo) {
  std::vector<std::string> argv{"git"};
  for (auto arg : infra::git_commands::kWorktreeList) argv.emplace_back(arg);
  PyRef args = PyRef::steal(PyList_New(0));
  for (const auto& text : argv) {
    PyRef item = py_str(text);
    if (!args || !item || PyList_Append(args.get(), item.get()) < 0) return std::nullopt;
  }
  PyRef path = py_path(repo);
  if (!path) return std::nullopt;
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(run, args.get(), path.get(), nullptr));
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

PyObject* resolve_git_worktree_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"cwd", false, false}};
  PyObject* given[1];
  std::optional<std::string> cwd;
  if (!match_args({"resolve_git_worktree()", params}, args, nargs, kwnames, given) ||
      !extract_optional_str(given[0], "cwd", cwd)) {
    return nullptr;
  }
  auto identity = without_gil([&] { return app::resolve_git_worktree(cwd); });
  if (!identity) Py_RETURN_NONE;
  return types::wrap_git_worktree(*std::move(identity)).release();
}

PyObject* is_main_worktree_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"context", true, false}};
  PyObject* given[1];
  if (!match_args({"is_main_worktree()", params}, args, nargs, kwnames, given)) return nullptr;
  auto context = types::git_worktree_to_core(given[0], "context");
  if (!context) return nullptr;
  return py_bool(context->is_main_worktree()).release();
}

PyObject* validate_main_worktree_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"cwd", false, false}, {kAllowed, false, false}};
  PyObject* given[2];
  std::optional<std::string> cwd;
  std::optional<std::vector<std::string>> allowed;
  if (!match_args({"validate_main_worktree()", params}, args, nargs, kwnames, given) ||
      !extract_optional_str(given[0], "cwd", cwd) || !allowed_branches_arg(given[1], allowed)) {
    return nullptr;
  }
  auto result = without_gil([&] { return app::validate_main_worktree(cwd, allowed); });
  return types::wrap_precondition_result(std::move(result)).release();
}

PyObject* list_worktrees_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"repo_root", true, false}, {"run", false, true}};
  PyObject* given[2];
  std::string repo;
  if (!match_args({"list_worktrees()", params}, args, nargs, kwnames, given) || !repo_root_arg(given[0], repo)) {
    return nullptr;
  }
  if (given[1] == nullptr || given[1] == Py_None) {
    return entries_or_raise(without_gil([&] { return infra::list_worktrees(repo); }));
  }
  auto output = run_by_caller(given[1], repo);
  if (!output) return nullptr;
  return entries_or_raise(infra::list_worktrees_from_output(*output, repo));
}

}  // namespace

PyMethodDef resolve_git_worktree = fastcall_def<resolve_git_worktree_impl>(
    "resolve_git_worktree", "resolve_git_worktree(cwd=None)\n--\n\n");
PyMethodDef is_main_worktree = fastcall_def<is_main_worktree_impl>(
    "is_main_worktree", "is_main_worktree(context)\n--\n\n");
PyMethodDef validate_main_worktree = fastcall_def<validate_main_worktree_impl>(
    "validate_main_worktree", "validate_main_worktree(cwd=None, allowed_branches=None)\n--\n\n");
PyMethodDef list_worktrees = fastcall_def<list_worktrees_impl>(
    "list_worktrees", "list_worktrees(repo_root, *, run=None)\n--\n\n");

}  // namespace tidemark::functions
