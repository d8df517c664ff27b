// UTF-8 text helpers shared by every layer.
//
// std::string holds UTF-8 throughout the core. Bytes that come from the
// operating system pass through `lossy_utf8` (invalid sequences become
// U+FFFD); `utf8_error` tells whether bytes are valid UTF-8 and, when they
// are not, where the first bad sequence starts. The Unicode properties these
// helpers test come from support/unicode.hpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brackwater::support {

// Description of the first invalid UTF-8 sequence in `bytes`, or nullopt
// when all of it is valid UTF-8.
std::optional<std::string> utf8_error(std::string_view bytes);

inline bool is_utf8(std::string_view bytes) { return !utf8_error(bytes).has_value(); }

// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// `text` without leading and trailing characters of the Unicode White_Space
// property (not only ASCII blanks).
std::string_view trim(std::string_view text);

// True when `text` is empty or holds only White_Space characters.
bool is_blank(std::string_view text);

// `text` as a double-quoted literal: backslash, double quote, tab, carriage
// return, line feed and NUL get their short escapes; characters that are not
// printable or are combining marks become \u{hex}; everything else stays.
std::string quote_literal(std::string_view text);

// `text` lower-cased for the search for secret words: whatever it finds
// there, it finds as in the text lower-cased with the full Unicode mapping.
// Invalid UTF-8 sequences become U+FFFD.
std::string lower_case(std::string_view text);

}  // namespace brackwater::support
