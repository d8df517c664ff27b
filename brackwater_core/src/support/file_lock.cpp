#include "support/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace brackwater::support {

FileLock::~FileLock() {
  if (fd_) (void)flock_retrying(fd_.get(), LOCK_UN);
}

int flock_retrying(int fd, int operation) noexcept {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

std::expected<FileLock, int> lock_exclusive(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::unexpected(EINVAL);
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd) return std::unexpected(errno);
  if (const int err = flock_retrying(fd.get(), LOCK_EX); err != 0) return std::unexpected(err);
  return FileLock(std::move(fd));
}

}  // namespace brackwater::support
