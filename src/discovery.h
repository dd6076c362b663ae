// SPDX-License-Identifier: MIT
// The tool's side of the discovery exchange: a UDP socket on the discovery
// port, the plan of the probe and its datagrams, a timed wait for one
// datagram and where it came in, and the reading of a unit's reply.
#ifndef UNITFIND_DISCOVERY_H_
#define UNITFIND_DISCOVERY_H_

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "empeg_info.h"
#include "interfaces.h"

/// Units answer on this port, and the tool both listens on it and sends the
/// probe to it.
constexpr uint16_t DISCOVERY_PORT = 8300;

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

/// Creates a UDP socket bound to `port` on every local interface, allowed
/// to send broadcasts and told, where the system can, on which interface
/// each datagram comes in. Returns the descriptor, or -1 after reporting the
/// failed call ("socket", "setsockopt" or "bind") on stderr; errno is kept.
int open_listen_socket(uint16_t port);

/// Looks `host` up (a dotted address is accepted as a name) and sends `length`
/// bytes of `payload` as one datagram to its first IPv4 address on
/// DISCOVERY_PORT, storing that address in `probed` (0.0.0.0 when the lookup
/// fails). For 255.255.255.255, or the broadcast address of networks in
/// `interfaces`, the datagrams go out of each interface as plan_probe says,
/// since a broadcast would otherwise leave by one route only; to anything
/// else, and when no interface qualifies, as the routes say. Returns 1 when
/// at least one send reports no error; otherwise reports "gethostbyname"
/// with the resolver's reason, or "sendto" with the last send's, on stderr
/// and returns 0.
int send_probe(int sock, const char *host, const void *payload, size_t length,
               const interface_list *interfaces, in_addr *probed);

/// Waits up to `timeout_ms` milliseconds for one datagram and receives at most
/// `capacity` bytes of it into `buffer`, storing the sender in `from` and,
/// when `where` is not null, where it came in (zeros where the system does
/// not say). `buffer` must have room for `capacity` + 1 bytes and its byte at
/// `capacity` must be zero: the text received always ends at the first zero
/// byte or where the datagram ends. Returns whether a datagram (even an empty
/// one) arrived: not on timeout, on a failed wait or receive, nor, at once,
/// for a negative timeout. A datagram already queued is taken even with a
/// timeout of 0. Any descriptor number works. Prints nothing.
bool receive_datagram(int sock, char *buffer, size_t capacity, int64_t timeout_ms,
                      sockaddr_in *from, arrival *where = nullptr);

/// Reads a zero-terminated datagram text into `empeg`. A reply holds both
/// "id=" and "name=": the serial is the number after the first "id=", the name
/// everything after the first "name=" (cut to EMPEG_NAME_MAX bytes), the
/// address that of `from`. Returns whether it was a reply; `empeg` is left
/// alone when not.
bool parse_reply(const char *text, empeg_info *empeg, const sockaddr_in *from);

#endif  // UNITFIND_DISCOVERY_H_
