#include "support/text_position.hpp"

#include <algorithm>

#include "support/concat.hpp"

namespace brackwater::support {

TextPosition position_at(std::string_view text, size_t offset) noexcept {
  const auto before = text.substr(0, std::min(offset, text.size()));
  const size_t newline = before.rfind('\n');
  const size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
  return {1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n')), before.size() - line_start + 1};
}

std::string describe(TextPosition where) { return concat("line ", where.line, " column ", where.column); }

}  // namespace brackwater::support
