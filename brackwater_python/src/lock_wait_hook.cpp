#include "lock_wait_hook.hpp"

#include <Python.h>

#include "py.hpp"
#include "support/file_lock.hpp"

namespace tidemark {
namespace {

// A thread that gave the interpreter lock up (register_binding and
// recover_binding wait for the store lock that way) must not touch the
// interpreter, so it simply waits on; its handlers run once the call is
// back. The thread-local mark is asked rather than PyGILState_Check, which
// answers "yes" for every thread once a sub-interpreter exists.
bool go_on_after_signal() noexcept {
  if (!GilReleased::holds_gil()) return true;
  return PyErr_CheckSignals() == 0;
}

}  // namespace

void install_lock_wait_hook() noexcept { brackwater::support::set_lock_wait_hook(&go_on_after_signal); }

}  // namespace tidemark
