#include <sys/syscall.h>
#include <unistd.h>

#include "py.hpp"

namespace tidemark {
namespace {

// The thread ident of the interpreter's main thread, or -1 when it cannot be
// told. From 3.13 on the interpreter says it; before, threading's main
// thread is the one that first imported threading, which is the
// interpreter's own main thread unless a program did otherwise. threading is
// never imported here: imported first from another thread, it would take
// that thread for the main one, for the whole program.
long main_thread_ident() noexcept {
  PyRef thread = PyRef::steal(PyImport_ImportModule("_thread"));
  PyRef ident_of_main = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "_get_main_thread_ident")) : PyRef();
  PyRef ident;
  if (ident_of_main) {
    ident = PyRef::steal(PyObject_CallNoArgs(ident_of_main.get()));
  } else {
    PyErr_Clear();
    PyRef name = py_str("threading");
    PyRef threading = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
    if (main) ident = PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
  }
  const long value = ident ? PyLong_AsLong(ident.get()) : -1;
  PyErr_Clear();
  return value;
}

}  // namespace

bool on_first_thread() noexcept { return ::syscall(SYS_gettid) == ::getpid(); }

bool runs_signal_handlers() noexcept {
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
