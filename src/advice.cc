// SPDX-License-Identifier: MIT
#include "advice.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <string.h>

namespace {

// The longest -t worth suggesting: a unit that has not answered within a
// minute is not slow.
constexpr int32_t LONGEST_SUGGESTED = 60;

struct dotted {
  char text[INET_ADDRSTRLEN];
};

dotted show(uint32_t address) {
  dotted out = {};
  in_addr shown = {};
  shown.s_addr = htonl(address);
  inet_ntop(AF_INET, &shown, out.text, sizeof out.text);
  return out;
}

bool same_interface(const host_address *a, const host_address *b) {
  if (a->index != 0 || b->index != 0) return a->index == b->index;
  return strcmp(a->interface, b->interface) == 0;
}

// Whether `entry` is the first of its interface to describe its network, so
// that each network gets one line however many addresses it has there.
bool first_of_its_network(const interface_list *list, size_t at) {
  const host_address *entry = &list->addresses[at];
  network_view view = view_network(entry);
  for (size_t i = 0; i < at; ++i) {
    const host_address *earlier = &list->addresses[i];
    network_view seen = view_network(earlier);
    if ((earlier->flags & IFF_UP) != 0 && same_interface(earlier, entry) &&
        seen.kind == view.kind && seen.broadcast == view.broadcast && seen.peer == view.peer)
      return false;
  }
  return true;
}

// Whether `entry` gets a line: an address of an interface that is up, on a
// network it can broadcast on or with a peer.
bool listed(const interface_list *list, size_t at) {
  const host_address *entry = &list->addresses[at];
  return (entry->flags & IFF_UP) != 0 && view_network(entry).kind != network_view::NONE &&
         first_of_its_network(list, at);
}

// Counts of the listed networks.
struct tally {
  int lines;
  int linked_broadcast;  // those a broadcast probe reaches
  int matched;           // those whose broadcast address is the one probed
  int matched_linked;
  int own;               // whether the probed address is this host's
};

tally list_networks(FILE *err, const interface_list *list, uint32_t target) {
  tally count = {};
  for (size_t i = 0; i < list->count; ++i) {
    const host_address *entry = &list->addresses[i];
    if (entry->address == target) count.own = 1;
    if (!listed(list, i)) continue;
    if (count.lines++ == 0)
      fputs("This host's IPv4 networks, and the option that probes each:\n", err);
    network_view view = view_network(entry);
    const char *no_link = has_link(entry) ? "" : ", but it has no link";
    if (view.kind == network_view::PEER) {
      fprintf(err, "  %s: %s, whose peer %s is probed alone with -b%s%s\n", entry->interface,
              show(entry->address).text, show(view.peer).text, show(view.peer).text, no_link);
      continue;
    }
    fprintf(err, "  %s: %s/%u, probed with -b%s%s\n", entry->interface, show(entry->address).text,
            view.prefix_length, show(view.broadcast).text, no_link);
    count.linked_broadcast += has_link(entry);
    if (view.broadcast == target) {
      ++count.matched;
      count.matched_linked += has_link(entry);
    }
  }
  return count;
}

// The interfaces whose network has the broadcast address `target`, as
// "a", "a and b" or "a, b and c".
void name_matches(FILE *err, const interface_list *list, uint32_t target, int matched) {
  int named = 0;
  for (size_t i = 0; i < list->count; ++i) {
    const host_address *entry = &list->addresses[i];
    network_view view = view_network(entry);
    if (!listed(list, i) || view.kind != network_view::BROADCAST || view.broadcast != target)
      continue;
    ++named;
    fprintf(err, "%s%s", named == 1 ? "" : named == matched ? " and " : ", ", entry->interface);
  }
}

void say_causes(FILE *err, const char *first_cause, int32_t timeout) {
  if (timeout < 0) {
    fprintf(err, "-t%d gave the unit no time to answer: try -t10.\n", timeout);
    return;
  }
  fprintf(err,
          "No unit answered there. Perhaps:\n"
          "  %s;\n"
          "  a firewall drops incoming UDP datagrams to port 8300;\n",
          first_cause);
  if (timeout >= LONGEST_SUGGESTED) return;
  int32_t longer = timeout < 10 ? 10 : timeout > LONGEST_SUGGESTED / 3 ? LONGEST_SUGGESTED
                                                                         : timeout * 3;
  fprintf(err, "  the unit takes longer than %d second%s to answer: try -t%d.\n", timeout,
          timeout == 1 ? "" : "s", longer);
}

}  // namespace

void say_where_to_look(FILE *err, const interface_list *probed_list, const probe_report *report) {
  const interface_list none = {};
  const interface_list *interfaces = probed_list;
  if (probed_list->addresses == nullptr) {
    if (probed_list->failure_reported) return;
    interfaces = &none;
  }
  const uint32_t target = ntohl(report->probed.s_addr);
  const bool looked_up = report->sent || target != INADDR_ANY;
  tally count = list_networks(err, interfaces, looked_up ? target : INADDR_ANY);
  if (count.lines == 0)
    fputs("This host has no IPv4 network that is up and can broadcast.\n", err);
  else if (count.linked_broadcast > 1)
    fputs(count.lines == count.linked_broadcast
              ? "  -b255.255.255.255 probes all of them at once.\n"
              : "  -b255.255.255.255 probes all of them that can broadcast and have a link.\n",
          err);

  const char *probe_one = count.lines == 0 ? "" : ": probe one of these networks with its -b option";
  if (report->text[0] == '\0') {
    fprintf(err, "-b was given no address%s.\n", probe_one);
    return;
  }
  if (!looked_up) return;
  const dotted probed = show(target);
  if (target == INADDR_BROADCAST) {
    if (count.linked_broadcast == 0) {
      fputs("No network here can be probed: none that can broadcast has a link.\n", err);
      return;
    }
    fputs(count.lines == count.linked_broadcast
              ? "The probe went to every one of these networks.\n"
              : "The probe went to every one of these networks that can broadcast and has a link.\n",
          err);
    if (report->sent) say_causes(err, "the unit is off, or on another network", report->timeout);
    return;
  }
  if (target >> 24 == 0 || target >> 24 == 127 || count.own) {
    fprintf(err, "%s reaches only this host%s.\n", probed.text, probe_one);
    return;
  }
  if (count.matched > 0) {
    fprintf(err, "%s is on the network of ", probed.text);
    name_matches(err, interfaces, target, count.matched);
    fputs(count.matched_linked == 0 ? ", which has no link.\n" : ".\n", err);
    if (report->sent && count.matched_linked > 0)
      say_causes(err, "the unit is off, or on another network", report->timeout);
    return;
  }
  if (!report->sent) {
    fprintf(err, "%s is not the broadcast address of any network here%s.\n", probed.text,
            probe_one);
    return;
  }
  fprintf(err, "%s is not the broadcast address of any network here; it was probed as a single host.\n",
          probed.text);
  say_causes(err, "no unit has that address, or it is off", report->timeout);
}
