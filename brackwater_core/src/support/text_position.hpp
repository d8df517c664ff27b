// Where in a text something was found, as people count it: lines and
// columns from 1, columns in bytes. Parse errors of every configuration and
// data file are reported this way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brackwater::support {

struct TextPosition {
  size_t line = 1;
  size_t column = 1;
};

// The position of byte `offset` of `text` (an offset past the end counts as
// the end).
TextPosition position_at(std::string_view text, size_t offset) noexcept;

// "line L column C"
std::string describe(TextPosition where);

}  // namespace brackwater::support
