// WorktreeBindingStore: the binding store of one repository. Every method
// keeps the interpreter lock, also while it waits for the store's file lock.
#include "args.hpp"
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
PyObject* optional_binding(
    std::expected<std::optional<WorktreeBinding>, brackwater::infrastructure::BindingStoreError> found) {
  if (!found) return store_err(found.error());
  if (!*found) Py_RETURN_NONE;
  return wrap_binding(**std::move(found)).release();
}

struct StoreArgs {
  std::string main_worktree;
};
constexpr auto store_new_table = constructor<StoreArgs>(
    "WorktreeBindingStore", kwonly<&StoreArgs::main_worktree>("main_worktree", as_path, required));

PyObject* store_new(PyTypeObject* type, StoreArgs& a) {
  auto store = WorktreeBindingStore::create(a.main_worktree);
  if (!store) return store_err(store.error());
  return box_new(type, *std::move(store)).release();
}

PyObject* store_path(PyObject* self, void*) { return py_str(unbox<WorktreeBindingStore>(self).path()).release(); }

PyObject* store_main_worktree(PyObject* self, void*) {
  return py_str(unbox<WorktreeBindingStore>(self).main_worktree()).release();
}

struct SessionIdArgs {
  std::string session_id;
};
template <const char* Name>
constexpr auto session_id_table = method<SessionIdArgs>(
    "WorktreeBindingStore", Name, param<&SessionIdArgs::session_id>("session_id", as_str, required));
constexpr char kLoad[] = "load";
constexpr char kRemove[] = "remove";

PyObject* store_load(PyObject* self, SessionIdArgs& a) {
  return optional_binding(unbox<WorktreeBindingStore>(self).load(a.session_id));
}

PyObject* store_remove(PyObject* self, SessionIdArgs& a) {
  return optional_binding(unbox<WorktreeBindingStore>(self).remove(a.session_id));
}

struct UpsertArgs {
  WorktreeBinding binding;
};
constexpr auto upsert_table =
    method<UpsertArgs>("WorktreeBindingStore", "upsert", param<&UpsertArgs::binding>("binding", as_binding, required));

PyObject* store_upsert(PyObject* self, UpsertArgs& a) {
  if (auto stored = unbox<WorktreeBindingStore>(self).upsert(a.binding); !stored) return store_err(stored.error());
  Py_RETURN_NONE;
}

constexpr auto list_table = method<NoArgs>("WorktreeBindingStore", "list");

PyObject* store_list(PyObject* self, NoArgs&) {
  auto bindings = unbox<WorktreeBindingStore>(self).list();
  if (!bindings) return store_err(bindings.error());
  return binding_tuple(*std::move(bindings)).release();
}

PyGetSetDef store_getset[] = {
    getter<store_path>("path"),
    getter<store_main_worktree>("main_worktree"),
    {},
};

PyMethodDef store_methods[] = {
    method_def<session_id_table<kLoad>, store_load>(),
    method_def<upsert_table, store_upsert>(),
    method_def<list_table, store_list>(),
    method_def<session_id_table<kRemove>, store_remove>(),
    {},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, new_slot<store_new_table, store_new>()},
    {Py_tp_dealloc, slot<box_dealloc<WorktreeBindingStore>>()},
    {Py_tp_getset, store_getset},
    {Py_tp_methods, store_methods},
    {Py_tp_doc, const_cast<char*>(text_signature<store_new_table>())},
    {},
};

PyType_Spec store_spec = {"brackwater.api.WorktreeBindingStore", sizeof(Box<WorktreeBindingStore>), 0,
                          kFinalImmutableInstantiable, store_slots};

}  // namespace

PyRef worktree_binding_store_type() {
  static PyObject* type = nullptr;
  return type_once(type, store_spec);
}

}  // namespace tidemark::types
