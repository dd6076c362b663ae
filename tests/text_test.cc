// SPDX-License-Identifier: MIT
#include "text.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(ReadDecimal, ReadsLikeAtoiAndSaturates) {
  const struct {
    const char *text;
    int32_t value;
  } cases[] = {
      {"12ab", 12},         {"ab", 0},
      {"", 0},              {"-5", -5},
      {"+7", 7},            {" \t\n\v\f\r42", 42},
      {"- 5", 0},           {"--5", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-2147483649", -2147483647 - 1},
      {"99999999999999999999999", 2147483647},
      {"-99999999999999999999999", -2147483647 - 1},
      {"0000000000000000000000012", 12},
  };
  for (const auto &c : cases) EXPECT_EQ(read_decimal(c.text), c.value) << c.text;
}

TEST(EscapeName, ShowsOnlyTextThatCannotActOrMislead) {
  const struct {
    const char *name;
    const char *shown;
  } cases[] = {
      {"Kitchen", "Kitchen"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"\x01\x1b[2J\x1f\x7f", "\\x01\\x1b[2J\\x1f\\x7f"},
      {"a\\nb\\", "a\\\\nb\\\\"},
      {"x\" at 6.6.6.6", "x\\\" at 6.6.6.6"},
      {"", ""},
      // Well-formed UTF-8 of every length passes.
      {"K\xc3\xbc" "che \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5 \xef\xbf\xbd",
       "K\xc3\xbc" "che \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5 \xef\xbf\xbd"},
      // C1 controls, bidirectional controls and separators, at the edges of
      // each range, with their neighbours that pass.
      {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9b\\xc2\\x9f\xc2\xa0"},
      {"\xd8\x9c\xd8\x9b", "\\xd8\\x9c\xd8\x9b"},
      {"\xe2\x80\x8d\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\x90",
       "\xe2\x80\x8d\\xe2\\x80\\x8e\\xe2\\x80\\x8f\xe2\x80\x90"},
      {"\xe2\x80\xa7\xe2\x80\xa8\xe2\x80\xae\xe2\x80\xaf",
       "\xe2\x80\xa7\\xe2\\x80\\xa8\\xe2\\x80\\xae\xe2\x80\xaf"},
      {"\xe2\x81\xa5\xe2\x81\xa6\xe2\x81\xa9\xe2\x81\xaa",
       "\xe2\x81\xa5\\xe2\\x81\\xa6\\xe2\\x81\\xa9\xe2\x81\xaa"},
      // Bytes outside a well-formed sequence: stray continuation, bare CSI,
      // overlong forms, a surrogate, past U+10FFFF, bytes never used, and
      // sequences cut short by another byte or by the end.
      {"\x9b[2J\xbf", "\\x9b[2J\\xbf"},
      {"\xc0\xaf\xc1\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf",
       "\\xc0\\xaf\\xc1\\xbf\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf"},
      {"\xed\xa0\x80\xf4\x90\x80\x80\xf5\xff",
       "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xf5\\xff"},
      {"\xe2\x82x\xf0\x9f\x8e", "\\xe2\\x82x\\xf0\\x9f\\x8e"},
  };
  for (const auto &c : cases) {
    char out[ESCAPED_NAME_SIZE];
    escape_name(c.name, out);
    EXPECT_STREQ(out, c.shown) << c.name;
  }
}

TEST(EscapeName, WorstCaseFitsTheBuffer) {
  for (char byte : {'\x01', '\x9b'}) {
    std::string name(EMPEG_NAME_MAX, byte);
    char out[ESCAPED_NAME_SIZE];
    escape_name(name.c_str(), out);
    EXPECT_EQ(std::string(out).size(), ESCAPED_NAME_SIZE - 1);
  }
}

}  // namespace
