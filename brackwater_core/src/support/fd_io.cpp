#include "support/fd_io.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/os_error.hpp"

namespace brackwater::support {

std::expected<std::string, int> read_all(int fd) {
  std::string bytes;
  if (auto read = read_all_into(fd, bytes, 0, 0); !read) return std::unexpected(read.error());
  return bytes;
}

std::expected<void, int> read_all_into(int fd, std::string& out, size_t size_hint, size_t spare) {
  // One byte beyond the hint, so that the read that sees end of file needs
  // no growth.
  out.reserve(out.size() + size_hint + 1 + spare);
  for (;;) {
    if (out.capacity() - out.size() < spare + 1) out.reserve(std::max(out.capacity() * 2, out.size() + 65536 + spare));
    const size_t before = out.size();
    const size_t room = out.capacity() - before - spare;
    ssize_t n = 0;
    int error = 0;
    out.resize_and_overwrite(before + room, [&](char* data, size_t) {
      n = ::read(fd, data + before, room);
      if (n < 0) error = errno;
      return before + static_cast<size_t>(std::max<ssize_t>(n, 0));
    });
    if (n == 0) return {};
    if (n < 0 && error != EINTR) return std::unexpected(error);
  }
}

std::expected<void, int> write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n == 0) {
      return std::unexpected(kWroteNothing);
    } else if (errno != EINTR) {
      return std::unexpected(errno);
    }
  }
  return {};
}

std::string write_error_text(int err) {
  return err == kWroteNothing ? std::string("failed to write whole buffer") : os_error_text(err);
}

}  // namespace brackwater::support
