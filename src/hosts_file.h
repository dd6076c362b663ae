// SPDX-License-Identifier: MIT
// Recording a unit in a hosts file: a new copy with the unit's entry written in
// place of the lines an earlier run wrote, swapped in so that the hosts path
// always names a whole file.
#ifndef UNITFIND_HOSTS_FILE_H_
#define UNITFIND_HOSTS_FILE_H_

#include <stddef.h>
#include <stdio.h>

#include "empeg_info.h"
#include "text.h"

/// Lines are examined in pieces of at most this many bytes, the line break
/// counted; a longer line is several pieces.
constexpr size_t HOSTS_PIECE_MAX = 8194;

/// Room for the marker of any serial number with its terminating zero.
constexpr size_t HOSTS_MARKER_SIZE = sizeof "EMPEG--2147483648-EMPEG";

/// Writes the marker that tags the entry of unit `serial` into `out`, which
/// holds HOSTS_MARKER_SIZE bytes.
void format_marker(int serial, char *out);

/// The longest entry line written, its line break included. Readers of a
/// hosts file take a longer line as several: avahi-daemon reads
/// /etc/avahi/hosts in pieces of 255 bytes and publishes the names of each
/// to the whole network, musl's resolver reads 511 bytes at a time. Text a
/// unit sends past that point could start an entry of its choosing.
constexpr size_t HOSTS_LINE_MAX = 255;

/// The longest host name an entry is written for: the most DNS allows. A
/// host name of more than about 178 bytes leaves no room for the unit's name
/// within HOSTS_LINE_MAX; its entry is longer, without that name.
constexpr size_t HOSTS_NAME_MAX = 253;

/// Writes the whole entry line for `empeg` under `empeg_name`, ending in a
/// line break, into `out` of `size` bytes. The unit's name is escaped as
/// escape_name does; where the line would be longer than HOSTS_LINE_MAX, the
/// escaped name is cut between two escapes or characters and ends in "...",
/// so that the line is not; where not even "..." fits, the name is left out,
/// so that no byte the unit sent lies at or past HOSTS_LINE_MAX. `empeg_name`
/// is at most HOSTS_NAME_MAX bytes long. Returns the line's length, or the
/// length it would have had when `out` is too small (as snprintf does).
size_t format_entry(const empeg_info *empeg, const char *empeg_name, char *out,
                    size_t size);

/// Copies the hosts file read from `in` to `out`, writing the unit's entry
/// line in place of every piece that holds its marker (ended by a carriage
/// return and a line break where the piece was), or appending it after a line
/// break when none does. Every other byte passes through, zero bytes
/// included. Announces each replacement, or the append, on `err` with
/// `empeg_name` and `hosts_file`. Returns 1, or 0 after reporting a failed
/// "read" or "write" on stderr.
int rewrite_hosts(int in, int out, const empeg_info *empeg,
                  const char *empeg_name, const char *hosts_file, FILE *err);

/// As rewrite_hosts, announcing nothing: for a file written again after it
/// changed, whose entry was announced the first time.
int rewrite_hosts_silently(int in, int out, const empeg_info *empeg, const char *empeg_name);

#endif  // UNITFIND_HOSTS_FILE_H_
