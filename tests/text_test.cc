// SPDX-License-Identifier: MIT
#include "text.h"

#include <string>

#include "gtest/gtest.h"
#include "shared.h"

namespace {

struct decimal_case {
  const char *name, *text;
  int32_t value;
};

void PrintTo(const decimal_case &c, std::ostream *out) { *out << c.name; }

const decimal_case DECIMALS[] = {
    {"text_after_the_digits", "12ab", 12},       {"no_digits", "ab", 0},
    {"empty", "", 0},                            {"minus", "-5", -5},
    {"plus", "+7", 7},                           {"white_space_first", " \t\n\v\f\r42", 42},
    {"space_after_the_sign", "- 5", 0},          {"two_signs", "--5", 0},
    {"largest", "2147483647", 2147483647},       {"past_the_largest", "2147483648", 2147483647},
    {"smallest", "-2147483648", -2147483647 - 1}, {"past_the_smallest", "-2147483649", -2147483647 - 1},
    {"far_too_large", "99999999999999999999999", 2147483647},
    {"far_too_small", "-99999999999999999999999", -2147483647 - 1},
    {"zeros_first", "0000000000000000000000012", 12},
};

class ReadDecimal : public ::testing::TestWithParam<decimal_case> {};

TEST_P(ReadDecimal, ReadsLikeAtoiAndSaturates) {
  EXPECT_EQ(read_decimal(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Text, ReadDecimal, ::testing::ValuesIn(DECIMALS), row_name<decimal_case>);

struct escape_case {
  const char *name, *text, *shown;
};

void PrintTo(const escape_case &c, std::ostream *out) { *out << c.name; }

const escape_case ESCAPES[] = {
    {"plain", "Kitchen", "Kitchen"},
    {"line_breaks_and_tab", "a\nb\rc\td", "a\\nb\\rc\\td"},
    {"controls", "\x01\x1b[2J\x1f\x7f", "\\x01\\x1b[2J\\x1f\\x7f"},
    {"backslashes", "a\\nb\\", "a\\\\nb\\\\"},
    {"quote", "x\" at 6.6.6.6", "x\\\" at 6.6.6.6"},
    {"empty", "", ""},
    // Well-formed UTF-8 of every length passes.
    {"utf8_of_every_length", "K\xc3\xbc" "che \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5 \xef\xbf\xbd",
     "K\xc3\xbc" "che \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5 \xef\xbf\xbd"},
    // C1 controls, bidirectional controls and separators, at the edges of
    // each range, with their neighbours that pass.
    {"c1_controls", "\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9b\\xc2\\x9f\xc2\xa0"},
    {"arabic_letter_mark", "\xd8\x9c\xd8\x9b", "\\xd8\\x9c\xd8\x9b"},
    {"directional_marks", "\xe2\x80\x8d\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\x90",
     "\xe2\x80\x8d\\xe2\\x80\\x8e\\xe2\\x80\\x8f\xe2\x80\x90"},
    {"separators_and_embeddings", "\xe2\x80\xa7\xe2\x80\xa8\xe2\x80\xae\xe2\x80\xaf",
     "\xe2\x80\xa7\\xe2\\x80\\xa8\\xe2\\x80\\xae\xe2\x80\xaf"},
    {"isolates", "\xe2\x81\xa5\xe2\x81\xa6\xe2\x81\xa9\xe2\x81\xaa",
     "\xe2\x81\xa5\\xe2\\x81\\xa6\\xe2\\x81\\xa9\xe2\x81\xaa"},
    // Bytes outside a well-formed sequence: stray continuation, bare CSI,
    // overlong forms, a surrogate, past U+10FFFF, bytes never used, and
    // sequences cut short by another byte or by the end.
    {"stray_continuation_and_bare_csi", "\x9b[2J\xbf", "\\x9b[2J\\xbf"},
    {"overlong_forms", "\xc0\xaf\xc1\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf",
     "\\xc0\\xaf\\xc1\\xbf\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf"},
    {"surrogate_past_the_last_and_never_used", "\xed\xa0\x80\xf4\x90\x80\x80\xf5\xff",
     "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xf5\\xff"},
    {"cut_short", "\xe2\x82x\xf0\x9f\x8e", "\\xe2\\x82x\\xf0\\x9f\\x8e"},
};

class EscapeName : public ::testing::TestWithParam<escape_case> {};

TEST_P(EscapeName, ShowsOnlyTextThatCannotActOrMislead) {
  char out[ESCAPED_NAME_SIZE];
  escape_name(GetParam().text, out);
  EXPECT_STREQ(out, GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Text, EscapeName, ::testing::ValuesIn(ESCAPES), row_name<escape_case>);

TEST(EscapeName, WorstCaseFitsTheBuffer) {
  for (char byte : {'\x01', '\x9b'}) {
    std::string name(EMPEG_NAME_MAX, byte);
    char out[ESCAPED_NAME_SIZE];
    escape_name(name.c_str(), out);
    EXPECT_EQ(std::string(out).size(), ESCAPED_NAME_SIZE - 1);
  }
}

}  // namespace
