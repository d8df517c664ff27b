// Exclusive advisory locks on a lock file (flock), held by a guard that
// unlocks and closes on every path.
//
// The wait is unbounded, but a signal can end it: before it blocks and after
// each EINTR it asks the process's wait hook (support/wait_hook.hpp) whether
// to go on; where a signal may land on another thread, it waits in slices
// and asks at least every tenth of a second.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "support/owned_dirs.hpp"
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

// Opens `name` in the directory `dirfd` (whose path `dir` serves only the
// messages) read-write, created with mode 0666 before the umask when
// missing, never truncated, never through a link, and only when it is a
// regular file of the effective user or root (owned_dirs.hpp); then waits
// for an exclusive lock on it. The error is the open's or the flock's.
[[nodiscard]] std::expected<FileLock, PlaceError> lock_exclusive(int dirfd, std::string_view dir,
                                                                 std::string_view name);

// flock(fd, operation) retried while it is interrupted by a signal and the
// wait hook lets it go on (asked first when the lock is held elsewhere); 0, EINTR when the hook said stop (or had said
// so on this thread before: then flock is not even tried), or the errno of the failure. Not noexcept: the hook may end
// the thread (wait_hook.hpp).
[[nodiscard]] int flock_retrying(int fd, int operation);

}  // namespace brackwater::support
