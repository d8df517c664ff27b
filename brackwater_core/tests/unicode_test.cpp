// The three character properties, on the code points where a property
// library most plausibly parts from the Unicode definitions: the edges of
// White_Space, separators and format characters, and the grapheme-break
// class Extend, which holds more than Grapheme_Extend.
#include <gtest/gtest.h>

#include "support/concat.hpp"
#include "support/unicode.hpp"

namespace {

using namespace brackwater::support;

struct Props {
  char32_t c;
  bool white_space;
  bool printable;
  bool combining;
};

class UnicodeProperties : public testing::TestWithParam<Props> {};

TEST_P(UnicodeProperties, AsUnicodeDefinesThem) {
  const Props& p = GetParam();
  EXPECT_EQ(is_white_space(p.c), p.white_space);
  EXPECT_EQ(is_printable(p.c), p.printable);
  EXPECT_EQ(is_combining_mark(p.c), p.combining);
}

INSTANTIATE_TEST_SUITE_P(Table, UnicodeProperties,
                         testing::Values(Props{U'A', false, true, false}, Props{U' ', true, true, false},
                                         Props{0x0009, true, false, false},   // Cc
                                         Props{0x0085, true, false, false},   // NEXT LINE, Cc
                                         Props{0x00A0, true, false, false},   // Zs other than the space
                                         Props{0x3000, true, false, false},   // Zs
                                         Props{0x2028, true, false, false},   // Zl
                                         Props{0x2029, true, false, false},   // Zp
                                         Props{0x180E, false, false, false},  // left White_Space in 6.3
                                         Props{0x200B, false, false, false},  // Cf, never White_Space
                                         Props{0x200C, false, false, true},   // Cf, Grapheme_Extend
                                         Props{0x200D, false, false, false},  // ZWJ: its own break class
                                         Props{0xE0020, false, false, true},  // tag space, Cf
                                         Props{0x0301, false, true, true},    // Mn
                                         Props{0x20DD, false, true, true},    // Me
                                         Props{0x0903, false, true, false},   // Mc
                                         Props{0x09BE, false, true, true},    // Mc, Other_Grapheme_Extend
                                         Props{0xFF9E, false, true, true},    // Lm, Other_Grapheme_Extend
                                         Props{0x1F3FB, false, true, false},  // emoji modifier: Extend only
                                         Props{0x1F3FF, false, true, false}, Props{0x1F600, false, true, false},
                                         Props{0xE000, false, false, false},    // Co
                                         Props{0x0378, false, false, false},    // Cn
                                         Props{0x10FFFF, false, false, false},  // Cn
                                         Props{0xFFFD, false, true, false}),
                         [](const testing::TestParamInfo<Props>& info) {
                           return "U" + hex_lower(static_cast<uint32_t>(info.param.c), 4);
                         });

}  // namespace
