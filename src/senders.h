// SPDX-License-Identifier: MIT
// This host's interfaces and what follows from them: where a probe goes, and
// who may have sent a reply. The interfaces are read into plain records, so
// that the rules here work the same over a list the system gave and over one
// a test made up.
#ifndef UNITFIND_SENDERS_H_
#define UNITFIND_SENDERS_H_

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

/// Room for an interface name (or a Linux address label) and its zero.
constexpr size_t INTERFACE_NAME_SIZE = 16;

/// One IPv4 address of an interface, addresses in host byte order.
struct host_address {
  char interface[INTERFACE_NAME_SIZE];
  unsigned index;  // the system's interface index, 0 when unknown
  unsigned flags;  // IFF_UP, IFF_RUNNING, IFF_BROADCAST, ...
  uint32_t address;
  uint32_t mask;
  uint32_t broadcast;  // the broadcast address the system gives, 0 for none
  uint32_t peer;       // the host at the other end the system gives, 0 for none
};

/// Reads the interfaces into `*addresses` (memory from malloc, which the
/// list frees) and their number into `*count`. Returns 1, or 0 with errno
/// set.
using interface_reader = int (*)(host_address **addresses, size_t *count);

/// Reads this host's IPv4 addresses with getifaddrs.
int read_system_interfaces(host_address **addresses, size_t *count);

/// This host's interfaces as last read. Starts zeroed, which reads the
/// system's; a test sets `read` to hand in a list of its own. The owner hands
/// it to forget_interfaces when done.
struct interface_list {
  host_address *addresses;  // null before the first read and after a failed one
  size_t count;
  uint64_t generation;   // how many reads were made, failed ones included
  int64_t read_at_ms;    // monotonic time of the last read
  int failure_reported;  // a failed read is reported once per run
  interface_reader read;  // null for read_system_interfaces
};

/// Reads the interfaces again when they have never been read or were read
/// `max_age_ms` milliseconds ago or more (0: always). A failed read leaves
/// the list empty and is reported as "getifaddrs" on stderr the first time
/// only. Returns 1 when the list holds what a read gave, 0 when it failed.
int current_interfaces(interface_list *list, int64_t max_age_ms);

/// Makes `to`, which must be empty, an independent copy of `from`, failure
/// and generation included. Returns 1, or 0 (out of memory) leaving `to`
/// never read.
int copy_interfaces(const interface_list *from, interface_list *to);

/// Frees what `list` holds; it may then be read again.
void forget_interfaces(interface_list *list);

/// What an interface does with a broadcast.
enum class network_kind {
  LOOPBACK,
  BROADCAST,       // it can broadcast
  POINT_TO_POINT,  // it reaches its peer alone
  NO_ARP,          // a broadcast would be sent to its own link address
  NO_BROADCAST,    // it has no broadcast at all
};

/// What one address says of the network it is on.
struct network_view {
  network_kind kind;
  uint32_t prefix_length;
  int has_network;     // /30 or wider: it has a network and a broadcast address
  uint32_t network;    // for has_network: the network address
  uint32_t broadcast;  // the broadcast address to probe it with, 0 for none (/31, /32)
  uint32_t peer;       // the host at the other end, 0 for none
};

/// Reads `entry`. Its network is the peer's where it has one (as the
/// system numbers it), else its address's. The broadcast address is the one
/// the system gives where that lies in the network and is not the address
/// itself, otherwise, for a network of /30 or wider, address | ~mask; a /31
/// or /32 has none unless the system gives one.
network_view view_network(const host_address *entry);

/// Whether the interface of `entry` is up and has a link.
int has_link(const host_address *entry);

/// Whether a broadcast out of the interface of `entry` reaches the hosts
/// on its link: it can broadcast, is up and has a link.
int takes_broadcast(const host_address *entry);

/// One datagram of a probe: out of interface `index` (0: as the routes
/// say) from `source`, to `destination`, host byte order.
struct probe_datagram {
  unsigned index;
  uint32_t source;
  uint32_t destination;
};

/// Plans the probe for `target` over `list` into `plan`, which has room for
/// 2 * list->count datagrams, and returns how many it holds. Only
/// interfaces that take a broadcast are probed. For 255.255.255.255, each
/// of their networks gets one datagram to its broadcast address where it
/// has one, from its own address, and then one to 255.255.255.255 from its
/// own address, those of the networks without a broadcast address first:
/// a unit that answers only the first probe it hears then hears one from
/// its own network. For the broadcast address of one or more networks,
/// each of them gets one. Identical datagrams are planned once. Returns 0
/// when `target` is neither, or no interface qualifies: the probe then goes
/// to `target` as the routes say.
size_t plan_probe(const interface_list *list, uint32_t target, probe_datagram *plan);

/// Where a datagram came in: the interface's index and the address it was
/// sent to (host byte order), each 0 when the system does not say.
struct arrival {
  unsigned index;
  uint32_t destination;
};

/// How many senders the judgement of replies remembers.
constexpr size_t VERDICTS_MAX = 64;

/// What is known about the senders of replies: the interfaces, and the
/// verdicts reached with them, so that a flood of replies costs no more than
/// a table look-up per datagram. Starts zeroed; the owner hands `interfaces`
/// to forget_interfaces when done.
struct sender_judge {
  interface_list interfaces;
  uint64_t verdicts_generation;  // the read of the list the verdicts were reached with
  unsigned loopback_index;       // from that read, 0 when unknown
  uint32_t address[VERDICTS_MAX];  // network byte order
  uint8_t possible[VERDICTS_MAX];
  size_t count;
  size_t next;  // the entry to replace once the table is full
};

/// Returns 1 when `from` can be a unit, 0 when it cannot: a datagram that
/// came in over loopback or was sent to 127.0.0.0/8 (`where`, which may be
/// null); an address in 0.0.0.0/8, 127.0.0.0/8, 224.0.0.0/4 or 240.0.0.0/4
/// (255.255.255.255 included); one of this host's own addresses; for each
/// of its addresses of /30 or wider, whatever the interface, its network's
/// network address and address | ~mask; or a broadcast address the system
/// gives. Units are other hosts, so such a reply is forged; a peer is one. The
/// interfaces are read again when `max_age_ms` has passed (0: now). When
/// they cannot be read (reported once), senders are judged by the rest.
int may_be_unit(sender_judge *judge, const sockaddr_in *from, const arrival *where,
                int64_t max_age_ms);

#endif  // UNITFIND_SENDERS_H_
