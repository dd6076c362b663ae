// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <assert.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

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
