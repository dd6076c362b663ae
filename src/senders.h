// SPDX-License-Identifier: MIT
// Who may have sent a reply: this host's interfaces and their broadcast
// networks, read once and kept for a while, and the verdict on each sender.
#ifndef UNITFIND_SENDERS_H_
#define UNITFIND_SENDERS_H_

#include <ifaddrs.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

/// This host's interfaces as last read. Starts zeroed; the owner hands it to
/// forget_interfaces when done.
struct interface_list {
  ifaddrs *head;         // null before the first read and after a failed one
  int64_t read_at_ms;    // monotonic time of the last read, failed or not
  int attempted;         // whether a read has been tried yet
  int failure_reported;  // a failed read is reported once per run
};

/// Returns this host's interfaces, read again when never read or read more
/// than `max_age_ms` milliseconds ago. Returns null when they cannot be read,
/// reporting "getifaddrs" on stderr the first time only.
const ifaddrs *current_interfaces(interface_list *list, int64_t max_age_ms);

/// Frees what `list` holds; it may then be read again.
void forget_interfaces(interface_list *list);

/// One IPv4 network of an interface that is up and can broadcast, all
/// addresses in host byte order.
struct broadcast_network {
  const char *interface;  // points into the interface list
  uint32_t address;       // this host's address on it
  uint32_t prefix_length;
  uint32_t broadcast;
};

/// Reads `entry` into `network`. Returns 1 when it is an IPv4 address of an
/// interface that is up, is not loopback and can broadcast, on a network of
/// at most /30; 0 otherwise. A missing broadcast address is taken as the
/// network's highest address, which the system treats as its broadcast too.
int read_broadcast_network(const ifaddrs *entry, broadcast_network *network);

/// How many senders the judgement of replies remembers.
constexpr size_t VERDICTS_MAX = 64;

/// What is known about the senders of replies: the interfaces, and the
/// verdicts reached with them, so that a flood of replies costs no more than
/// a table look-up per datagram. Starts zeroed; the owner hands `interfaces`
/// to forget_interfaces when done.
struct sender_judge {
  interface_list interfaces;
  int64_t verdicts_read_at_ms;  // the list the verdicts were reached with
  uint32_t address[VERDICTS_MAX];  // network byte order
  uint8_t possible[VERDICTS_MAX];
  size_t count;
  size_t next;  // the entry to replace once the table is full
};

/// Returns 1 when `from` can be a unit, 0 when it cannot: an address in
/// 0.0.0.0/8, 127.0.0.0/8, 224.0.0.0/4 or 240.0.0.0/4 (255.255.255.255
/// included), one of this host's own addresses, or the broadcast address of
/// one of its networks. Units are other hosts, so such a reply is forged.
/// The interfaces are read again at most once a second. When they cannot
/// be read (reported once), senders are judged by the address ranges alone.
int may_be_unit(sender_judge *judge, const sockaddr_in *from);

#endif  // UNITFIND_SENDERS_H_
