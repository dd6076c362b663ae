// SPDX-License-Identifier: MIT
// This host's interfaces as plain records, so that the rules that follow from
// them (where a probe goes, who may have sent a reply, what a person is told)
// work the same over a list the system gave and over one a test made up: the
// list and its reader, and what one address says of its network.
#ifndef UNITFIND_INTERFACES_H_
#define UNITFIND_INTERFACES_H_

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
/// list frees) and their number into `*count`; `context` is the list's.
/// Returns 1, or 0 with errno set.
using interface_reader = int (*)(void *context, host_address **addresses, size_t *count);

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
  bool failure_reported;  // a failed read is reported once per run
  interface_reader read;  // null for read_system_interfaces
  void *context;          // handed to `read`
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
  bool has_network;    // /30 or wider: it has a network and a broadcast address
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

/// The mask of a network of `prefix_length` (0 to 32) bits.
uint32_t prefix_mask(uint32_t prefix_length);

/// Whether the interface of `entry` is up and has a link.
bool has_link(const host_address *entry);

/// Whether a broadcast out of the interface of `entry` reaches the hosts
/// on its link: it can broadcast, is up and has a link.
bool takes_broadcast(const host_address *entry);

#endif  // UNITFIND_INTERFACES_H_
