// The few Unicode character properties the system needs, from utf8proc
// (Unicode 15.0). This is the only file that sees utf8proc: a small
// property library rather than a full internationalisation one, whose locale
// and conversion data no caller would use.
#pragma once

#include <string>

namespace brackwater::support {

// The White_Space property: what trimming removes.
bool is_white_space(char32_t c) noexcept;

// Not of the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, nor Zs other
// than U+0020: what a quoted literal may show as it is.
bool is_printable(char32_t c) noexcept;

// The Grapheme_Extend property: a mark that would join the character before
// it, so a quoted literal shows it by its code point.
bool is_combining_mark(char32_t c) noexcept;

// Printable and not a combining mark, with one look-up of the character.
bool is_shown_as_is(char32_t c) noexcept;

// Appends `c` lower-cased, as UTF-8. The mapping is the simple one-to-one
// mapping: it serves only the search for secret words, whose verdict it
// gives exactly as the full mapping would (the one character the full
// mapping expands, U+0130, becomes "i" followed by a combining dot, and
// neither is in any secret word).
void append_lower_case(std::string& out, char32_t c);

}  // namespace brackwater::support
