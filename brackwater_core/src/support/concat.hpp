// Building texts from pieces. (The standard library of our compiler has no
// std::format; this covers the few shapes the system's messages need.)
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace brackwater::support {

namespace detail {
inline void append_piece(std::string& out, std::string_view s) { out += s; }
inline void append_piece(std::string& out, char c) { out += c; }
template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append_piece(std::string& out, T n) {
  out += std::to_string(n);
}
}  // namespace detail

// The pieces (texts, characters, integers in decimal) one after another.
template <class... Pieces>
std::string concat(const Pieces&... pieces) {
  std::string out;
  (detail::append_piece(out, pieces), ...);
  return out;
}

// `value` in lower-case hexadecimal, at least `width` digits (zero-padded).
std::string hex_lower(unsigned long long value, int width = 1);

}  // namespace brackwater::support
