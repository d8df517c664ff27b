// WorktreeBindingStore: the binding store of one repository. Every method
// keeps the interpreter lock, also while it waits for the store's file lock.
#include "box.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "infrastructure/binding_store.hpp"
#include "types.hpp"

namespace tidemark::types {
namespace {

using brackwater::domain::WorktreeBinding;
using brackwater::infrastructure::WorktreeBindingStore;

// The binding result of a load or remove: the binding, None, or the error.
PyObject* optional_binding(std::expected<std::optional<WorktreeBinding>,
                                         brackwater::infrastructure::BindingStoreError> found) {
  if (!found) return store_err(found.error());
  if (!*found) Py_RETURN_NONE;
  return wrap_binding(**std::move(found)).release();
}

bool session_id_arg(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::string& out) {
  static constexpr Param params[] = {{"session_id", true, false}};
  PyObject* given[1];
  return match_args({display, params}, args, nargs, kwnames, given) && extract_str(given[0], "session_id", out);
}

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Param params[] = {{"main_worktree", true, true}};
  PyObject* given[1];
  if (!match_args({"WorktreeBindingStore.__new__()", params}, args, kwargs, given)) return nullptr;
  auto main_worktree = py_pathlike_to_string(given[0]);
  if (!main_worktree) return nullptr;
  auto store = WorktreeBindingStore::create(*main_worktree);
  if (!store) return store_err(store.error());
  return box_new(type, *std::move(store)).release();
}

PyObject* store_path(PyObject* self, void*) { return py_str(unbox<WorktreeBindingStore>(self).path()).release(); }

PyObject* store_main_worktree(PyObject* self, void*) {
  return py_str(unbox<WorktreeBindingStore>(self).main_worktree()).release();
}

PyObject* store_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string session_id;
  if (!session_id_arg("WorktreeBindingStore.load()", args, nargs, kwnames, session_id)) return nullptr;
  return optional_binding(unbox<WorktreeBindingStore>(self).load(session_id));
}

PyObject* store_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string session_id;
  if (!session_id_arg("WorktreeBindingStore.remove()", args, nargs, kwnames, session_id)) return nullptr;
  return optional_binding(unbox<WorktreeBindingStore>(self).remove(session_id));
}

PyObject* store_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"binding", true, false}};
  PyObject* given[1];
  if (!match_args({"WorktreeBindingStore.upsert()", params}, args, nargs, kwnames, given)) return nullptr;
  auto binding = binding_to_core(given[0], "binding");
  if (!binding) return nullptr;
  if (auto stored = unbox<WorktreeBindingStore>(self).upsert(*binding); !stored) return store_err(stored.error());
  Py_RETURN_NONE;
}

PyObject* store_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!match_args({"WorktreeBindingStore.list()", {}}, args, nargs, kwnames, {})) return nullptr;
  auto bindings = unbox<WorktreeBindingStore>(self).list();
  if (!bindings) return store_err(bindings.error());
  return binding_tuple(*std::move(bindings)).release();
}

PyGetSetDef store_getset[] = {
    {"path", store_path, nullptr, nullptr, nullptr},
    {"main_worktree", store_main_worktree, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef store_methods[] = {
    fastcall_def<store_load>("load", "load($self, session_id)\n--\n\n"),
    fastcall_def<store_upsert>("upsert", "upsert($self, binding)\n--\n\n"),
    fastcall_def<store_list>("list", "list($self)\n--\n\n"),
    fastcall_def<store_remove>("remove", "remove($self, session_id)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<WorktreeBindingStore>)},
    {Py_tp_getset, store_getset},
    {Py_tp_methods, store_methods},
    {Py_tp_doc, const_cast<char*>("WorktreeBindingStore(*, main_worktree)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec store_spec = {"brackwater.api.WorktreeBindingStore", sizeof(Box<WorktreeBindingStore>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, store_slots};

}  // namespace

PyRef worktree_binding_store_type() {
  static PyObject* type = nullptr;
  return type_once(type, store_spec);
}

}  // namespace tidemark::types
