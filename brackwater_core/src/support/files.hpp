// Whole-file reads, with the error as an errno value.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace brackwater::support {

// The file's bytes, or the errno of the open or read that failed (EISDIR for
// a directory in the file's place).
std::expected<std::string, int> read_file(std::string_view path);

}  // namespace brackwater::support
