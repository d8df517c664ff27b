// What a wait in the core does when a signal interrupts it: the interpreter
// runs its signal handlers, and a handler that raises (Ctrl-C's
// KeyboardInterrupt) ends the wait, as CPython's own fcntl.flock does. The
// core then fails the operation (a lock wait with EINTR, a git run killed
// with its descendants), starts no further wait on the way out, and the
// module call raises the handler's exception whatever the core answered.
//
// The exception is put aside between the handler and the end of the call, so
// the module's own code in between (mapping the core's error, building a
// result) runs with no exception set, as the C API requires.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include "guard.hpp"

namespace tidemark {

// Installs the hook for the whole process; done by every module execution,
// always with the same function.
void install_wait_hook() noexcept;

// An exception put aside by the hook until its call ends (owned references).
struct PutAsideError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

// One module call, as far as interrupted waits go: it starts with no stop
// and no exception put aside on its thread (an outer call's are kept and put
// back at its end), and finish() turns the call's result into the handler's
// exception when one of its waits was stopped.
class InterruptibleCall {
 public:
  InterruptibleCall() noexcept;
  // Touches no Python object: it also runs in the forced unwind that ends a
  // thread at interpreter exit.
  ~InterruptibleCall();
  InterruptibleCall(const InterruptibleCall&) = delete;
  InterruptibleCall& operator=(const InterruptibleCall&) = delete;

  // `result` (a new reference, or nullptr with an exception set), or nullptr
  // with the handler's exception set in its place.
  PyObject* finish(PyObject* result) noexcept;

 private:
  bool outer_stopped_;
  PutAsideError outer_;
};

// Runs `body` (which returns a new reference, or nullptr with an exception
// set) as one interruptible call. A C++ exception from the body becomes its
// Python form here, inside the call, so that a handler's exception put aside
// before it still wins and is never dropped.
template <class Body>
[[gnu::no_sanitize("null")]] PyObject* interruptible_call(Body&& body) {
  InterruptibleCall call;
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (abi::__forced_unwind&) {
    throw;  // the thread ends at interpreter exit (guard.hpp)
  } catch (...) {
    set_error_from_current_exception();
  }
  return call.finish(result);
}

}  // namespace tidemark
