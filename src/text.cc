// SPDX-License-Identifier: MIT
#include "text.h"

#include <stdlib.h>
#include <string.h>

int32_t read_decimal(const char *text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;

  // Accumulate as a negative number so that INT32_MIN needs no special case.
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 - (*text - '0');
    if (value < INT32_MIN) {
      value = INT32_MIN;
      if (!negative) return INT32_MAX;
    }
  }
  if (negative) return static_cast<int32_t>(value);
  return value < -INT32_MAX ? INT32_MAX : static_cast<int32_t>(-value);
}

namespace {

// Length of the well-formed UTF-8 sequence of 2 to 4 bytes that starts
// `text`, within its first `available` bytes, storing its code point; 0 when
// there is none. Overlong forms, surrogates, code points beyond U+10FFFF and
// sequences cut short are not well formed.
size_t utf8_sequence(const unsigned char *text, size_t available,
                     uint32_t *code_point) {
  unsigned char lead = text[0];
  size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
  if (lead < 0xc2 || lead > 0xf4 || length > available) return 0;
  // The second byte's range is narrower after these leads: it is what rules
  // out overlong forms, surrogates and code points past U+10FFFF.
  unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
  unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
  if (text[1] < low || text[1] > high) return 0;
  uint32_t value = lead & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xc0) != 0x80) return 0;
    value = value << 6 | (text[i] & 0x3f);
  }
  *code_point = value;
  return length;
}

// Code points that a terminal acts on or that reorder or break the text
// around them: the C1 controls, the bidirectional marks, embeddings,
// overrides and isolates, and the line and paragraph separators.
bool is_hidden_control(uint32_t code_point) {
  return (code_point >= 0x80 && code_point <= 0x9f) || code_point == 0x61c ||
         code_point == 0x200e || code_point == 0x200f ||
         (code_point >= 0x2028 && code_point <= 0x202e) ||
         (code_point >= 0x2066 && code_point <= 0x2069);
}

char *escape_byte(unsigned char byte, char *out) {
  static const char hex[] = "0123456789abcdef";
  *out++ = '\\';
  switch (byte) {
    case '\n': *out++ = 'n'; break;
    case '\r': *out++ = 'r'; break;
    case '\t': *out++ = 't'; break;
    case '\\': *out++ = '\\'; break;
    case '"': *out++ = '"'; break;
    default:
      *out++ = 'x';
      *out++ = hex[byte >> 4];
      *out++ = hex[byte & 0xf];
  }
  return out;
}

// Writes as much of the escaped form of the `length` bytes at `text` as fits
// in `room` bytes into `out`, which holds `room` + 1. Returns the length.
size_t escape_within(const char *text, size_t length, char *out, size_t room) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(text);
  size_t used = 0;
  for (size_t i = 0; i < length;) {
    // One byte, or one whole UTF-8 sequence, and what it becomes; it goes
    // out whole or not at all, so that a cut never splits an escape or a
    // character.
    char unit[16];
    char *end = unit;
    unsigned char byte = bytes[i];
    uint32_t code_point = 0;
    size_t sequence = byte < 0x80 ? 1 : utf8_sequence(bytes + i, length - i, &code_point);
    if (byte < 0x80) {
      if (byte < 0x20 || byte == 0x7f || byte == '\\' || byte == '"')
        end = escape_byte(byte, end);
      else
        *end++ = static_cast<char>(byte);
    } else if (sequence == 0) {
      end = escape_byte(byte, end);
      sequence = 1;
    } else {
      for (size_t k = 0; k < sequence; ++k) {
        if (is_hidden_control(code_point))
          end = escape_byte(bytes[i + k], end);
        else
          *end++ = static_cast<char>(bytes[i + k]);
      }
    }
    size_t unit_length = static_cast<size_t>(end - unit);
    if (unit_length > room - used) break;
    memcpy(out + used, unit, unit_length);
    used += unit_length;
    i += sequence;
  }
  out[used] = '\0';
  return used;
}

}  // namespace

size_t escape_name_within(const char *name, char *out, size_t room) {
  return escape_within(name, strnlen(name, EMPEG_NAME_MAX), out, room);
}

char *escape_text(const char *text) {
  const size_t length = strlen(text);
  // Every byte becomes at most a four-character escape.
  char *out = static_cast<char *>(malloc(4 * length + 1));
  if (out != nullptr) escape_within(text, length, out, 4 * length);
  return out;
}

void escape_name(const char *name, char *out) {
  escape_name_within(name, out, ESCAPED_NAME_SIZE - 1);
}

void print_escaped(FILE *err, const char *before, const char *text) {
  char *shown = escape_text(text);
  fprintf(err, "%s%s\n", before, shown == nullptr ? text : shown);
  free(shown);
}
