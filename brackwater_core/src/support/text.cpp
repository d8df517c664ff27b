#include "support/text.hpp"

#include "support/concat.hpp"

#include <unicode/uchar.h>
#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace brackwater::support {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Decodes one code point at `i`, advancing `i`; returns a negative value for
// an invalid sequence (ICU then advances past its maximal invalid subpart).
UChar32 next_code_point(std::string_view s, int32_t& i) {
  UChar32 c;
  U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, static_cast<int32_t>(s.size()), c);
  return c;
}

bool is_white_space(UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE); }

// General categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs other than the space.
bool is_printable(UChar32 c) {
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return false;
    case U_SPACE_SEPARATOR:
      return c == U' ';
    default:
      return true;
  }
}

}  // namespace

std::optional<std::string> utf8_error(std::string_view bytes) {
  int32_t i = 0;
  const auto n = static_cast<int32_t>(bytes.size());
  while (i < n) {
    const int32_t start = i;
    if (next_code_point(bytes, i) < 0) {
      return concat("invalid utf-8 sequence of ", i - start, " bytes from index ", start);
    }
  }
  return std::nullopt;
}

std::string lossy_utf8(std::string_view bytes) {
  if (is_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  int32_t i = 0;
  const auto n = static_cast<int32_t>(bytes.size());
  while (i < n) {
    const int32_t start = i;
    if (next_code_point(bytes, i) < 0) {
      out += kReplacement;
    } else {
      out.append(bytes.substr(start, i - start));
    }
  }
  return out;
}

std::string_view trim(std::string_view text) {
  const auto n = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < n) {
    int32_t next = begin;
    if (!is_white_space(next_code_point(text, next))) break;
    begin = next;
  }
  int32_t end = n;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(reinterpret_cast<const uint8_t*>(text.data()), begin, prev, c);
    if (!is_white_space(c)) break;
    end = prev;
  }
  return text.substr(begin, end - begin);
}

std::string quote_literal(std::string_view text) {
  std::string out = "\"";
  int32_t i = 0;
  const auto n = static_cast<int32_t>(text.size());
  while (i < n) {
    const int32_t start = i;
    const UChar32 c = next_code_point(text, i);
    switch (c) {
      case U'\\': out += "\\\\"; continue;
      case U'"': out += "\\\""; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (c < 0) {
      out += "\\u{fffd}";
    } else if (!is_printable(c) || u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) {
      out += concat("\\u{", hex_lower(static_cast<uint32_t>(c)), "}");
    } else {
      out.append(text.substr(start, i - start));
    }
  }
  out += '"';
  return out;
}

std::string lower_case(std::string_view text) {
  bool ascii = true;
  for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  const std::string valid = lossy_utf8(text);
  UErrorCode status = U_ZERO_ERROR;
  UCaseMap* map = ucasemap_open("", 0, &status);
  if (U_FAILURE(status)) return valid;
  std::string out(valid.size() * 3 + 16, '\0');
  status = U_ZERO_ERROR;
  int32_t n = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()), valid.data(),
                                   static_cast<int32_t>(valid.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.resize(static_cast<size_t>(n));
    status = U_ZERO_ERROR;
    n = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()), valid.data(),
                             static_cast<int32_t>(valid.size()), &status);
  }
  ucasemap_close(map);
  if (U_FAILURE(status)) return valid;
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace brackwater::support
