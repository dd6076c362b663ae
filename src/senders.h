// SPDX-License-Identifier: MIT
// Who may have sent a reply: the rules that turn away a sender no unit can
// be, with a table of verdicts that lasts as long as one read of the
// interfaces.
#ifndef UNITFIND_SENDERS_H_
#define UNITFIND_SENDERS_H_

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "discovery.h"
#include "interfaces.h"

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
  bool possible[VERDICTS_MAX];
  size_t count;
  size_t next;  // the entry to replace once the table is full
};

/// Whether `from` can be a unit; not for a datagram that
/// came in over loopback or was sent to 127.0.0.0/8 (`where`, which may be
/// null); an address in 0.0.0.0/8, 127.0.0.0/8, 224.0.0.0/4 or 240.0.0.0/4
/// (255.255.255.255 included); one of this host's own addresses; for each
/// of its addresses of /30 or wider, whatever the interface, its network's
/// network address and address | ~mask; or a broadcast address the system
/// gives. Units are other hosts, so such a reply is forged; a peer is one. The
/// interfaces are read again when the last read is a second old or more,
/// so that a flood costs a table look-up per datagram. When they cannot be
/// read (reported once), senders are judged by the rest.
bool may_be_unit(sender_judge *judge, const sockaddr_in *from, const arrival *where);

/// As may_be_unit, with the interfaces read again first, so that an address
/// this host gained since the last read is known.
bool may_be_unit_now(sender_judge *judge, const sockaddr_in *from, const arrival *where);

#endif  // UNITFIND_SENDERS_H_
