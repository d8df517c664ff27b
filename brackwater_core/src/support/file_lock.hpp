// Exclusive advisory locks on a lock file (flock), held by a guard that
// unlocks and closes on every path.
//
// The wait is unbounded. A signal handler installed without SA_RESTART (the
// Python interpreter installs its own that way) makes flock return EINTR;
// the wait then asks the process's interruption hook whether to go on, and
// starts again unless it says stop. That is how an embedding runtime lets a
// signal end the wait (Ctrl-C in Python) while others are simply retried.
#pragma once

#include <expected>
#include <string>

#include "support/unique_fd.hpp"

namespace brackwater::support {

class FileLock {
 public:
  // Takes ownership of `fd`, which the caller has already locked.
  explicit FileLock(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
  FileLock(FileLock&&) noexcept = default;
  FileLock& operator=(FileLock&&) noexcept = delete;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // A failed unlock is ignored: closing the descriptor releases it anyway.
  ~FileLock();

  int fd() const noexcept { return fd_.get(); }

 private:
  UniqueFd fd_;
};

// Opens `path` read-write (created with mode 0666 before the umask when
// missing, never truncated, close-on-exec) and waits for an exclusive lock
// on it. The error is an errno value: the open's, or the flock's.
[[nodiscard]] std::expected<FileLock, int> lock_exclusive(const std::string& path);

// flock(fd, operation) retried while it is interrupted by a signal and the
// interruption hook lets it go on; 0, EINTR when the hook said stop, or the
// errno of the failure.
[[nodiscard]] int flock_retrying(int fd, int operation) noexcept;

// Asked after each interrupted lock wait, on the waiting thread: true to go
// on waiting, false to give up with EINTR. It must not throw.
using LockWaitHook = bool (*)() noexcept;

// Installs `hook` for every lock wait of the process (nullptr: always go on,
// the default). Meant to be set once, before any wait.
void set_lock_wait_hook(LockWaitHook hook) noexcept;

}  // namespace brackwater::support
