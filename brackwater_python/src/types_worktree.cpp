// GitWorktree, WorktreePreconditionResult and WorktreeListEntry: read-only
// copies of core records, made only by the module's functions.
#include "box.hpp"
#include "domain/git_worktree.hpp"
#include "domain/porcelain.hpp"
#include "types.hpp"

namespace tidemark::types {
namespace {

using brackwater::domain::GitWorktree;
using brackwater::domain::WorktreeListEntry;
using brackwater::domain::WorktreePreconditionResult;

constexpr unsigned long kFinalNoConstructor =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyObject* py_optional_str(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return py_str(*text).release();
}

// ---- GitWorktree ------------------------------------------------------------

template <std::string GitWorktree::*Field>
PyObject* worktree_path(PyObject* self, void*) {
  return py_path(unbox<GitWorktree>(self).*Field).release();
}

PyObject* worktree_branch(PyObject* self, void*) { return py_str(unbox<GitWorktree>(self).branch).release(); }

PyObject* worktree_is_main_worktree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!match_args({"GitWorktree.is_main_worktree()", {}}, args, nargs, kwnames, {})) return nullptr;
  return py_bool(unbox<GitWorktree>(self).is_main_worktree()).release();
}

PyObject* worktree_is_main_branch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!match_args({"GitWorktree.is_main_branch()", {}}, args, nargs, kwnames, {})) return nullptr;
  const auto& branch = unbox<GitWorktree>(self).branch;
  bool main = false;
  for (auto name : brackwater::domain::kDefaultMainBranches) main = main || branch == name;
  return py_bool(main).release();
}

PyGetSetDef worktree_getset[] = {
    {"branch", worktree_branch, nullptr, nullptr, nullptr},
    {"git_dir", worktree_path<&GitWorktree::git_dir>, nullptr, nullptr, nullptr},
    {"git_common_dir", worktree_path<&GitWorktree::git_common_dir>, nullptr, nullptr, nullptr},
    {"toplevel", worktree_path<&GitWorktree::toplevel>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef worktree_methods[] = {
    fastcall_def<worktree_is_main_worktree>("is_main_worktree", "is_main_worktree($self)\n--\n\n"),
    fastcall_def<worktree_is_main_branch>("is_main_branch", "is_main_branch($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot worktree_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<GitWorktree>)},
    {Py_tp_getset, worktree_getset},
    {Py_tp_methods, worktree_methods},
    {0, nullptr},
};

PyType_Spec worktree_spec = {"brackwater.api.GitWorktree", sizeof(Box<GitWorktree>), 0, kFinalNoConstructor,
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
PyObject* precondition_context(PyObject* self, void*) noexcept {
  const auto& context = unbox<WorktreePreconditionResult>(self).context;
  if (!context) Py_RETURN_NONE;
  try {
    return wrap_git_worktree(*context).release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyGetSetDef precondition_getset[] = {
    {"ok", precondition_ok, nullptr, nullptr, nullptr},
    {"reason_code", precondition_reason_code, nullptr, nullptr, nullptr},
    {"message", precondition_message, nullptr, nullptr, nullptr},
    {"context", precondition_context, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot precondition_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<WorktreePreconditionResult>)},
    {Py_tp_getset, precondition_getset},
    {0, nullptr},
};

PyType_Spec precondition_spec = {"brackwater.api.WorktreePreconditionResult",
                                 sizeof(Box<WorktreePreconditionResult>), 0, kFinalNoConstructor,
                                 precondition_slots};

// ---- WorktreeListEntry ------------------------------------------------------

PyObject* entry_worktree(PyObject* self, void*) { return py_path(unbox<WorktreeListEntry>(self).worktree).release(); }
PyObject* entry_head(PyObject* self, void*) { return py_str(unbox<WorktreeListEntry>(self).head).release(); }
PyObject* entry_branch(PyObject* self, void*) { return py_optional_str(unbox<WorktreeListEntry>(self).branch); }
PyObject* entry_lock_reason(PyObject* self, void*) {
  return py_optional_str(unbox<WorktreeListEntry>(self).lock_reason);
}
template <bool WorktreeListEntry::*Flag>
PyObject* entry_flag(PyObject* self, void*) {
  return py_bool(unbox<WorktreeListEntry>(self).*Flag).release();
}

PyGetSetDef entry_getset[] = {
    {"worktree", entry_worktree, nullptr, nullptr, nullptr},
    {"head", entry_head, nullptr, nullptr, nullptr},
    {"branch", entry_branch, nullptr, nullptr, nullptr},
    {"lock_reason", entry_lock_reason, nullptr, nullptr, nullptr},
    {"bare", entry_flag<&WorktreeListEntry::bare>, nullptr, nullptr, nullptr},
    {"detached", entry_flag<&WorktreeListEntry::detached>, nullptr, nullptr, nullptr},
    {"locked", entry_flag<&WorktreeListEntry::locked>, nullptr, nullptr, nullptr},
    {"prunable", entry_flag<&WorktreeListEntry::prunable>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<WorktreeListEntry>)},
    {Py_tp_getset, entry_getset},
    {0, nullptr},
};

PyType_Spec entry_spec = {"brackwater.api.WorktreeListEntry", sizeof(Box<WorktreeListEntry>), 0,
                          kFinalNoConstructor, entry_slots};

PyTypeObject* as_type(const PyRef& ref) { return reinterpret_cast<PyTypeObject*>(ref.get()); }

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

std::optional<GitWorktree> git_worktree_to_core(PyObject* value, const char* param) {
  PyRef type = git_worktree_type();
  if (!type || !extract_instance(value, as_type(type), param)) return std::nullopt;
  return unbox<GitWorktree>(value);
}

}  // namespace tidemark::types
