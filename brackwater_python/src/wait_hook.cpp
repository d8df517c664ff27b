#include "wait_hook.hpp"

#include <utility>

#include "py.hpp"
#include "support/wait_hook.hpp"

namespace tidemark {
namespace {

thread_local PutAsideError put_aside{};

// Runs the handlers with the interpreter lock: the thread's own when it holds
// it, else taken back for the moment from GilReleased (register_binding, a
// git run of list_worktrees, ...), but only on the thread that runs them, so
// that the other threads' waits never queue for the lock. Re-taking it while
// the interpreter finalises ends this thread with a forced unwind, from here
// up to the module's entry guard; nothing on that path is noexcept.
bool go_on_after_signal() {
  const bool released = !GilReleased::holds_gil();
  if (released && !GilReleased::handlers_may_run()) return true;
  if (released) GilReleased::reacquire();
  const bool go_on = PyErr_CheckSignals() == 0;
  if (!go_on) {
    PyErr_Fetch(&put_aside.type, &put_aside.value, &put_aside.traceback);
  }
  if (released) GilReleased::release_again();
  return go_on;
}

// A signal sent to the process lands on its first thread unless that thread
// blocks it; a wait on any other thread where handlers run (an interpreter
// that a host started on a thread of its own) is interrupted by none.
bool signals_land_elsewhere() {
  if (on_first_thread()) return false;
  return GilReleased::holds_gil() ? runs_signal_handlers() : GilReleased::handlers_may_run();
}

}  // namespace

void install_wait_hook() noexcept { brackwater::support::set_wait_hook(&go_on_after_signal, &signals_land_elsewhere); }

InterruptibleCall::InterruptibleCall() noexcept
    : outer_stopped_(brackwater::support::exchange_wait_stopped(false)), outer_(std::exchange(put_aside, {})) {}

InterruptibleCall::~InterruptibleCall() {
  brackwater::support::exchange_wait_stopped(outer_stopped_);
  put_aside = outer_;
}

PyObject* InterruptibleCall::finish(PyObject* result) noexcept {
  if (put_aside.type == nullptr) return result;
  Py_XDECREF(result);
  PyErr_Clear();  // what the module made of the core's answer
  const auto [type, value, traceback] = std::exchange(put_aside, {});
  PyErr_Restore(type, value, traceback);
  return nullptr;
}

}  // namespace tidemark
