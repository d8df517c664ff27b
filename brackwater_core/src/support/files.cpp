#include "support/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/unique_fd.hpp"

namespace brackwater::support {

std::expected<std::string, int> read_file(std::string_view path) {
  std::string bytes;
  if (auto read = read_file_into(path, bytes, 0); !read) return std::unexpected(read.error());
  return bytes;
}

std::expected<void, int> read_file_into(std::string_view path, std::string& out, size_t spare) {
  const std::string p(path);
  if (p.find('\0') != std::string::npos) return std::unexpected(EINVAL);
  UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(errno);
  // The size is only a hint: the file may grow or shrink while it is read.
  struct stat st;
  const size_t hint = ::fstat(fd.get(), &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  out.reserve(out.size() + hint + 1 + spare);
  for (;;) {
    if (out.capacity() - out.size() < spare + 1) out.reserve(std::max(out.capacity() * 2, out.size() + 65536 + spare));
    const size_t room = out.capacity() - out.size() - spare;
    const size_t before = out.size();
    ssize_t n = 0;
    int error = 0;
    out.resize_and_overwrite(before + room, [&](char* data, size_t) {
      n = ::read(fd.get(), data + before, room);
      if (n < 0) error = errno;
      return before + static_cast<size_t>(std::max<ssize_t>(n, 0));
    });
    if (n == 0) return {};
    if (n < 0 && error != EINTR) return std::unexpected(error);
  }
}

}  // namespace brackwater::support
