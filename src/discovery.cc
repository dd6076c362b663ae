// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <assert.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform.h"

// The C libraries that say so report a failure of the lookup's own system
// calls as this, with the reason in errno; others never return it.
#ifndef NETDB_INTERNAL
#define NETDB_INTERNAL (-1)
#endif

namespace {

// The longest wait one poll makes; a longer wait is made of several.
constexpr int POLL_STEP_MS = 1 << 30;

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
ssize_t receive_queued(int sock, void *buffer, size_t capacity, sockaddr_in *from,
                       arrival *where) {
  iovec part = {buffer, capacity};
  union {
    cmsghdr header;
    char bytes[PLATFORM_ARRIVAL_SIZE];
  } control;
  msghdr message = {};
  message.msg_name = from;
  message.msg_namelen = sizeof *from;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;
  ssize_t received = recvmsg(sock, &message, MSG_DONTWAIT);
  if (received >= 0 && where != nullptr)
    platform_read_arrival(&message, &where->index, &where->destination);
  return received;
}

// Sends to `address` (host byte order) on the discovery port, out of
// interface `index` from `source` where either is given; keeps errno.
int send_to(int sock, uint32_t address, unsigned index, uint32_t source,
            const void *payload, size_t length) {
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(DISCOVERY_PORT);
  to.sin_addr.s_addr = htonl(address);
  if (index != 0 || source != 0)
    return platform_send_out_of(sock, payload, length, &to, index, source);
  return sendto(sock, payload, length, 0, reinterpret_cast<sockaddr *>(&to),
                sizeof to) == -1 ? 0 : 1;
}

}  // namespace

namespace {

// Plans the limited broadcast out of interface `index` from `source`, unless
// the datagrams from `limited` on already hold one alike.
void plan_limited(probe_datagram *plan, size_t limited, size_t *planned, unsigned index,
                  uint32_t source) {
  for (size_t j = limited; j < *planned; ++j)
    if (plan[j].index == index && plan[j].source == source) return;
  plan[(*planned)++] = {index, source, INADDR_BROADCAST};
}

}  // namespace

size_t plan_probe(const interface_list *list, uint32_t target, probe_datagram *plan) {
  const bool everywhere = target == INADDR_BROADCAST;
  size_t planned = 0;
  // Each network's broadcast address first: a unit on it hears that
  // datagram, from an address on its own network, before any other. Two
  // addresses in one network share one, while two interfaces whose networks
  // share one (two link-local cables) each need a datagram of their own.
  for (size_t i = 0; i < list->count; ++i) {
    const host_address *entry = &list->addresses[i];
    if (!takes_broadcast(entry)) continue;
    network_view view = view_network(entry);
    if (view.broadcast == 0 || (!everywhere && view.broadcast != target)) continue;
    bool planned_before = false;
    for (size_t j = 0; j < planned; ++j)
      if (plan[j].index == entry->index && plan[j].destination == view.broadcast)
        planned_before = true;
    if (!planned_before) plan[planned++] = {entry->index, entry->address, view.broadcast};
  }
  if (!everywhere) return planned;
  // Then the limited broadcast, which every host on the cable hears
  // whatever its mask, from each network's own address, so that a unit
  // answers to an address it can reach. A network without a broadcast
  // address (a /31, a /32) hears nothing before it, so it goes first.
  // One address may stand in two networks (a /24 and a /32): identical
  // datagrams go once.
  const size_t directed = planned;
  for (size_t i = 0; i < list->count; ++i) {
    const host_address *entry = &list->addresses[i];
    if (takes_broadcast(entry) && view_network(entry).broadcast == 0)
      plan_limited(plan, directed, &planned, entry->index, entry->address);
  }
  for (size_t j = 0; j < directed; ++j)
    plan_limited(plan, directed, &planned, plan[j].index, plan[j].source);
  return planned;
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

  const char *failed = nullptr;
  if (!platform_tell_arrival(sock, &failed)) return close_after(failed, sock);

  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1)
    return close_after("bind", sock);
  return sock;
}

int send_probe(int sock, const char *host, const void *payload, size_t length,
               const interface_list *interfaces, in_addr *probed) {
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
  // Room for a datagram to each address's network and one more to each
  // interface.
  auto *plan = static_cast<probe_datagram *>(
      calloc(2 * interfaces->count + 1, sizeof(probe_datagram)));
  size_t planned = plan == nullptr ? 0 : plan_probe(interfaces, address, plan);
  int sent = planned == 0 ? send_to(sock, address, 0, 0, payload, length) : 0;
  int error = errno;
  for (size_t i = 0; i < planned; ++i) {
    if (send_to(sock, plan[i].destination, plan[i].index, plan[i].source, payload, length))
      sent = 1;
    else
      error = errno;
  }
  free(plan);
  if (!sent) {
    errno = error;
    perror("sendto");
  }
  return sent;
}

bool receive_datagram(int sock, char *buffer, size_t capacity, int64_t timeout_ms,
                      sockaddr_in *from, arrival *where) {
  if (timeout_ms < 0 || sock < 0) return false;

  // A datagram already queued needs no wait: under a burst of traffic this
  // halves the system calls per datagram, so the queue drains before it
  // overflows and drops a unit's reply.
  ssize_t received = receive_queued(sock, buffer, capacity, from, where);
  if (received < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int ready;
    int64_t left_ms = timeout_ms;
    do {
      int step_ms = left_ms < POLL_STEP_MS ? static_cast<int>(left_ms) : POLL_STEP_MS;
      left_ms -= step_ms;
      pollfd readable = {sock, POLLIN, 0};
      ready = poll(&readable, 1, step_ms);
    } while (ready == 0 && left_ms > 0);
    if (ready <= 0) return false;
    // Not blocking here either: a readable socket whose datagram was
    // discarded meanwhile ends the search rather than hanging it.
    received = receive_queued(sock, buffer, capacity, from, where);
    if (received < 0) return false;
  }
  // Terminating here reads the same text as clearing the whole buffer first
  // would; the byte at `capacity` is the caller's and already zero.
  if (static_cast<size_t>(received) < capacity) buffer[received] = '\0';
  return true;
}

bool parse_reply(const char *text, empeg_info *empeg, const sockaddr_in *from) {
  assert(empeg != nullptr);
  const char *id = strstr(text, "id=");
  const char *name = strstr(text, "name=");
  if (id == nullptr || name == nullptr) return false;

  empeg->serial = read_decimal(id + 3);
  name += 5;
  size_t length = strnlen(name, EMPEG_NAME_MAX);
  memcpy(empeg->name, name, length);
  empeg->name[length] = '\0';

  uint32_t address = ntohl(from->sin_addr.s_addr);
  for (int octet = 0; octet < 4; ++octet)
    empeg->ip[octet] = static_cast<uint16_t>((address >> (24 - 8 * octet)) & 0xff);
  return true;
}
