// SPDX-License-Identifier: MIT
#include "senders.h"

#include <net/if.h>

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
    const uint32_t mask = prefix_mask(view.prefix_length);
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

// How old the interface list may be for may_be_unit.
constexpr int64_t VERDICTS_LAST_MS = 1000;

// Judges `from` with the list read again when it is `max_age_ms` old (0: now).
bool judge_sender(sender_judge *judge, const sockaddr_in *from, const arrival *where,
                  int64_t max_age_ms) {
  uint32_t address = ntohl(from->sin_addr.s_addr);
  uint32_t first_octet = address >> 24;
  if (first_octet == 0 || first_octet == 127 || first_octet >= 224) return false;
  if (where != nullptr && where->destination >> 24 == 127) return false;

  current_interfaces(&judge->interfaces, max_age_ms);
  if (judge->verdicts_generation != judge->interfaces.generation) {
    judge->verdicts_generation = judge->interfaces.generation;
    judge->loopback_index = loopback_index(&judge->interfaces);
    judge->count = 0;
    judge->next = 0;
  }
  // Over loopback only this host sends, from whatever address it has now.
  if (where != nullptr && where->index != 0 && where->index == judge->loopback_index) return false;
  for (size_t i = 0; i < judge->count; ++i)
    if (judge->address[i] == from->sin_addr.s_addr) return judge->possible[i];

  const bool possible = !is_own_address(&judge->interfaces, address);
  size_t slot = judge->count < VERDICTS_MAX ? judge->count++ : judge->next;
  judge->next = (slot + 1) % VERDICTS_MAX;
  judge->address[slot] = from->sin_addr.s_addr;
  judge->possible[slot] = possible;
  return possible;
}

}  // namespace

bool may_be_unit(sender_judge *judge, const sockaddr_in *from, const arrival *where) {
  return judge_sender(judge, from, where, VERDICTS_LAST_MS);
}

bool may_be_unit_now(sender_judge *judge, const sockaddr_in *from, const arrival *where) {
  return judge_sender(judge, from, where, 0);
}
