#include "support/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "support/fd_io.hpp"
#include "support/os_error.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::support {

bool ReadFileError::not_found() const noexcept { return os_error == ENOENT; }

std::string ReadFileError::text() const {
  return os_error == 0 ? std::string("not a regular file") : os_error_text(os_error);
}

std::expected<std::string, ReadFileError> read_regular_file(std::string_view path) {
  const std::string p(path);
  if (p.find('\0') != std::string::npos) return std::unexpected(ReadFileError{EINVAL});
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) return std::unexpected(ReadFileError{errno});
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(ReadFileError{errno});
  if (S_ISDIR(st.st_mode)) return std::unexpected(ReadFileError{EISDIR});
  if (!S_ISREG(st.st_mode)) return std::unexpected(ReadFileError{0});
  auto bytes = read_all(fd.get());
  if (!bytes) return std::unexpected(ReadFileError{bytes.error()});
  return *std::move(bytes);
}

}  // namespace brackwater::support
