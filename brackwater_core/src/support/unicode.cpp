#include "support/unicode.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <array>

namespace brackwater::support {
namespace {

// White_Space as PropList.txt lists it, unchanged since Unicode 6.3;
// utf8proc does not carry the property.
constexpr std::array<char32_t, 25> kWhiteSpace = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
    0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};
static_assert(std::ranges::is_sorted(kWhiteSpace));

// The table's members below U+0100, looked up directly: most text is ASCII
// or Latin-1.
constexpr std::array<bool, 0x100> kLatin1WhiteSpace = [] {
  std::array<bool, 0x100> latin1{};
  for (const char32_t c : kWhiteSpace) {
    if (c < latin1.size()) latin1[c] = true;
  }
  return latin1;
}();

// The emoji skin-tone modifiers: the grapheme-break class Extend holds them
// besides Grapheme_Extend, yet they are printable symbols of their own.
constexpr char32_t kEmojiModifierFirst = 0x1F3FB;
constexpr char32_t kEmojiModifierLast = 0x1F3FF;

int32_t code(char32_t c) noexcept { return static_cast<int32_t>(c); }

bool printable(const utf8proc_property_t& property, char32_t c) noexcept {
  switch (property.category) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP: return false;
    case UTF8PROC_CATEGORY_ZS: return c == U' ';
    default: return true;
  }
}

bool combining(const utf8proc_property_t& property, char32_t c) noexcept {
  if (c >= kEmojiModifierFirst && c <= kEmojiModifierLast) return false;
  return property.boundclass == UTF8PROC_BOUNDCLASS_EXTEND;
}

}  // namespace

bool is_white_space(char32_t c) noexcept {
  return c < kLatin1WhiteSpace.size() ? kLatin1WhiteSpace[c] : std::ranges::binary_search(kWhiteSpace, c);
}

bool is_printable(char32_t c) noexcept { return printable(*utf8proc_get_property(code(c)), c); }

bool is_combining_mark(char32_t c) noexcept { return combining(*utf8proc_get_property(code(c)), c); }

bool is_shown_as_is(char32_t c) noexcept {
  const utf8proc_property_t& property = *utf8proc_get_property(code(c));
  return printable(property, c) && !combining(property, c);
}

void append_lower_case(std::string& out, char32_t c) {
  utf8proc_uint8_t bytes[4];
  const auto n = utf8proc_encode_char(utf8proc_tolower(code(c)), bytes);
  out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
}

}  // namespace brackwater::support
