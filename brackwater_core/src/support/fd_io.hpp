// Whole reads and writes on an open descriptor. Every loop over read(2),
// write(2) or pwrite(2) in the system is one of these: a call interrupted
// by a signal is retried, a short write is continued.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace brackwater::support {

// Every byte up to end of file. The error is an errno value. On a descriptor
// that never reaches end of file (a device) this never returns: callers that
// read outside input open it with `read_regular_file` (files.hpp).
[[nodiscard]] std::expected<std::string, int> read_all(int fd);

// The same, appended to `out` straight from the kernel, with `size_hint`
// (the expected length; the file may differ) reserved up front and at least
// `spare` bytes of capacity left after the end.
[[nodiscard]] std::expected<void, int> read_all_into(int fd, std::string& out, size_t size_hint, size_t spare);

// All of `bytes`, however many calls that takes. The error is an errno
// value, or kWroteNothing for a write that stored nothing without an error.
[[nodiscard]] std::expected<void, int> write_all(int fd, std::string_view bytes) noexcept;
inline constexpr int kWroteNothing = 0;

// The text of a write_all error: the OS error text, or "failed to write
// whole buffer".
[[nodiscard]] std::string write_error_text(int err);

}  // namespace brackwater::support
