// GitWorktree, WorktreePreconditionResult and WorktreeListEntry: read-only
// copies of core records, made only by the module's functions.
#include "args.hpp"
#include "box.hpp"
#include "domain/git_worktree.hpp"
#include "domain/porcelain.hpp"
#include "types.hpp"

namespace tidemark::types {
namespace {

using brackwater::domain::GitWorktree;
using brackwater::domain::WorktreeListEntry;
using brackwater::domain::WorktreePreconditionResult;

PyObject* py_optional_str(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return py_str(*text).release();
}

// ---- GitWorktree ------------------------------------------------------------

template <std::string GitWorktree::* Field>
PyObject* worktree_path(PyObject* self, void*) {
  return py_path(unbox<GitWorktree>(self).*Field).release();
}

PyObject* worktree_branch(PyObject* self, void*) { return py_str(unbox<GitWorktree>(self).branch).release(); }

constexpr auto is_main_worktree_table = method<NoArgs>("GitWorktree", "is_main_worktree");
constexpr auto is_main_branch_table = method<NoArgs>("GitWorktree", "is_main_branch");

PyObject* worktree_is_main_worktree(PyObject* self, NoArgs&) {
  return py_bool(unbox<GitWorktree>(self).is_main_worktree()).release();
}

PyObject* worktree_is_main_branch(PyObject* self, NoArgs&) {
  const auto& branch = unbox<GitWorktree>(self).branch;
  bool main = false;
  for (auto name : brackwater::domain::kDefaultMainBranches) main = main || branch == name;
  return py_bool(main).release();
}

PyGetSetDef worktree_getset[] = {
    getter<worktree_branch>("branch"),
    getter<worktree_path<&GitWorktree::git_dir>>("git_dir"),
    getter<worktree_path<&GitWorktree::git_common_dir>>("git_common_dir"),
    getter<worktree_path<&GitWorktree::toplevel>>("toplevel"),
    {},
};

PyMethodDef worktree_methods[] = {
    method_def<is_main_worktree_table, worktree_is_main_worktree>(),
    method_def<is_main_branch_table, worktree_is_main_branch>(),
    {},
};

PyType_Slot worktree_slots[] = {
    {Py_tp_dealloc, slot<box_dealloc<GitWorktree>>()},
    {Py_tp_getset, worktree_getset},
    {Py_tp_methods, worktree_methods},
    {},
};

PyType_Spec worktree_spec = {"brackwater.api.GitWorktree", sizeof(Box<GitWorktree>), 0, kFinalImmutableNotInstantiable,
                             worktree_slots};

// ---- WorktreePreconditionResult -------------------------------------------

PyObject* precondition_ok(PyObject* self, void*) {
  return py_bool(unbox<WorktreePreconditionResult>(self).ok).release();
}
PyObject* precondition_reason_code(PyObject* self, void*) {
  return py_str(unbox<WorktreePreconditionResult>(self).reason_code).release();
}
PyObject* precondition_message(PyObject* self, void*) {
  return py_str(unbox<WorktreePreconditionResult>(self).message).release();
}
PyObject* precondition_context(PyObject* self, void*) {
  const auto& context = unbox<WorktreePreconditionResult>(self).context;
  if (!context) Py_RETURN_NONE;
  return wrap_git_worktree(*context).release();
}

PyGetSetDef precondition_getset[] = {
    getter<precondition_ok>("ok"),
    getter<precondition_reason_code>("reason_code"),
    getter<precondition_message>("message"),
    getter<precondition_context>("context"),
    {},
};

PyType_Slot precondition_slots[] = {
    {Py_tp_dealloc, slot<box_dealloc<WorktreePreconditionResult>>()},
    {Py_tp_getset, precondition_getset},
    {},
};

PyType_Spec precondition_spec = {"brackwater.api.WorktreePreconditionResult", sizeof(Box<WorktreePreconditionResult>),
                                 0, kFinalImmutableNotInstantiable, precondition_slots};

// ---- WorktreeListEntry ------------------------------------------------------

PyObject* entry_worktree(PyObject* self, void*) { return py_path(unbox<WorktreeListEntry>(self).worktree).release(); }
PyObject* entry_head(PyObject* self, void*) { return py_str(unbox<WorktreeListEntry>(self).head).release(); }
PyObject* entry_branch(PyObject* self, void*) { return py_optional_str(unbox<WorktreeListEntry>(self).branch); }
PyObject* entry_lock_reason(PyObject* self, void*) {
  return py_optional_str(unbox<WorktreeListEntry>(self).lock_reason);
}
template <bool WorktreeListEntry::* Flag>
PyObject* entry_flag(PyObject* self, void*) {
  return py_bool(unbox<WorktreeListEntry>(self).*Flag).release();
}

PyGetSetDef entry_getset[] = {
    getter<entry_worktree>("worktree"),
    getter<entry_head>("head"),
    getter<entry_branch>("branch"),
    getter<entry_lock_reason>("lock_reason"),
    getter<entry_flag<&WorktreeListEntry::bare>>("bare"),
    getter<entry_flag<&WorktreeListEntry::detached>>("detached"),
    getter<entry_flag<&WorktreeListEntry::locked>>("locked"),
    getter<entry_flag<&WorktreeListEntry::prunable>>("prunable"),
    {},
};

PyType_Slot entry_slots[] = {
    {Py_tp_dealloc, slot<box_dealloc<WorktreeListEntry>>()},
    {Py_tp_getset, entry_getset},
    {},
};

PyType_Spec entry_spec = {"brackwater.api.WorktreeListEntry", sizeof(Box<WorktreeListEntry>), 0,
                          kFinalImmutableNotInstantiable, entry_slots};

}  // namespace

PyRef git_worktree_type() {
  static PyObject* type = nullptr;
  return type_once(type, worktree_spec);
}

PyRef worktree_precondition_result_type() {
  static PyObject* type = nullptr;
  return type_once(type, precondition_spec);
}

PyRef worktree_list_entry_type() {
  static PyObject* type = nullptr;
  return type_once(type, entry_spec);
}

PyRef wrap_git_worktree(GitWorktree worktree) {
  PyRef type = git_worktree_type();
  if (!type) return type;
  return box_new(as_type(type), std::move(worktree));
}

PyRef wrap_precondition_result(WorktreePreconditionResult result) {
  PyRef type = worktree_precondition_result_type();
  if (!type) return type;
  return box_new(as_type(type), std::move(result));
}

PyRef worktree_entry_tuple(std::vector<WorktreeListEntry> entries) {
  PyRef type = worktree_list_entry_type();
  if (!type) return type;
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(entries.size())));
  for (size_t i = 0; tuple && i < entries.size(); ++i) {
    PyRef item = box_new(as_type(type), std::move(entries[i]));
    if (!item) return {};
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple;
}

bool AsGitWorktree::convert(PyObject* value, const char* param, GitWorktree& out) {
  PyRef type = git_worktree_type();
  if (!type || !extract_instance(value, as_type(type), param)) return false;
  out = unbox<GitWorktree>(value);
  return true;
}

}  // namespace tidemark::types
