// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <assert.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "deadline.h"

// The C libraries that say so report a failure of the lookup's own system
// calls as this, with the reason in errno; others never return it.
#ifndef NETDB_INTERNAL
#define NETDB_INTERNAL (-1)
#endif

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

uint32_t host_order(const sockaddr *address) {
  return ntohl(reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr);
}

// Sends to `address` (host byte order) on the discovery port, keeping errno.
int send_to(int sock, uint32_t address, const void *payload, size_t length) {
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(DISCOVERY_PORT);
  to.sin_addr.s_addr = htonl(address);
  return sendto(sock, payload, length, 0, reinterpret_cast<sockaddr *>(&to),
                sizeof to) == -1 ? 0 : 1;
}

// Sends to the broadcast address of every network once. Returns -1 when
// there is no network to send to, else whether any send succeeded; errno
// then holds the last failure's reason.
int send_to_every_network(int sock, const ifaddrs *interfaces,
                          const void *payload, size_t length) {
  int outcome = -1;
  int error = 0;
  for (const ifaddrs *i = interfaces; i != nullptr; i = i->ifa_next) {
    broadcast_network network = {};
    if (!read_broadcast_network(i, &network)) continue;
    bool sent_before = false;
    for (const ifaddrs *j = interfaces; j != i && !sent_before; j = j->ifa_next) {
      broadcast_network earlier = {};
      sent_before = read_broadcast_network(j, &earlier) &&
                    earlier.broadcast == network.broadcast;
    }
    if (sent_before) continue;
    if (send_to(sock, network.broadcast, payload, length)) {
      outcome = 1;
    } else {
      error = errno;
      if (outcome == -1) outcome = 0;
    }
  }
  if (outcome == 0) errno = error;
  return outcome;
}

}  // namespace

const ifaddrs *current_interfaces(interface_list *list, int64_t max_age_ms) {
  int64_t now = monotonic_ms();
  if (list->attempted && now - list->read_at_ms <= max_age_ms) return list->head;
  forget_interfaces(list);
  list->attempted = 1;
  list->read_at_ms = now;
  if (getifaddrs(&list->head) == -1) {
    list->head = nullptr;
    if (!list->failure_reported) perror("getifaddrs");
    list->failure_reported = 1;
  }
  return list->head;
}

void forget_interfaces(interface_list *list) {
  if (list->head != nullptr) freeifaddrs(list->head);
  list->head = nullptr;
}

int read_broadcast_network(const ifaddrs *entry, broadcast_network *network) {
  const unsigned flags = entry->ifa_flags;
  if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
      entry->ifa_netmask == nullptr || (flags & IFF_UP) == 0 ||
      (flags & IFF_BROADCAST) == 0 || (flags & IFF_LOOPBACK) != 0)
    return 0;
  uint32_t mask = host_order(entry->ifa_netmask);
  uint32_t prefix_length = 0;
  while (prefix_length < 32 && (mask & (0x80000000u >> prefix_length)) != 0) ++prefix_length;
  if (prefix_length > 30) return 0;
  network->interface = entry->ifa_name;
  network->address = host_order(entry->ifa_addr);
  network->prefix_length = prefix_length;
  network->broadcast = network->address | ~mask;
  if (entry->ifa_broadaddr != nullptr && entry->ifa_broadaddr->sa_family == AF_INET &&
      host_order(entry->ifa_broadaddr) != 0)
    network->broadcast = host_order(entry->ifa_broadaddr);
  return 1;
}

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
                   size_t length, interface_list *interfaces, in_addr *probed) {
  probed->s_addr = htonl(INADDR_ANY);
  errno = 0;
  const hostent *entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addrtype != AF_INET ||
      entry->h_length != sizeof(in_addr) || entry->h_addr_list[0] == nullptr) {
    // The lookup reports through h_errno, not errno, except for a failure of
    // its own system calls; a result without an IPv4 address is a name with
    // no address to send to.
    int lookup_error = entry == nullptr ? h_errno : NO_DATA;
    fprintf(stderr, "gethostbyname: %s\n",
            lookup_error == NETDB_INTERNAL && errno != 0 ? strerror(errno)
                                                         : hstrerror(lookup_error));
    return 0;
  }
  memcpy(probed, entry->h_addr_list[0], sizeof *probed);

  uint32_t address = ntohl(probed->s_addr);
  if (address == INADDR_BROADCAST) {
    int outcome = send_to_every_network(sock, current_interfaces(interfaces, 0),
                                        payload, length);
    if (outcome != -1) {
      if (outcome == 0) perror("sendto");
      return outcome;
    }
  }
  if (!send_to(sock, address, payload, length)) {
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

namespace {

// Whether `address` (network byte order) is one of this host's or the
// broadcast address of one of its networks.
bool is_own_address(const ifaddrs *interfaces, uint32_t address) {
  for (const ifaddrs *i = interfaces; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == address)
      return true;
    broadcast_network network = {};
    if (read_broadcast_network(i, &network) && network.broadcast == ntohl(address))
      return true;
  }
  return false;
}

}  // namespace

int may_be_unit(sender_judge *judge, const sockaddr_in *from) {
  uint32_t address = ntohl(from->sin_addr.s_addr);
  uint32_t first_octet = address >> 24;
  if (first_octet == 0 || first_octet == 127 || first_octet >= 224) return 0;

  const ifaddrs *interfaces = current_interfaces(&judge->interfaces, 1000);
  if (judge->verdicts_read_at_ms != judge->interfaces.read_at_ms) {
    judge->verdicts_read_at_ms = judge->interfaces.read_at_ms;
    judge->count = 0;
    judge->next = 0;
  }
  for (size_t i = 0; i < judge->count; ++i)
    if (judge->address[i] == from->sin_addr.s_addr) return judge->possible[i];

  uint8_t possible = is_own_address(interfaces, from->sin_addr.s_addr) ? 0 : 1;
  size_t slot = judge->count < VERDICTS_MAX ? judge->count++ : judge->next;
  judge->next = (slot + 1) % VERDICTS_MAX;
  judge->address[slot] = from->sin_addr.s_addr;
  judge->possible[slot] = possible;
  return possible;
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
    case '"': *out++ = '"'; break;
    default:
      *out++ = 'x';
      *out++ = hex[byte >> 4];
      *out++ = hex[byte & 0xf];
  }
  return out;
}

}  // namespace

size_t escape_name_within(const char *name, char *out, size_t room) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(name);
  const size_t length = strnlen(name, EMPEG_NAME_MAX);
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

void escape_name(const char *name, char *out) {
  escape_name_within(name, out, ESCAPED_NAME_SIZE - 1);
}
