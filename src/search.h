// SPDX-License-Identifier: MIT
// The search driver: probes, reports the units that answer until it accepts
// one, and records that unit in a hosts file when asked.
#ifndef UNITFIND_SEARCH_H_
#define UNITFIND_SEARCH_H_

#include <stddef.h>
#include <stdint.h>

#include "empeg_info.h"
#include "replace_file.h"

/// One run's settings. The texts point into the process's arguments.
struct search_settings {
  const char *broadcast_address;
  int32_t serial;  // 0 accepts the first unit that answers
  const char *hosts_file;  // null unless given
  const char *empeg_name;  // null unless given
  int32_t timeout;  // seconds to wait after the probe and after each new unit
};

/// How many distinct units a run remembers; each of them may start one fresh
/// wait.
constexpr size_t UNITS_MAX = 32;

/// The units a run has heard: each a sender's address, in network byte
/// order, with the serial number it gave.
struct unit_record {
  uint32_t address[UNITS_MAX];
  int32_t serial[UNITS_MAX];
  size_t count;
};

/// Whether the unit `serial` at `address` is in `heard`.
bool heard_unit(const unit_record *heard, uint32_t address, int32_t serial);

/// Records the unit `serial` at `address` in `heard`. Returns whether that
/// pair was new and has been added: not when it was heard before, nor once
/// the record is full, so that however many units answer, at most UNITS_MAX
/// replies ever start a fresh wait.
bool remember_unit(unit_record *heard, uint32_t address, int32_t serial);

/// Records `empeg` under `empeg_name` in `hosts_file` (or in the file that a
/// symbolic link of that name leads to), keeping the previous file as that
/// name followed by ".old", as one transaction (replace_file.h): runs take
/// turns, and a file changed meanwhile is read again so that the change is
/// kept. The entry is announced as the first copy is written, a line for
/// each line replaced, and not again. `lock_wait_seconds` bounds the wait
/// for a lock that anyone who can read the file may hold, where runs cannot
/// take turns on a lock file of their own: the tool passes its -t value.
/// Returns 1 on success; 0 after reporting the failure on stderr, in which
/// case the file and its backup are as they were unless `remains` says
/// otherwise. Either way `remains` says what the run left and holds the
/// signals that came meanwhile, for the caller to tell (after its own line)
/// and forget.
int update_hosts_file(const char *hosts_file, const empeg_info *empeg,
                      const char *empeg_name, int lock_wait_seconds,
                      replacement_remains *remains);

/// Probes, reports every unit that answers until one is accepted, and updates
/// the hosts file when one is named. Returns the process's exit status.
int run_search(const search_settings *settings);

#endif  // UNITFIND_SEARCH_H_
