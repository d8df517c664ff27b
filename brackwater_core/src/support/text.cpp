#include "support/text.hpp"

#include "support/concat.hpp"

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>

namespace brackwater::support {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Decodes one code point at `i`, advancing `i`; returns a negative value for
// an invalid sequence (ICU then advances past its maximal invalid subpart).
// Offsets are size_t throughout: texts may be longer than 2 GiB.
UChar32 next_code_point(std::string_view s, size_t& i) {
  UChar32 c;
  const size_t n = s.size();
  // NOLINTNEXTLINE(bugprone-inc-dec-in-conditions): ICU's decoding macro, which advances `i` by design
  U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, n, c);
  return c;
}

// The code point that ends at `end` (after `begin`), moving `end` to its
// start; a negative value, with `end` moved back one byte, when the bytes
// before `end` are not one whole valid sequence.
UChar32 previous_code_point(std::string_view s, size_t begin, size_t& end) {
  size_t start = end - 1;
  while (start > begin && end - start < 4 && U8_IS_TRAIL(static_cast<uint8_t>(s[start]))) --start;
  size_t i = start;
  const UChar32 c = next_code_point(s.substr(0, end), i);
  if (c >= 0 && i == end) {
    end = start;
    return c;
  }
  end -= 1;
  return -1;
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
    case U_PARAGRAPH_SEPARATOR: return false;
    case U_SPACE_SEPARATOR: return c == U' ';
    default: return true;
  }
}

}  // namespace

std::optional<std::string> utf8_error(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    // Most text is ASCII: pass over it eight bytes at a time.
    uint64_t word;
    while (i + 8 <= n && (std::memcpy(&word, bytes.data() + i, 8), (word & 0x8080808080808080ULL) == 0)) i += 8;
    if (i < n && static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    if (i >= n) break;
    const size_t start = i;
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
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const size_t start = i;
    if (next_code_point(bytes, i) < 0) {
      out += kReplacement;
    } else {
      out.append(bytes.substr(start, i - start));
    }
  }
  return out;
}

namespace {

// Where the first character that is not White_Space starts.
size_t leading_blanks(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    if (!is_white_space(next_code_point(text, next))) break;
    begin = next;
  }
  return begin;
}

}  // namespace

std::string_view trim(std::string_view text) {
  const size_t begin = leading_blanks(text);
  size_t end = text.size();
  while (end > begin) {
    size_t prev = end;
    if (!is_white_space(previous_code_point(text, begin, prev))) break;
    end = prev;
  }
  return text.substr(begin, end - begin);
}

bool is_blank(std::string_view text) { return leading_blanks(text) == text.size(); }

std::string quote_literal(std::string_view text) {
  std::string out = "\"";
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const size_t start = i;
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
  std::string valid = lossy_utf8(text);
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
