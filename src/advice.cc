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
// that each network gets one line however many addresses it has there. A
// network without a broadcast address or peer is each address's own.
bool first_of_its_network(const interface_list *list, size_t at) {
  const host_address *entry = &list->addresses[at];
  network_view view = view_network(entry);
  if (view.broadcast == 0 && view.peer == 0) return true;
  for (size_t i = 0; i < at; ++i) {
    const host_address *earlier = &list->addresses[i];
    network_view seen = view_network(earlier);
    if ((earlier->flags & IFF_UP) != 0 && same_interface(earlier, entry) &&
        seen.kind == view.kind && seen.broadcast == view.broadcast && seen.peer == view.peer &&
        seen.prefix_length == view.prefix_length)
      return false;
  }
  return true;
}

// Whether `entry` gets a line: an address of an interface that is up, other
// than loopback.
bool listed(const interface_list *list, size_t at) {
  const host_address *entry = &list->addresses[at];
  return (entry->flags & IFF_UP) != 0 && view_network(entry).kind != network_kind::LOOPBACK &&
         first_of_its_network(list, at);
}

// Whether `target` is a host on the network of `entry`: its peer, or an
// address within its prefix.
bool holds_host(const host_address *entry, uint32_t target) {
  network_view view = view_network(entry);
  if (view.peer != 0) return target == view.peer;
  const uint32_t mask = prefix_mask(view.prefix_length);
  return view.prefix_length < 32 && (target & mask) == (entry->address & mask);
}

// Counts of the listed networks.
struct tally {
  int lines;
  int linked_broadcast;  // those a broadcast probe reaches
  int matched;           // those whose broadcast address is the one probed
  int matched_probed;    // of them, those the probe reached
  int matched_linked;    // of them, those whose interface has a link
  int holding;           // those on which the probed address is a host
  int holding_linked;
  int own;               // whether the probed address is this host's
};

void list_network(FILE *err, const host_address *entry) {
  network_view view = view_network(entry);
  const char *no_link = has_link(entry) ? "" : ", but it has no link";
  const dotted address = show(entry->address);
  if (view.kind != network_kind::BROADCAST && view.peer != 0) {
    fprintf(err, "  %s: %s, whose peer %s is probed alone with -b%s%s\n", entry->interface,
            address.text, show(view.peer).text, show(view.peer).text, no_link);
  } else if (view.kind != network_kind::BROADCAST) {
    // Point-to-point, or without ARP, so that a broadcast would go to the
    // interface's own link address.
    fprintf(err, "  %s: %s/%u, not probed: it cannot broadcast%s\n", entry->interface,
            address.text, view.prefix_length, no_link);
  } else {
    // A /31 or /32 has no broadcast address of its own.
    fprintf(err, "  %s: %s/%u, probed with -b%s%s\n", entry->interface, address.text,
            view.prefix_length, show(view.broadcast != 0 ? view.broadcast : INADDR_BROADCAST).text,
            no_link);
  }
}

tally list_networks(FILE *err, const interface_list *list, uint32_t target) {
  tally count = {};
  for (size_t i = 0; i < list->count; ++i) {
    const host_address *entry = &list->addresses[i];
    if (entry->address == target) count.own = 1;
    if (!listed(list, i)) continue;
    if (count.lines++ == 0)
      fputs("This host's IPv4 networks, and the option that probes each:\n", err);
    list_network(err, entry);
    network_view view = view_network(entry);
    count.linked_broadcast += takes_broadcast(entry);
    if (view.broadcast != 0 && view.broadcast == target) {
      ++count.matched;
      count.matched_probed += takes_broadcast(entry);
      count.matched_linked += has_link(entry);
    } else if (holds_host(entry, target)) {
      ++count.holding;
      count.holding_linked += has_link(entry);
    }
  }
  return count;
}

bool broadcasts_to(const host_address *entry, uint32_t target) {
  network_view view = view_network(entry);
  return view.broadcast != 0 && view.broadcast == target;
}

// The interfaces of the listed networks whose broadcast address is
// `target`, or else on which it is a host, as "a", "a and b" or "a, b and c".
void name_interfaces(FILE *err, const interface_list *list, uint32_t target, bool by_broadcast) {
  int named = 0;
  int total = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < list->count; ++i) {
      const host_address *entry = &list->addresses[i];
      if (!listed(list, i) || broadcasts_to(entry, target) != by_broadcast ||
          (!by_broadcast && !holds_host(entry, target)))
        continue;
      if (pass == 0) {
        ++total;
        continue;
      }
      ++named;
      fprintf(err, "%s%s", named == 1 ? "" : named == total ? " and " : ", ", entry->interface);
    }
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
      if (!report->sent) {
        fputs("No network here can be probed: none that can broadcast has a link.\n", err);
        return;
      }
      // Nothing was planned, so the datagram went by the routes alone.
      fputs("The probe went only as the routes say.\n", err);
    } else {
      fputs(count.lines == count.linked_broadcast
                ? "The probe went to every one of these networks.\n"
                : "The probe went to every one of these networks that can broadcast and has a "
                  "link.\n",
            err);
    }
    if (report->sent) say_causes(err, "the unit is off, or on another network", report->timeout);
    return;
  }
  if (target >> 24 == 0 || target >> 24 == 127 || count.own) {
    fprintf(err, "%s reaches only this host%s.\n", probed.text, probe_one);
    return;
  }
  if (count.matched > 0) {
    fprintf(err, "%s is on the network of ", probed.text);
    name_interfaces(err, interfaces, target, true);
    if (count.matched_probed > 0) {
      fputs(".\n", err);
      if (report->sent) say_causes(err, "the unit is off, or on another network", report->timeout);
    } else {
      fputs(count.matched_linked == 0 ? ", which has no link.\n" : ", which cannot broadcast.\n",
            err);
    }
    return;
  }
  if (!report->sent) {
    fprintf(err, "%s is not the broadcast address of any network here%s.\n", probed.text,
            probe_one);
    return;
  }
  fprintf(err, "%s is not the broadcast address of any network here; it was probed as a single host.\n",
          probed.text);
  if (count.holding > 0 && count.holding_linked == 0) {
    fprintf(err, "%s is on the network of ", probed.text);
    name_interfaces(err, interfaces, target, false);
    fputs(", which has no link.\n", err);
    return;
  }
  say_causes(err, "no unit has that address, or it is off", report->timeout);
}
