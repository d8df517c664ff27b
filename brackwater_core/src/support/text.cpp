#include "support/text.hpp"

#include "support/concat.hpp"
#include "support/unicode.hpp"

#include <cstdint>
#include <cstring>

namespace brackwater::support {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr int32_t kInvalid = -1;

bool is_trail(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Decodes one code point at `i`, advancing `i`; returns kInvalid for an
// invalid sequence, with `i` past its maximal subpart: the longest start of
// a well-formed sequence (the Unicode standard's table of well-formed UTF-8
// byte sequences), or the one byte that starts none. Offsets are size_t
// throughout: texts may be longer than 2 GiB.
int32_t next_code_point(std::string_view s, size_t& i) {
  const auto byte = [&](size_t at) { return static_cast<uint8_t>(s[at]); };
  const uint8_t lead = byte(i++);
  if (lead < 0x80) return lead;
  int trail_count;
  int32_t c;
  // The range the first trail byte must fall in; every later one is 80..BF.
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail_count = 1;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail_count = 2;
    c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail_count = 3;
    c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return kInvalid;
  }
  for (; trail_count > 0; --trail_count) {
    if (i >= s.size() || byte(i) < low || byte(i) > high) return kInvalid;
    c = (c << 6) | (byte(i++) & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return c;
}

// The code point that ends at `end` (after `begin`), moving `end` to its
// start; kInvalid, with `end` moved back one byte, when the bytes before
// `end` are not one whole valid sequence.
int32_t previous_code_point(std::string_view s, size_t begin, size_t& end) {
  size_t start = end - 1;
  while (start > begin && end - start < 4 && is_trail(static_cast<uint8_t>(s[start]))) --start;
  size_t i = start;
  const int32_t c = next_code_point(s.substr(0, end), i);
  if (c >= 0 && i == end) {
    end = start;
    return c;
  }
  end -= 1;
  return kInvalid;
}

bool is_white_space_at(int32_t c) { return c >= 0 && is_white_space(static_cast<char32_t>(c)); }

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
    if (!is_white_space_at(next_code_point(text, next))) break;
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
    if (!is_white_space_at(previous_code_point(text, begin, prev))) break;
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
    const int32_t c = next_code_point(text, i);
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
    } else if (!is_shown_as_is(static_cast<char32_t>(c))) {
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
  std::string out;
  out.reserve(text.size() + 8);
  size_t i = 0;
  while (i < text.size()) {
    const char byte = text[i];
    if (static_cast<unsigned char>(byte) < 0x80) {
      out += byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
      ++i;
      continue;
    }
    const int32_t c = next_code_point(text, i);
    append_lower_case(out, c < 0 ? U'\uFFFD' : static_cast<char32_t>(c));
  }
  return out;
}

}  // namespace brackwater::support
