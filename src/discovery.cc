// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <assert.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The longest wait one select makes: macOS refuses a timeout above 10^8
// seconds, so a longer wait is made of several.
constexpr int64_t SELECT_STEP_MS = INT64_C(10000000) * 1000;

// Reports the failed `call`, closes `sock` and returns -1, keeping errno.
int close_after(const char *call, int sock) {
  int saved = errno;
  perror(call);
  close(sock);
  errno = saved;
  return -1;
}

// Asks for room for a burst of other traffic to queue up while the tool
// reads, so that a unit's reply behind it is not dropped. Root may go beyond
// the system's limit; anyone else gets at most that limit, which still works.
void enlarge_receive_queue(int sock) {
  int bytes = 4 << 20;
#ifdef SO_RCVBUFFORCE
  if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return;
#endif
  (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

// Receives a datagram that is already queued, without waiting for one.
ssize_t receive_queued(int sock, char *buffer, size_t capacity, sockaddr_in *from) {
  socklen_t from_length = sizeof *from;
  return recvfrom(sock, buffer, capacity, MSG_DONTWAIT,
                  reinterpret_cast<sockaddr *>(from), &from_length);
}

}  // namespace

int open_listen_socket(uint16_t port) {
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock == -1) {
    perror("socket");
    return -1;
  }

  // Linux refuses to send to a broadcast address without this permission.
  int on = 1;
  if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == -1)
    return close_after("setsockopt", sock);

  enlarge_receive_queue(sock);

  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1)
    return close_after("bind", sock);
  return sock;
}

int send_broadcast(int sock, const char *host, const void *payload,
                   size_t length) {
  const hostent *entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addrtype != AF_INET ||
      entry->h_length != sizeof(in_addr) || entry->h_addr_list[0] == nullptr) {
    // The lookup reports through h_errno, not errno; a result without an
    // IPv4 address is a name with no address to send to.
    fprintf(stderr, "gethostbyname: %s\n",
            hstrerror(entry == nullptr ? h_errno : NO_DATA));
    return 0;
  }

  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(DISCOVERY_PORT);
  memcpy(&to.sin_addr, entry->h_addr_list[0], sizeof to.sin_addr);
  if (sendto(sock, payload, length, 0, reinterpret_cast<sockaddr *>(&to),
             sizeof to) == -1) {
    perror("sendto");
    return 0;
  }
  return 1;
}

int wait_for_reply(int sock, char *buffer, size_t capacity, int64_t timeout_ms,
                   sockaddr_in *from) {
  if (timeout_ms < 0 || sock < 0) return 0;

  // A datagram already queued needs no wait: under a burst of traffic this
  // halves the system calls per datagram, so the queue drains before it
  // overflows and drops a unit's reply.
  ssize_t received = receive_queued(sock, buffer, capacity, from);
  if (received < 0) {
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || sock >= FD_SETSIZE) return 0;
    int ready;
    int64_t left_ms = timeout_ms;
    do {
      int64_t step_ms = left_ms < SELECT_STEP_MS ? left_ms : SELECT_STEP_MS;
      left_ms -= step_ms;
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(sock, &readable);
      timeval limit = {};
      limit.tv_sec = static_cast<time_t>(step_ms / 1000);
      limit.tv_usec = static_cast<suseconds_t>(step_ms % 1000 * 1000);
      ready = select(sock + 1, &readable, nullptr, nullptr, &limit);
    } while (ready == 0 && left_ms > 0);
    if (ready <= 0) return 0;
    // Not blocking here either: a readable socket whose datagram was
    // discarded meanwhile ends the search rather than hanging it.
    received = receive_queued(sock, buffer, capacity, from);
    if (received < 0) return 0;
  }
  // Terminating here reads the same text as clearing the whole buffer first
  // would; the byte at `capacity` is the caller's and already zero.
  if (static_cast<size_t>(received) < capacity) buffer[received] = '\0';
  return 1;
}

int parse_reply(const char *text, empeg_info *empeg, const sockaddr_in *from) {
  assert(empeg != nullptr);
  const char *id = strstr(text, "id=");
  const char *name = strstr(text, "name=");
  if (id == nullptr || name == nullptr) return 0;

  empeg->serial = read_decimal(id + 3);
  name += 5;
  size_t length = strnlen(name, EMPEG_NAME_MAX);
  memcpy(empeg->name, name, length);
  empeg->name[length] = '\0';

  uint32_t address = ntohl(from->sin_addr.s_addr);
  for (int octet = 0; octet < 4; ++octet)
    empeg->ip[octet] = static_cast<uint16_t>((address >> (24 - 8 * octet)) & 0xff);
  return 1;
}

int sent_by_this_host(const sockaddr_in *from) {
  uint32_t address = ntohl(from->sin_addr.s_addr);
  if (address >> 24 == 127) return 1;

  // Read afresh for every reply: an interface may gain an address while the
  // tool waits, at boot above all.
  ifaddrs *interfaces = nullptr;
  if (getifaddrs(&interfaces) == -1) {
    perror("getifaddrs");
    return 1;
  }
  int own = 0;
  for (const ifaddrs *i = interfaces; i != nullptr && !own; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto *local = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
    own = local->sin_addr.s_addr == from->sin_addr.s_addr;
  }
  freeifaddrs(interfaces);
  return own;
}

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
    default:
      *out++ = 'x';
      *out++ = hex[byte >> 4];
      *out++ = hex[byte & 0xf];
  }
  return out;
}

}  // namespace

void escape_name(const char *name, char *out) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(name);
  const size_t length = strnlen(name, EMPEG_NAME_MAX);
  for (size_t i = 0; i < length;) {
    unsigned char byte = bytes[i];
    if (byte < 0x80) {
      if (byte < 0x20 || byte == 0x7f || byte == '\\')
        out = escape_byte(byte, out);
      else
        *out++ = static_cast<char>(byte);
      ++i;
      continue;
    }
    uint32_t code_point = 0;
    size_t sequence = utf8_sequence(bytes + i, length - i, &code_point);
    if (sequence == 0) {
      out = escape_byte(byte, out);
      ++i;
      continue;
    }
    for (size_t end = i + sequence; i < end; ++i) {
      if (is_hidden_control(code_point))
        out = escape_byte(bytes[i], out);
      else
        *out++ = static_cast<char>(bytes[i]);
    }
  }
  *out = '\0';
}
