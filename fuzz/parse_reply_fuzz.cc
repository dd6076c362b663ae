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

namespace {

void require(bool holds) {
  if (!holds) abort();
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
  int result = parse_reply(buffer.get(), &empeg, &from);

  size_t id = text.find("id=");
  size_t name = text.find("name=");
  bool is_reply = id != std::string::npos && name != std::string::npos;
  require(result == (is_reply ? 1 : 0));
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
  // Every byte of the name is shown, a control byte as a two- or four-byte
  // escape.
  size_t expected_length = 0;
  for (size_t i = 0; i < name_length; ++i) {
    unsigned char byte = static_cast<unsigned char>(empeg.name[i]);
    bool plain = byte >= 0x20 && byte != 0x7f;
    bool short_escape = byte == '\n' || byte == '\r' || byte == '\t';
    expected_length += plain ? 1 : short_escape ? 2 : 4;
  }
  require(shown_length == expected_length);
  for (size_t i = 0; i < shown_length; ++i) {
    unsigned char byte = static_cast<unsigned char>(shown[i]);
    require(byte >= 0x20 && byte != 0x7f);
  }
  return 0;
}
