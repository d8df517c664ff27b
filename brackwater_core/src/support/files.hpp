// Whole-file reads, with the error as an errno value.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace brackwater::support {

// The file's bytes, or the errno of the open or read that failed (EISDIR for
// a directory in the file's place).
std::expected<std::string, int> read_file(std::string_view path);

// Appends the file's bytes to `out`, leaving at least `spare` bytes of
// capacity after them (room a parser may read past the end into). Reuses
// what capacity `out` already has.
std::expected<void, int> read_file_into(std::string_view path, std::string& out, size_t spare);

}  // namespace brackwater::support
