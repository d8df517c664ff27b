#include "support/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "support/fd_io.hpp"
#include "support/os_error.hpp"
#include "support/unique_fd.hpp"
#include "support/wait_hook.hpp"

namespace brackwater::support {

bool ReadFileError::not_found() const noexcept { return os_error == ENOENT; }

std::string ReadFileError::text() const {
  return os_error == 0 ? std::string("not a regular file") : os_error_text(os_error);
}

std::expected<std::string, ReadFileError> read_regular_file(std::string_view path) {
  std::string bytes;
  if (auto read = read_regular_file_into(path, bytes, 0); !read) return std::unexpected(read.error());
  return bytes;
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

UniqueFd open_retrying(const char* path, int flags, mode_t mode, int dirfd) {
  for (;;) {
    UniqueFd fd(::openat(dirfd, path, flags, mode));
    if (fd || errno != EINTR) return fd;
    if (!may_go_on()) {
      errno = EINTR;
      return fd;
    }
  }
}

std::expected<RegularFile, ReadFileError> open_regular_file(std::string_view path, int flags, mode_t mode) {
  const std::string p(path);
  if (p.find('\0') != std::string::npos) return std::unexpected(ReadFileError{EINVAL});
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  RegularFile file{open_retrying(p.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode), {}};
  if (!file.fd) return std::unexpected(ReadFileError{errno});
  if (::fstat(file.fd.get(), &file.status) != 0) return std::unexpected(ReadFileError{errno});
  if (S_ISDIR(file.status.st_mode)) return std::unexpected(ReadFileError{EISDIR});
  if (!S_ISREG(file.status.st_mode)) return std::unexpected(ReadFileError{0});
  return file;
}

std::expected<void, ReadFileError> read_regular_file_into(std::string_view path, std::string& out, size_t spare) {
  auto file = open_regular_file(path, O_RDONLY);
  if (!file) return std::unexpected(file.error());
  const size_t hint = file->status.st_size > 0 ? static_cast<size_t>(file->status.st_size) : 0;
  if (auto read = read_all_into(file->fd.get(), out, hint, spare); !read) {
    return std::unexpected(ReadFileError{read.error()});
  }
  return {};
}

}  // namespace brackwater::support
