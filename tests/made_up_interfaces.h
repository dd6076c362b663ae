// SPDX-License-Identifier: MIT
// Interface lists as the tests make them up, handed to the rules through the
// list's reader instead of the system's, and the shapes of network users have.
#ifndef UNITFIND_TESTS_MADE_UP_INTERFACES_H_
#define UNITFIND_TESTS_MADE_UP_INTERFACES_H_

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "interfaces.h"

inline sockaddr_in address_of(const char *dotted) {
  sockaddr_in from = {};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, dotted, &from.sin_addr);
  return from;
}

inline uint32_t host(const char *dotted) { return ntohl(address_of(dotted).sin_addr.s_addr); }

// An address as a C library reports it: `broadcast` is the address itself
// for one added without brd.
inline host_address entry(const char *name, unsigned index, const char *address, uint32_t prefix,
                          const char *broadcast,
                          unsigned flags = IFF_UP | IFF_RUNNING | IFF_BROADCAST,
                          const char *peer = "0.0.0.0") {
  host_address out = {{},  index, flags, host(address), ~UINT32_C(0) << (32 - prefix),
                      host(broadcast), host(peer)};
  snprintf(out.interface, sizeof out.interface, "%s", name);
  return out;
}

constexpr unsigned TUN = IFF_UP | IFF_RUNNING | IFF_POINTOPOINT | IFF_NOARP;

// Two addresses in one network, an address without brd, a peer on Ethernet
// and on a point-to-point link, a /31, a /32, no carrier, two cables that
// share a broadcast address, a tun with a broadcast address, NOARP, brd
// 10.7.0.127 and brd - on a /24, brd 255.255.255.255 and a /30.
inline const std::vector<host_address> EVERY_SHAPE = {
    entry("lo", 1, "127.0.0.1", 8, "127.0.0.1", IFF_UP | IFF_RUNNING | IFF_LOOPBACK),
    entry("eth0", 2, "10.0.0.1", 24, "10.0.0.255"), entry("eth0", 2, "10.0.0.2", 24, "10.0.0.255"),
    entry("eth1", 3, "10.1.0.1", 24, "10.1.0.1"),
    entry("eth2", 4, "10.9.0.1", 24, "0.0.0.0", IFF_UP | IFF_RUNNING | IFF_BROADCAST, "10.9.0.2"),
    entry("tun0", 5, "10.8.0.1", 32, "0.0.0.0", TUN, "10.8.0.2"),
    entry("eth3", 6, "10.3.0.0", 31, "10.3.0.0"), entry("eth4", 7, "10.4.0.5", 32, "10.4.0.5"),
    entry("eth5", 8, "10.5.0.1", 24, "10.5.0.255", IFF_UP | IFF_BROADCAST),
    entry("ll0", 10, "169.254.10.1", 16, "169.254.255.255"),
    entry("ll1", 11, "169.254.11.1", 16, "169.254.255.255"),
    entry("tun1", 12, "10.8.1.2", 24, "10.8.1.255", TUN),
    entry("eth6", 13, "10.6.0.1", 24, "10.6.0.255", IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_NOARP),
    entry("eth7", 14, "10.7.0.1", 24, "10.7.0.127"), entry("eth7", 14, "10.7.1.1", 24, "10.7.1.0"),
    entry("eth8", 15, "10.2.0.1", 24, "255.255.255.255"), entry("eth9", 16, "10.10.0.1", 30, "10.10.0.1")};

// Interfaces as a test makes them up: `context` is the table, which the test
// may change between reads.
inline int read_made_up(void *context, host_address **addresses, size_t *count) {
  const auto *made_up = static_cast<const std::vector<host_address> *>(context);
  *count = made_up->size();
  *addresses = static_cast<host_address *>(calloc(*count + 1, sizeof **addresses));
  std::copy(made_up->begin(), made_up->end(), *addresses);
  return 1;
}

// The list reads `table` for as long as it is read: the table must outlive it.
inline interface_list made_up_list(const std::vector<host_address> &table) {
  interface_list list = {};
  list.read = read_made_up;
  list.context = const_cast<std::vector<host_address> *>(&table);
  EXPECT_EQ(current_interfaces(&list, 0), 1);
  return list;
}

#endif  // UNITFIND_TESTS_MADE_UP_INTERFACES_H_
