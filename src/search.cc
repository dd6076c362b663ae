// SPDX-License-Identifier: MIT
#include "search.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include "advice.h"
#include "deadline.h"
#include "discovery.h"
#include "hosts_file.h"
#include "senders.h"
#include "text.h"

namespace {

// The largest datagram a unit's reply can be; one byte more stays zero so
// that the received text is always terminated.
constexpr size_t RECEIVE_CAPACITY = 65500;

// What a search holds from the opening of its socket to its end.
struct search_state {
  int sock;
  interface_list probed_interfaces;  // as they were when the probe was sent
  sender_judge judge;
  probe_report report;
};

// A hosts file and a name are given together or not at all.
int names_are_paired(const search_settings *settings) {
  if ((settings->hosts_file == nullptr) == (settings->empeg_name == nullptr)) return 1;
  fputs("Must have both a hosts filename and an empeg name!\n", stderr);
  return 0;
}

int open_search(const search_settings *settings, search_state *search) {
  fprintf(stderr, "Broadcasting to: %s\n", settings->broadcast_address);
  search->sock = open_listen_socket(DISCOVERY_PORT);
  if (search->sock == -1) {
    fputs("Unable to open listen socket.\n", stderr);
    return 0;
  }
  return 1;
}

// Sends the probe out of the interfaces as they are now, which the advice
// describes after a silent search and the judge of senders starts from.
int probe(const search_settings *settings, search_state *search) {
  static const char probe_text[2] = {'?', '\0'};
  search->report.text = settings->broadcast_address;
  search->report.timeout = settings->timeout;
  current_interfaces(&search->probed_interfaces, 0);
  search->report.sent =
      send_probe(search->sock, settings->broadcast_address, probe_text, sizeof probe_text,
                 &search->probed_interfaces, &search->report.probed);
  (void)copy_interfaces(&search->probed_interfaces, &search->judge.interfaces);
  if (search->report.sent) return 1;
  fputs("Unable to send broadcast.\n", stderr);
  say_where_to_look(stderr, &search->probed_interfaces, &search->report);
  return 0;
}

// Reports every unit that answers until one is accepted into `empeg`.
// Returns 1 then, or 0 once the wait has ended without one.
int find_unit(const search_settings *settings, search_state *search, empeg_info *empeg) {
  char buffer[RECEIVE_CAPACITY + 1];
  buffer[RECEIVE_CAPACITY] = '\0';
  sockaddr_in from = {};
  arrival where = {};
  unit_record heard = {};
  bool passed_over = false;  // a unit beyond the record's room answered
  // Only a reply from a unit not heard before starts a fresh wait, so that
  // nothing else on the network can keep the run going.
  timespec deadline = deadline_after(settings->timeout);
  for (;;) {
    int64_t left_ms = milliseconds_until(deadline);
    if (left_ms == 0 ||
        !receive_datagram(search->sock, buffer, RECEIVE_CAPACITY, left_ms, &from, &where)) {
      printf("No more replies.  Giving up...\n");
      // The advice on stderr belongs after this line wherever both go.
      fflush(stdout);
      if (heard.count == 0) say_where_to_look(stderr, &search->probed_interfaces, &search->report);
      if (passed_over)
        fprintf(stderr, "More units answered than the %zu listed.\n", UNITS_MAX);
      return 0;
    }
    if (!parse_reply(buffer, empeg, &from)) continue;
    // A unit already reported costs no more than junk: no line, no longer
    // wait. Past the record's room only the unit wanted is taken.
    const bool wanted = settings->serial == 0 || settings->serial == empeg->serial;
    if (heard_unit(&heard, from.sin_addr.s_addr, empeg->serial)) continue;
    if (heard.count == UNITS_MAX && !wanted) {
      passed_over = passed_over || may_be_unit(&search->judge, &from, &where);
      continue;
    }
    // The cached verdict turns a flood away cheaply; a sender it lets pass
    // is judged again with the interfaces as they are now, so that an
    // address this host gained meanwhile is known. That read happens at
    // most once for each unit recorded.
    if (!may_be_unit(&search->judge, &from, &where) ||
        !may_be_unit_now(&search->judge, &from, &where))
      continue;
    if (remember_unit(&heard, from.sin_addr.s_addr, empeg->serial))
      deadline = deadline_after(settings->timeout);

    char shown_name[ESCAPED_NAME_SIZE];
    escape_name(empeg->name, shown_name);
    fprintf(stderr, "Found an empeg with serial %0d called \"%s\" at %d.%d.%d.%d\n",
            empeg->serial, shown_name, empeg->ip[0], empeg->ip[1], empeg->ip[2],
            empeg->ip[3]);
    if (wanted) return 1;
  }
}

// What the hosts rewrite needs from the driver.
struct hosts_edit {
  const empeg_info *empeg;
  const char *empeg_name;
  const char *shown;  // the hosts file's path, escaped
  bool announced;     // whether the entry has been announced
};

// Writes the hosts file with the unit's entry. A file that changed meanwhile
// is written again, but the run records the unit once, and says so once.
int write_hosts(int in, int out, void *context) {
  hosts_edit *edit = static_cast<hosts_edit *>(context);
  int ok = edit->announced
               ? rewrite_hosts_silently(in, out, edit->empeg, edit->empeg_name)
               : rewrite_hosts(in, out, edit->empeg, edit->empeg_name, edit->shown, stderr);
  edit->announced = true;
  return ok;
}

// A failure to record is reported but does not fail the run: the unit was
// found and shown. What the update left is told after the failure, or alone.
void record_unit(const search_settings *settings, const empeg_info *empeg) {
  if (settings->hosts_file == nullptr) return;
  replacement_remains remains = {};
  if (!update_hosts_file(settings->hosts_file, empeg, settings->empeg_name,
                         settings->timeout, &remains)) {
    print_escaped(stderr, "Unable to modify ", settings->hosts_file);
  }
  tell_remains(&remains);
  forget_remains(&remains);
}

}  // namespace


int update_hosts_file(const char *hosts_file, const empeg_info *empeg,
                      const char *empeg_name, int lock_wait_seconds,
                      replacement_remains *remains) {
  char *shown = escape_text(hosts_file);
  hosts_edit edit = {empeg, empeg_name, shown == nullptr ? hosts_file : shown, false};
  int ok = replace_file(hosts_file, edit.shown, lock_wait_seconds, write_hosts, &edit, remains);
  free(shown);
  return ok;
}

bool heard_unit(const unit_record *heard, uint32_t address, int32_t serial) {
  for (size_t i = 0; i < heard->count; ++i)
    if (heard->address[i] == address && heard->serial[i] == serial) return true;
  return false;
}

bool remember_unit(unit_record *heard, uint32_t address, int32_t serial) {
  if (heard_unit(heard, address, serial) || heard->count == UNITS_MAX) return false;
  heard->address[heard->count] = address;
  heard->serial[heard->count++] = serial;
  return true;
}

int run_search(const search_settings *settings) {
  if (!names_are_paired(settings)) return 1;
  search_state search = {};
  if (!open_search(settings, &search)) return 1;
  int status = 1;
  empeg_info empeg = {};
  if (probe(settings, &search)) {
    status = 0;
    if (find_unit(settings, &search, &empeg)) {
      forget_interfaces(&search.judge.interfaces);
      forget_interfaces(&search.probed_interfaces);
      record_unit(settings, &empeg);
    }
  }
  forget_interfaces(&search.judge.interfaces);
  forget_interfaces(&search.probed_interfaces);
  close(search.sock);
  return status;
}
