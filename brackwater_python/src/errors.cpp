#include "errors.hpp"

#include <mutex>

namespace tidemark {
namespace {

struct ExceptionTypeSpec {
  const char* qualified_name;
  const char* doc;
  PyObject* const* base;  // the interpreter's base class, read when first made
};

constexpr ExceptionTypeSpec kWorktreeListError = {"_tidemark.WorktreeListError",
                                                  "Raised when list_worktrees cannot produce a reliable enumeration.",
                                                  &PyExc_Exception};
constexpr ExceptionTypeSpec kProjectIdInvalidError = {
    "_tidemark.ProjectIdInvalidError", "Raised when a raw project_id fails the normative pattern.", &PyExc_ValueError};

// Creates the type once per process. The creating thread keeps the
// interpreter lock while it calls the interpreter; a thread that finds the
// creation in progress gives the interpreter lock up while it waits, so the
// two locks never deadlock.
template <const ExceptionTypeSpec& Spec>
PyRef once_per_process() {
  static PyObject* slot = nullptr;
  static std::mutex mutex;
  if (slot == nullptr) {
    std::unique_lock lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
      GilReleased released;
      lock.lock();
    }
    if (slot == nullptr) {
      slot = PyErr_NewExceptionWithDoc(Spec.qualified_name, Spec.doc, *Spec.base, nullptr);
      if (slot == nullptr) return {};
    }
  }
  return PyRef::borrow(slot);
}

}  // namespace

PyRef worktree_list_error_type() { return once_per_process<kWorktreeListError>(); }
PyRef project_id_invalid_error_type() { return once_per_process<kProjectIdInvalidError>(); }

PyObject* raise_with_reason_code(PyObject* type, const std::string& message, const std::string& code) {
  PyRef text = py_str(message);
  if (!text) return nullptr;
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exc) return nullptr;
  PyRef reason = py_str(code);
  if (!reason || PyObject_SetAttrString(exc.get(), "reason_code", reason.get()) < 0) PyErr_Clear();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* raise_project_error(const brackwater::infrastructure::ProjectResolveError& error) {
  using Error = brackwater::infrastructure::ProjectResolveError;
  if (const auto* invalid = error.get<Error::Invalid>()) {
    PyRef type = project_id_invalid_error_type();
    if (!type) return nullptr;
    return raise_with_reason_code(type.get(), invalid->message, invalid->code);
  }
  set_error(PyExc_RuntimeError, error.display());
  return nullptr;
}

PyObject* store_err(const brackwater::infrastructure::BindingStoreError& error) {
  set_error(PyExc_RuntimeError, error.display());
  return nullptr;
}

PyObject* worktree_py_err(const brackwater::infrastructure::WorktreeBaseError& error) {
  using brackwater::infrastructure::WorktreeBaseError;
  if (const auto* project = error.get<WorktreeBaseError::Project>()) {
    return raise_project_error(project->error);
  }
  set_error(PyExc_RuntimeError, error.display());
  return nullptr;
}

}  // namespace tidemark
