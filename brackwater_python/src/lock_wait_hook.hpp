// What a file-lock wait in the core does when a signal interrupts it: the
// interpreter runs its signal handlers, and a handler that raises (Ctrl-C's
// KeyboardInterrupt) ends the wait, as CPython's own fcntl.flock does. The
// core then fails the operation with EINTR, before anything is written, and
// the caller raises the pending exception instead of mapping that error.
#pragma once

namespace tidemark {

// Installs the hook for the whole process; done by every module execution,
// always with the same function.
void install_lock_wait_hook() noexcept;

}  // namespace tidemark
