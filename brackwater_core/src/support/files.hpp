// Reading a whole file that came from outside: only a regular file is read,
// so a FIFO, a device or a socket planted where a file belongs is refused at
// once instead of blocking the caller or being read without end.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "support/unique_fd.hpp"

namespace brackwater::support {

// Why a file could not be read.
struct ReadFileError {
  // An errno value; 0 when the path names something other than a regular
  // file or a directory (a directory keeps its own EISDIR).
  int os_error = 0;

  bool not_found() const noexcept;
  // The OS error text (os_error.hpp), or "not a regular file".
  std::string text() const;
};

// A regular file, open, with the status read from the open descriptor.
struct RegularFile {
  UniqueFd fd;
  struct stat status;
};

// Whether two statuses are of one file (device and inode).
[[nodiscard]] bool same_file(const struct stat& a, const struct stat& b) noexcept;

// openat(2) of `path` in `dirfd` with exactly `flags` and `mode`, repeated while a signal
// interrupts it and the wait hook lets it go on (wait_hook.hpp), as CPython's
// os.open goes on unless a signal handler raised: a file system over a
// network or in user space can be interrupted in an open. Invalid with errno
// set on failure; EINTR only when the hook said stop, and then the thread's
// stop mark is set. Not noexcept: the hook may end the thread.
[[nodiscard]] UniqueFd open_retrying(const char* path, int flags, mode_t mode = 0, int dirfd = AT_FDCWD);

// Opens `path` with `flags` (and `mode` when they create it), close-on-exec
// and without blocking, and keeps it only when it is a regular file
// (symbolic links followed). The type is checked on the open descriptor, so
// what is used is what was checked; O_NONBLOCK stays set, which changes
// nothing for a regular file.
[[nodiscard]] std::expected<RegularFile, ReadFileError> open_regular_file(std::string_view path, int flags,
                                                                          mode_t mode = 0);

// The bytes of the regular file at `path` (symbolic links followed). The
// open never blocks (O_NONBLOCK) and the type is checked on the open
// descriptor, so what is read is what was checked.
[[nodiscard]] std::expected<std::string, ReadFileError> read_regular_file(std::string_view path);

// The same, appended to `out` (whose capacity is reused), leaving at least
// `spare` bytes of capacity after the end: room a parser may read past the
// end into.
[[nodiscard]] std::expected<void, ReadFileError> read_regular_file_into(std::string_view path, std::string& out,
                                                                        size_t spare);

}  // namespace brackwater::support
