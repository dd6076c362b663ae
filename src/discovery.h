// SPDX-License-Identifier: MIT
// The tool's side of the discovery exchange: a UDP socket on the discovery
// port, the broadcast probe, a timed wait for one datagram, and the reading of
// a unit's reply.
#ifndef UNITFIND_DISCOVERY_H_
#define UNITFIND_DISCOVERY_H_

#include <ifaddrs.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

/// Units answer on this port, and the tool both listens on it and sends the
/// probe to it.
constexpr uint16_t DISCOVERY_PORT = 8300;

/// The longest unit name a record keeps; longer names are cut to this.
constexpr size_t EMPEG_NAME_MAX = 255;

/// One unit, as its reply describes it.
struct empeg_info {
  char name[EMPEG_NAME_MAX + 1];  // raw bytes from the reply, zero-terminated
  int32_t serial;
  uint16_t ip[4];  // sender's address, most significant octet first
};

/// Room for a name of EMPEG_NAME_MAX bytes in which every byte became a
/// four-character escape, plus the terminating zero.
constexpr size_t ESCAPED_NAME_SIZE = EMPEG_NAME_MAX * 4 + 1;

/// Creates a UDP socket bound to `port` on every local interface and allowed
/// to send broadcasts. Returns the descriptor, or -1 after reporting the failed
/// call ("socket", "setsockopt" or "bind") on stderr; errno is kept.
int open_listen_socket(uint16_t port);

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

/// Looks `host` up (a dotted address is accepted as a name) and sends `length`
/// bytes of `payload` as one datagram to its first IPv4 address on
/// DISCOVERY_PORT, storing that address in `probed` (0.0.0.0 when the lookup
/// fails). The limited broadcast address 255.255.255.255 only leaves by the
/// default route, so for it the datagram goes instead to the broadcast
/// address of every network in `interfaces`, once for each address; it is
/// sent to 255.255.255.255 itself only when there is none. Returns 1 when at
/// least one send reports no error; otherwise reports "gethostbyname" with
/// the resolver's reason, or "sendto" with the last send's, on stderr and
/// returns 0.
int send_broadcast(int sock, const char *host, const void *payload,
                   size_t length, interface_list *interfaces, in_addr *probed);

/// Waits up to `timeout_ms` milliseconds for one datagram and receives at most
/// `capacity` bytes of it into `buffer`, storing the sender in `from`.
/// `buffer` must have room for `capacity` + 1 bytes and its byte at
/// `capacity` must be zero: the text received always ends at the first zero
/// byte or where the datagram ends. Returns 1 when a datagram (even an empty
/// one) arrived; 0 on timeout, on a failed wait or receive, and at once for a
/// negative timeout. A datagram already queued is taken even with a timeout
/// of 0. Prints nothing.
int wait_for_reply(int sock, char *buffer, size_t capacity, int64_t timeout_ms,
                   sockaddr_in *from);

/// Reads a zero-terminated datagram text into `empeg`. A reply holds both
/// "id=" and "name=": the serial is the number after the first "id=", the name
/// everything after the first "name=" (cut to EMPEG_NAME_MAX bytes), the
/// address that of `from`. Returns 1 for a reply; 0, leaving `empeg` alone,
/// for anything else.
int parse_reply(const char *text, empeg_info *empeg, const sockaddr_in *from);

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

/// Reads a decimal number as atoi does (white space, sign, digits up to the
/// first non-digit; none gives 0), saturating at the limits of int32_t.
int32_t read_decimal(const char *text);

/// Writes `name` into `out` so that it cannot act on a terminal, break a
/// line or be misread. Well-formed UTF-8 passes unchanged, except that the
/// bytes of a C1 control (U+0080-U+009F), a bidirectional mark, embedding,
/// override or isolate (U+061C, U+200E, U+200F, U+202A-U+202E,
/// U+2066-U+2069) or a line or paragraph separator (U+2028, U+2029) become
/// \xHH each. So does every byte outside a well-formed sequence (a stray
/// continuation byte, an overlong form, a surrogate, a truncated sequence).
/// Among ASCII, a backslash becomes \\, a double quote \" (so that the
/// quotes around a shown name cannot be faked), line feed, carriage return
/// and tab \n, \r and \t, and the other controls (0x01-0x1F, 0x7F) \xHH,
/// hex in lower case. Reading the escapes back gives `name` again. `name` is at
/// most EMPEG_NAME_MAX bytes long; `out` must hold ESCAPED_NAME_SIZE bytes.
void escape_name(const char *name, char *out);

/// Writes as much of what escape_name would write as fits in `room` bytes
/// (the terminating zero not counted) into `out`, which holds `room` + 1
/// bytes, ending only between two escapes or characters: what it writes is a
/// prefix of the whole escaped name and reads back to a prefix of `name`.
/// Returns the length written.
size_t escape_name_within(const char *name, char *out, size_t room);

#endif  // UNITFIND_DISCOVERY_H_
