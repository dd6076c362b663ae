// SPDX-License-Identifier: MIT
#include "senders.h"

#include <net/if.h>
#include <stdio.h>
#include <sys/socket.h>

#include "deadline.h"

namespace {

uint32_t host_order(const sockaddr *address) {
  return ntohl(reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr);
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
