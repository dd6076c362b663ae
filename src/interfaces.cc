// SPDX-License-Identifier: MIT
#include "interfaces.h"

#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
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

}  // namespace

uint32_t prefix_mask(uint32_t prefix_length) {
  return prefix_length == 0 ? 0 : ~UINT32_C(0) << (32 - prefix_length);
}

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
  const int read = list->read != nullptr
                       ? list->read(list->context, &list->addresses, &list->count)
                       : read_system_interfaces(&list->addresses, &list->count);
  if (!read) {
    if (!list->failure_reported) perror("getifaddrs");
    list->failure_reported = true;
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
    to->context = from->context;
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
  const uint32_t mask = prefix_mask(prefix_length);
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

bool has_link(const host_address *entry) {
  const unsigned wanted = IFF_UP | IFF_RUNNING;
  return (entry->flags & wanted) == wanted;
}

bool takes_broadcast(const host_address *entry) {
  return has_link(entry) && view_network(entry).kind == network_kind::BROADCAST;
}
