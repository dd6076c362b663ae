// SPDX-License-Identifier: MIT
#include "senders.h"

#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "deadline.h"
#include "platform.h"

namespace {

uint32_t host_order(const sockaddr *address) {
  if (address == nullptr || address->sa_family != AF_INET) return 0;
  return ntohl(reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr);
}

// The index of interface `name`. Linux names an address with a label of its
// own ("eth0:1") after that label, which is no interface's name.
unsigned index_of(const char *name) {
  unsigned index = if_nametoindex(name);
  const char *colon = strchr(name, ':');
  if (index != 0 || colon == nullptr) return index;
  char base[INTERFACE_NAME_SIZE];
  size_t length = static_cast<size_t>(colon - name);
  memcpy(base, name, length);
  base[length] = '\0';
  return if_nametoindex(base);
}

uint32_t mask_of(uint32_t prefix_length) {
  return prefix_length == 0 ? 0 : ~UINT32_C(0) << (32 - prefix_length);
}

}  // namespace

int read_system_interfaces(host_address **addresses, size_t *count) {
  ifaddrs *head = nullptr;
  if (getifaddrs(&head) == -1) return 0;
  size_t room = 0;
  for (const ifaddrs *i = head; i != nullptr; i = i->ifa_next)
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET) ++room;
  *count = 0;
  *addresses = static_cast<host_address *>(calloc(room == 0 ? 1 : room, sizeof **addresses));
  if (*addresses == nullptr) {
    freeifaddrs(head);
    errno = ENOMEM;
    return 0;
  }
  int asked = -1;
  for (const ifaddrs *i = head; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    host_address *entry = &(*addresses)[(*count)++];
    snprintf(entry->interface, sizeof entry->interface, "%s", i->ifa_name);
    entry->index = index_of(i->ifa_name);
    entry->flags = i->ifa_flags;
    entry->address = host_order(i->ifa_addr);
    entry->mask = host_order(i->ifa_netmask);
    // The broadcast address and the peer share one field.
    platform_address_ends(&asked, i->ifa_name, entry->flags, entry->address,
                          host_order(i->ifa_broadaddr), &entry->broadcast, &entry->peer);
  }
  if (asked != -1) close(asked);
  freeifaddrs(head);
  return 1;
}

int current_interfaces(interface_list *list, int64_t max_age_ms) {
  int64_t now = monotonic_ms();
  if (list->generation != 0 && now - list->read_at_ms < max_age_ms)
    return list->addresses != nullptr;
  forget_interfaces(list);
  ++list->generation;
  list->read_at_ms = now;
  interface_reader read = list->read != nullptr ? list->read : read_system_interfaces;
  if (!read(&list->addresses, &list->count)) {
    if (!list->failure_reported) perror("getifaddrs");
    list->failure_reported = 1;
    free(list->addresses);
    list->addresses = nullptr;
    list->count = 0;
    return 0;
  }
  return 1;
}

int copy_interfaces(const interface_list *from, interface_list *to) {
  *to = *from;
  if (from->addresses == nullptr) return 1;
  to->addresses = static_cast<host_address *>(calloc(from->count + 1, sizeof *to->addresses));
  if (to->addresses == nullptr) {
    *to = interface_list{};
    to->read = from->read;
    return 0;
  }
  memcpy(to->addresses, from->addresses, from->count * sizeof *to->addresses);
  return 1;
}

void forget_interfaces(interface_list *list) {
  free(list->addresses);
  list->addresses = nullptr;
  list->count = 0;
}

network_view view_network(const host_address *entry) {
  network_view view = {};
  uint32_t prefix_length = 0;
  while (prefix_length < 32 && (entry->mask & (0x80000000u >> prefix_length)) != 0)
    ++prefix_length;
  view.prefix_length = prefix_length;
  const unsigned flags = entry->flags;
  if ((flags & IFF_LOOPBACK) != 0)
    view.kind = network_kind::LOOPBACK;
  else if ((flags & IFF_POINTOPOINT) != 0)
    view.kind = network_kind::POINT_TO_POINT;
  else if ((flags & IFF_BROADCAST) == 0)
    view.kind = network_kind::NO_BROADCAST;
  else if ((flags & IFF_NOARP) != 0)
    view.kind = network_kind::NO_ARP;
  else
    view.kind = network_kind::BROADCAST;
  if (entry->peer != entry->address) view.peer = entry->peer;
  const uint32_t mask = mask_of(prefix_length);
  // The system numbers a network with a peer after the peer.
  const uint32_t network = (view.peer != 0 ? view.peer : entry->address) & mask;
  view.has_network = prefix_length <= 30;
  if (view.has_network) view.network = network;
  const uint32_t given = entry->broadcast;
  if (given != 0 && given != entry->address && given != view.peer && (given & mask) == network)
    view.broadcast = given;
  else if (view.has_network)
    view.broadcast = network | ~mask;
  return view;
}

int has_link(const host_address *entry) {
  const unsigned wanted = IFF_UP | IFF_RUNNING;
  return (entry->flags & wanted) == wanted;
}

int takes_broadcast(const host_address *entry) {
  return has_link(entry) && view_network(entry).kind == network_kind::BROADCAST;
}

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
  for (size_t i = 0; i < list->count + directed; ++i) {
    probe_datagram limited = {0, 0, INADDR_BROADCAST};
    if (i < list->count) {
      const host_address *entry = &list->addresses[i];
      if (!takes_broadcast(entry) || view_network(entry).broadcast != 0) continue;
      limited = {entry->index, entry->address, INADDR_BROADCAST};
    } else {
      limited = {plan[i - list->count].index, plan[i - list->count].source, INADDR_BROADCAST};
    }
    bool planned_before = false;
    for (size_t j = directed; j < planned; ++j)
      planned_before = planned_before ||
                       (plan[j].index == limited.index && plan[j].source == limited.source);
    if (!planned_before) plan[planned++] = limited;
  }
  return planned;
}

namespace {

// Whether `address` (host byte order) is one of this host's, the network or
// all-ones address of one of its networks of /30 or wider, or a broadcast
// address the system gives, whatever the kind of interface.
bool is_own_address(const interface_list *list, uint32_t address) {
  for (size_t i = 0; i < list->count; ++i) {
    const host_address *entry = &list->addresses[i];
    if (entry->address == address || (entry->broadcast != 0 && entry->broadcast == address))
      return true;
    network_view view = view_network(entry);
    if (!view.has_network) continue;
    const uint32_t mask = mask_of(view.prefix_length);
    // Numbered after a peer or not, the network of the address itself too.
    const uint32_t own_network = entry->address & mask;
    if (address == view.network || address == (view.network | ~mask) || address == own_network ||
        address == (own_network | ~mask))
      return true;
  }
  return false;
}

unsigned loopback_index(const interface_list *list) {
  for (size_t i = 0; i < list->count; ++i)
    if ((list->addresses[i].flags & IFF_LOOPBACK) != 0 && list->addresses[i].index != 0)
      return list->addresses[i].index;
  return 0;
}

}  // namespace

int may_be_unit(sender_judge *judge, const sockaddr_in *from, const arrival *where,
                int64_t max_age_ms) {
  uint32_t address = ntohl(from->sin_addr.s_addr);
  uint32_t first_octet = address >> 24;
  if (first_octet == 0 || first_octet == 127 || first_octet >= 224) return 0;
  if (where != nullptr && where->destination >> 24 == 127) return 0;

  current_interfaces(&judge->interfaces, max_age_ms);
  if (judge->verdicts_generation != judge->interfaces.generation) {
    judge->verdicts_generation = judge->interfaces.generation;
    judge->loopback_index = loopback_index(&judge->interfaces);
    judge->count = 0;
    judge->next = 0;
  }
  // Over loopback only this host sends, from whatever address it has now.
  if (where != nullptr && where->index != 0 && where->index == judge->loopback_index) return 0;
  for (size_t i = 0; i < judge->count; ++i)
    if (judge->address[i] == from->sin_addr.s_addr) return judge->possible[i];

  uint8_t possible = is_own_address(&judge->interfaces, address) ? 0 : 1;
  size_t slot = judge->count < VERDICTS_MAX ? judge->count++ : judge->next;
  judge->next = (slot + 1) % VERDICTS_MAX;
  judge->address[slot] = from->sin_addr.s_addr;
  judge->possible[slot] = possible;
  return possible;
}
