// SPDX-License-Identifier: MIT
// Reading and showing the texts a unit sends: its serial number read as atoi
// reads it, and its name escaped so that it cannot act on a terminal or a
// hosts file.
#ifndef UNITFIND_TEXT_H_
#define UNITFIND_TEXT_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/// The longest unit name a record keeps; longer names are cut to this.
constexpr size_t EMPEG_NAME_MAX = 255;

/// Room for a name of EMPEG_NAME_MAX bytes in which every byte became a
/// four-character escape, plus the terminating zero.
constexpr size_t ESCAPED_NAME_SIZE = EMPEG_NAME_MAX * 4 + 1;

/// Reads a decimal number as atoi does (white space, sign, digits up to the
/// first non-digit; none gives 0), saturating at the limits of int32_t.
int32_t read_decimal(const char *text);

/// Writes `name` into `out` so that it cannot act on a terminal, break a
/// line or be misread. Well-formed UTF-8 passes unchanged, except that the
/// bytes of a C1 control (U+0080-U+009F), a bidirectional mark, embedding,
/// override or isolate (U+061C, U+200E, U+200F, U+202A-U+202E,
/// U+2066-U+2069) or a line or paragraph separator (U+2028, U+2029) become
/// \xHH each. So does every byte outside a well-formed sequence (a stray
/// continuation byte, an overlong form, a surrogate, a truncated sequence).
/// Among ASCII, a backslash becomes \\, a double quote \" (so that the
/// quotes around a shown name cannot be faked), line feed, carriage return
/// and tab \n, \r and \t, and the other controls (0x01-0x1F, 0x7F) \xHH,
/// hex in lower case. Reading the escapes back gives `name` again. `name` is at
/// most EMPEG_NAME_MAX bytes long; `out` must hold ESCAPED_NAME_SIZE bytes.
void escape_name(const char *name, char *out);

/// Writes as much of what escape_name would write as fits in `room` bytes
/// (the terminating zero not counted) into `out`, which holds `room` + 1
/// bytes, ending only between two escapes or characters: what it writes is a
/// prefix of the whole escaped name and reads back to a prefix of `name`.
/// Returns the length written.
size_t escape_name_within(const char *name, char *out, size_t room);

/// Returns `text`, of any length, escaped as escape_name escapes a name, in
/// memory from malloc for the caller to free; null when there is none. Paths
/// from the command line are shown this way, so that a line break in one
/// cannot start a line of its own.
char *escape_text(const char *text);

/// Writes `before` and `text` escaped as escape_text escapes it, and a line
/// break, to `err`; `text` as it is when there is no memory to escape it.
void print_escaped(FILE *err, const char *before, const char *text);

#endif  // UNITFIND_TEXT_H_
