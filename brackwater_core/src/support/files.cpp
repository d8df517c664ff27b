#include "support/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "support/unique_fd.hpp"

namespace brackwater::support {

std::expected<std::string, int> read_file(std::string_view path) {
  const std::string p(path);
  if (p.find('\0') != std::string::npos) return std::unexpected(EINVAL);
  UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(errno);
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n > 0) {
      bytes.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      return bytes;
    } else if (errno != EINTR) {
      return std::unexpected(errno);
    }
  }
}

}  // namespace brackwater::support
