// SPDX-License-Identifier: MIT
// Holds the reading of a reply to what a datagram's bytes say. The first four
// input bytes are the sender's address; the rest is the datagram, received the
// way the tool receives one: into a buffer of `capacity` bytes with one zero
// byte after them, the text ending at the first zero byte.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "discovery.h"
#include "text.h"
#include "hosts_file.h"

namespace {

void require(bool holds) {
  if (!holds) abort();
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads the escapes of a shown name back into bytes; any other use of a
// backslash, hex in upper case, or a double quote that could end the quoted
// name early, fails the check.
std::string unescape(const std::string &shown) {
  std::string name;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] != '\\') {
      require(shown[i] != '"');
      name += shown[i];
      continue;
    }
    require(i + 1 < shown.size());
    char kind = shown[++i];
    if (kind == 'x') {
      require(i + 2 < shown.size());
      int high = hex_value(shown[i + 1]), low = hex_value(shown[i + 2]);
      require(high >= 0 && low >= 0);
      name += static_cast<char>(high * 16 + low);
      i += 2;
      continue;
    }
    require(kind == 'n' || kind == 'r' || kind == 't' || kind == '\\' || kind == '"');
    name += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : kind;
  }
  return name;
}

// Whether `text` is well-formed UTF-8 in which no code point is a control
// (C0, DEL or C1), a bidirectional mark, embedding, override or isolate, or a
// line or paragraph separator: text that shows as it reads. Decodes every
// sequence in full and judges the code point, so that it shares nothing with
// the tool's table of lead and second bytes.
bool is_plain_text(const std::string &text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xe0) == 0xc0 ? 2 : (lead & 0xf0) == 0xe0 ? 3
                    : (lead & 0xf8) == 0xf0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t code_point = length == 1 ? lead : lead & (0xff >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code_point = code_point << 6 | (next & 0x3f);
    }
    static const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < shortest[length] || code_point > 0x10ffff ||
        (code_point >= 0xd800 && code_point <= 0xdfff))
      return false;
    if (code_point < 0x20 || (code_point >= 0x7f && code_point <= 0x9f) ||
        code_point == 0x61c || code_point == 0x200e || code_point == 0x200f ||
        (code_point >= 0x2028 && code_point <= 0x202e) ||
        (code_point >= 0x2066 && code_point <= 0x2069))
      return false;
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  sockaddr_in from = {};
  from.sin_family = AF_INET;
  memcpy(&from.sin_addr.s_addr, data, 4);
  data += 4;
  size -= 4;

  // Exactly capacity + 1 bytes on the heap, so that reading past the zero
  // byte is caught.
  const size_t capacity = size;
  std::unique_ptr<char[]> buffer(new char[capacity + 1]);
  memcpy(buffer.get(), data, size);
  buffer[capacity] = '\0';
  const std::string text(buffer.get());

  empeg_info empeg;
  memset(&empeg, 0xa5, sizeof empeg);
  empeg_info untouched = empeg;
  bool result = parse_reply(buffer.get(), &empeg, &from);

  size_t id = text.find("id=");
  size_t name = text.find("name=");
  bool is_reply = id != std::string::npos && name != std::string::npos;
  require(result == is_reply);
  if (!is_reply) {
    require(memcmp(&empeg, &untouched, sizeof empeg) == 0);
    return 0;
  }

  size_t name_length = strnlen(empeg.name, sizeof empeg.name);
  require(name_length <= EMPEG_NAME_MAX);
  require(text.compare(name + 5, EMPEG_NAME_MAX, empeg.name) == 0);

  uint32_t address = ntohl(from.sin_addr.s_addr);
  for (int octet = 0; octet < 4; ++octet)
    require(empeg.ip[octet] == ((address >> (24 - 8 * octet)) & 0xff));

  // strtoll reads the same syntax; only its overflow limits differ.
  long long serial = strtoll(text.c_str() + id + 3, nullptr, 10);
  if (serial > INT32_MAX) serial = INT32_MAX;
  if (serial < INT32_MIN) serial = INT32_MIN;
  require(empeg.serial == serial);

  std::unique_ptr<char[]> shown(new char[ESCAPED_NAME_SIZE]);
  escape_name(empeg.name, shown.get());
  size_t shown_length = strnlen(shown.get(), ESCAPED_NAME_SIZE);
  require(shown_length < ESCAPED_NAME_SIZE);
  // What is shown holds nothing that acts on a terminal or reorders text and
  // reads back to the name; a name with nothing to escape is shown as it is.
  const std::string shown_text(shown.get(), shown_length);
  const std::string name_text(empeg.name, name_length);
  require(is_plain_text(shown_text));
  require(unescape(shown_text) == name_text);
  if (is_plain_text(name_text) && name_text.find_first_of("\\\"") == std::string::npos)
    require(shown_text == name_text);

  // Cut to fit a hosts line: only between whole escapes and characters, so
  // what is kept is a prefix of what is shown, still plain, and reads back to
  // a prefix of the name.
  size_t room = address % (shown_length + 1);
  std::unique_ptr<char[]> cut(new char[room + 1]);
  size_t cut_length = escape_name_within(empeg.name, cut.get(), room);
  const std::string cut_text(cut.get());
  require(cut_length == cut_text.size() && cut_length <= room);
  require(shown_text.compare(0, cut_length, cut_text) == 0);
  require(is_plain_text(cut_text));
  require(name_text.rfind(unescape(cut_text), 0) == 0);

  // And the entry line that holds it fits what every reader of a hosts file
  // takes as one line; where the host name leaves no room for that, the
  // line holds nothing of the name, for any host name that is accepted.
  const std::string host(room % HOSTS_NAME_MAX + 1, 'h');
  char line[1024];
  size_t line_length = format_entry(&empeg, host.c_str(), line, sizeof line);
  require(line_length < sizeof line);
  if (line_length > HOSTS_LINE_MAX) {
    empeg_info nameless = empeg;
    nameless.name[0] = '\0';
    char bare[sizeof line];
    format_entry(&nameless, host.c_str(), bare, sizeof bare);
    require(strcmp(line, bare) == 0);
  }
  return 0;
}
