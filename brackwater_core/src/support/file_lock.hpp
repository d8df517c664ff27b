// Exclusive advisory locks on a lock file (flock), held by a guard that
// unlocks and closes on every path.
//
// The wait is unbounded and survives signals: a handler installed without
// SA_RESTART (the Python interpreter installs its own that way) makes flock
// return EINTR, and the wait simply starts again.
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

// flock(fd, operation) retried while it is interrupted by a signal; 0 or
// the errno of the failure.
[[nodiscard]] int flock_retrying(int fd, int operation) noexcept;

}  // namespace brackwater::support
