#include "errors.hpp"

#include <mutex>

namespace tidemark {
namespace {

struct ExceptionTypeSpec {
  const char* qualified_name;
  const char* doc;
  PyObject* base;
};

// Creates the type once per process. The creating thread keeps the
// interpreter lock while it calls the interpreter; a thread that finds the
// creation in progress gives the interpreter lock up while it waits, so the
// two locks never deadlock.
PyRef once_per_process(PyObject*& slot, std::mutex& mutex, const ExceptionTypeSpec& spec) {
  if (slot == nullptr) {
    std::unique_lock lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
      GilReleased released;
      lock.lock();
    }
    if (slot == nullptr) {
      slot = PyErr_NewExceptionWithDoc(spec.qualified_name, spec.doc, spec.base, nullptr);
      if (slot == nullptr) return {};
    }
  }
  return PyRef::borrow(slot);
}

}  // namespace

PyRef worktree_list_error_type() {
  static PyObject* type = nullptr;
  static std::mutex mutex;
  return once_per_process(type, mutex,
                          {"_tidemark.WorktreeListError",
                           "Raised when list_worktrees cannot produce a reliable enumeration.", PyExc_Exception});
}

PyRef project_id_invalid_error_type() {
  static PyObject* type = nullptr;
  static std::mutex mutex;
  return once_per_process(type, mutex,
                          {"_tidemark.ProjectIdInvalidError",
                           "Raised when a raw project_id fails the normative pattern.", PyExc_ValueError});
}

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

PyObject* raise_project_error(const std::string& message, const std::string& code) {
  if (code == "WORKTREE_PROJECT_CONFIG_UNREADABLE") {
    set_error(PyExc_RuntimeError, code + ": " + message);
    return nullptr;
  }
  PyRef type = project_id_invalid_error_type();
  if (!type) return nullptr;
  return raise_with_reason_code(type.get(), message, code);
}

PyObject* store_err(const brackwater::infrastructure::BindingStoreError& error) {
  set_error(PyExc_RuntimeError, error.display());
  return nullptr;
}

PyObject* worktree_py_err(const brackwater::infrastructure::WorktreeBaseError& error) {
  using brackwater::infrastructure::WorktreeBaseError;
  if (const auto* project = std::get_if<WorktreeBaseError::Project>(&error.value())) {
    return raise_project_error(project->error.message(), project->error.code());
  }
  set_error(PyExc_RuntimeError, error.display());
  return nullptr;
}

}  // namespace tidemark
