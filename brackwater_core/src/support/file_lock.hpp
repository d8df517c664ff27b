// An exclusive flock held on an open descriptor; unlocked and closed on every
// path when the guard goes away.
#pragma once

#include <sys/file.h>

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
  ~FileLock() {
    if (fd_) ::flock(fd_.get(), LOCK_UN);  // a failed unlock is ignored; closing releases it anyway
  }

  int fd() const noexcept { return fd_.get(); }

 private:
  UniqueFd fd_;
};

}  // namespace brackwater::support
