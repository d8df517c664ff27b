#include "support/fd_io.hpp"

#include <unistd.h>

#include <cerrno>

namespace brackwater::support {

std::expected<std::string, int> read_all(int fd) {
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      bytes.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      return bytes;
    } else if (errno != EINTR) {
      return std::unexpected(errno);
    }
  }
}

std::expected<void, int> write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n == 0) {
      return std::unexpected(EIO);
    } else if (errno != EINTR) {
      return std::unexpected(errno);
    }
  }
  return {};
}

}  // namespace brackwater::support
