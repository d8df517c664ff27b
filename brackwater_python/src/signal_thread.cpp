#include <sys/syscall.h>
#include <unistd.h>

#include "py.hpp"

namespace tidemark {
namespace {

// A module of sys.modules, without importing it (nullptr when it is not
// there).
PyRef loaded_module(const char* name) {
  PyRef key = py_str(name);
  return key ? PyRef::steal(PyImport_GetModule(key.get())) : PyRef();
}

// The thread ident of the interpreter's main thread, or -1 when it cannot be
// told. From 3.13 on the interpreter says it; before, threading's main
// thread is the one that first imported threading, which is the
// interpreter's own main thread unless a program did otherwise. Nothing
// here runs Python code: that would run pending signal handlers, whose
// exception (Ctrl-C's) this question has no way to pass on, and could hand
// the interpreter lock to another thread and take it back, which at
// interpreter exit ends this thread. So threading is never imported here
// (imported first from another thread, it would take that thread for the
// main one, for the whole program), and its main thread's ident is read
// from the object, not through the property.
long main_thread_ident() {
  PyRef ident;
  PyRef thread = loaded_module("_thread");
  PyRef ident_of_main = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "_get_main_thread_ident")) : PyRef();
  if (ident_of_main) {
    ident = PyRef::steal(PyObject_CallNoArgs(ident_of_main.get()));
  } else {
    PyErr_Clear();
    PyRef threading = loaded_module("threading");
    PyRef main = threading ? PyRef::steal(PyObject_GetAttrString(threading.get(), "_main_thread")) : PyRef();
    if (main) ident = PyRef::steal(PyObject_GetAttrString(main.get(), "_ident"));
  }
  const long value = ident && PyLong_Check(ident.get()) ? PyLong_AsLong(ident.get()) : -1;
  PyErr_Clear();
  return value;
}

}  // namespace

bool on_first_thread() noexcept { return ::syscall(SYS_gettid) == ::getpid(); }

bool runs_signal_handlers() {
  // Only the main interpreter runs them.
  if (PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get())) != 0) return false;
  if (on_first_thread()) return true;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  const long main = main_thread_ident();
  PyErr_Restore(type, value, traceback);
  return main == -1 || static_cast<unsigned long>(main) == PyThread_get_thread_ident();
}

}  // namespace tidemark
