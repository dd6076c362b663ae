// SPDX-License-Identifier: MIT
#include "hosts_file.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "file_io.h"
#include "replace_file.h"

namespace {

// Large enough that copying costs few system calls, small enough to stay in
// the cache and keep the process within a few megabytes whatever the size of
// the file.
constexpr size_t BLOCK_SIZE = 256 << 10;

// The last `byte` among the `length` bytes at `data`, or null; memrchr is
// not in every C library. Searched from the end, it stops within a line.
const char *last_of(const char *data, char byte, size_t length) {
  for (size_t i = length; i > 0; --i)
    if (data[i - 1] == byte) return data + i - 1;
  return nullptr;
}

template <typename T>
T min_of(T a, T b) { return b < a ? b : a; }
template <typename T>
T max_of(T a, T b) { return a < b ? b : a; }

}  // namespace

namespace {

size_t entry_line(const empeg_info *empeg, const char *empeg_name,
                  const char *shown_name, char *out, size_t size) {
  // A null `out` with a size of 0 is how snprintf measures; cppcheck's model
  // of snprintf does not know that.
  // cppcheck-suppress [nullPointer, ctunullpointer]
  int length = snprintf(out, size,
                        "%d.%d.%d.%d %s # Empeg: Serial=%d Name=%s [EMPEG-%d-EMPEG]\n",
                        empeg->ip[0], empeg->ip[1], empeg->ip[2], empeg->ip[3],
                        empeg_name, empeg->serial, shown_name, empeg->serial);
  return length < 0 ? 0 : static_cast<size_t>(length);
}

}  // namespace

void format_marker(int serial, char *out) {
  snprintf(out, HOSTS_MARKER_SIZE, "EMPEG-%d-EMPEG", serial);
}

size_t format_entry(const empeg_info *empeg, const char *empeg_name, char *out,
                    size_t size) {
  static const char cut_mark[] = "...";
  char name[ESCAPED_NAME_SIZE];
  size_t name_length = escape_name_within(empeg->name, name, ESCAPED_NAME_SIZE - 1);
  size_t others = entry_line(empeg, empeg_name, "", nullptr, 0);
  size_t room = others < HOSTS_LINE_MAX ? HOSTS_LINE_MAX - others : 0;
  if (name_length > room) {
    size_t kept = room > sizeof cut_mark - 1 ? room - (sizeof cut_mark - 1) : 0;
    name_length = escape_name_within(empeg->name, name, kept);
    memcpy(name + name_length, cut_mark, sizeof cut_mark);
  }
  return entry_line(empeg, empeg_name, name, out, size);
}

namespace {

// The file is copied in large blocks and searched for the marker across each
// block; the piece rule is applied only where a marker is found. Pieces start
// at a line start and every HOSTS_PIECE_MAX bytes after it, so a marker's
// piece is known from the start of its line, which is tracked as an absolute
// offset because a long line may have left the buffer. Output lags the search
// by less than a piece, since the piece of a later marker can start up to a
// piece's length before it.
//
// Returns the number of pieces replaced, or -1 after reporting a failure.
int copy_pieces(int in, int out, const char *marker, const char *entry,
                size_t entry_length, char *buf, const char *empeg_name,
                const char *hosts_file, FILE *err) {
  const size_t marker_length = strlen(marker);

  // Offsets into buf, except `base` (the file offset of buf[0]) and
  // `line_start` (the file offset of the line that holds `scan`).
  size_t length = 0, written = 0, scan = 0;
  off_t base = 0, line_start = 0;
  bool at_end = false;
  int replaced = 0;

  auto note_lines = [&](size_t from, size_t to) {
    const char *last = last_of(buf + from, '\n', to - from);
    if (last != nullptr) line_start = base + (last - buf) + 1;
  };

  while (!at_end || scan < length) {
    if (!at_end) {
      ssize_t got = read_some(in, buf + length, BLOCK_SIZE - length);
      if (got == -1) return -1;
      at_end = got == 0;
      length += static_cast<size_t>(got);
    }

    // A marker found before `horizon` has all of its piece in the buffer.
    size_t reach = HOSTS_PIECE_MAX + marker_length;
    size_t horizon = at_end ? length : length > reach ? length - reach : 0;
    while (scan < horizon) {
      const void *hit = memmem(buf + scan, length - scan, marker, marker_length);
      size_t found = hit == nullptr ? length : static_cast<const char *>(hit) - buf;
      if (found >= horizon) {
        note_lines(scan, horizon);
        scan = horizon;
        break;
      }
      note_lines(scan, found);
      off_t offset = base + static_cast<off_t>(found);
      size_t piece_start = static_cast<size_t>(
          line_start + (offset - line_start) / HOSTS_PIECE_MAX * HOSTS_PIECE_MAX - base);
      if (found + marker_length > piece_start + HOSTS_PIECE_MAX) {
        // Straddles two pieces, so neither holds it.
        scan = found + 1;
        continue;
      }
      size_t piece_limit = min_of(piece_start + HOSTS_PIECE_MAX, length);
      size_t after = found + marker_length;
      const void *newline = memchr(buf + after, '\n', piece_limit - after);
      size_t piece_end = newline == nullptr
                             ? piece_limit
                             : static_cast<const char *>(newline) - buf + 1;

      fprintf(err, "Modifying entry for %s in %s\n", empeg_name, hosts_file);
      if (!write_all(out, buf + written, piece_start - written) ||
          !write_all(out, entry, entry_length))
        return -1;
      ++replaced;
      written = scan = piece_end;
      if (newline != nullptr) line_start = base + static_cast<off_t>(piece_end);
    }

    // Everything before the piece that holds `scan` is settled.
    size_t settled = static_cast<size_t>(max_of<off_t>(line_start - base, 0));
    if (scan >= HOSTS_PIECE_MAX) settled = max_of(settled, scan - (HOSTS_PIECE_MAX - 1));
    if (at_end) settled = length;
    settled = min_of(max_of(settled, written), scan);
    if (!write_all(out, buf + written, settled - written)) return -1;
    memmove(buf, buf + settled, length - settled);
    base += static_cast<off_t>(settled);
    length -= settled;
    scan -= settled;
    written = 0;
  }

  return replaced;
}

}  // namespace

int rewrite_hosts(int in, int out, const empeg_info *empeg,
                  const char *empeg_name, const char *hosts_file, FILE *err) {
  char marker[HOSTS_MARKER_SIZE];
  format_marker(empeg->serial, marker);
  // The leading line break is for an entry appended at the end.
  size_t entry_length = format_entry(empeg, empeg_name, nullptr, 0);
  char *entry = static_cast<char *>(malloc(entry_length + 2));
  char *buf = static_cast<char *>(malloc(BLOCK_SIZE));
  int ok = 0;
  if (entry == nullptr || buf == nullptr) {
    perror("malloc");
  } else {
    entry[0] = '\n';
    format_entry(empeg, empeg_name, entry + 1, entry_length + 1);
    int replaced = copy_pieces(in, out, marker, entry + 1, entry_length, buf,
                               empeg_name, hosts_file, err);
    if (replaced == 0)
      fprintf(err, "Appending entry for %s to %s\n", empeg_name, hosts_file);
    ok = replaced > 0 || (replaced == 0 && write_all(out, entry, entry_length + 1));
  }
  free(entry);
  free(buf);
  return ok;
}

int update_hosts_file(const char *hosts_file, const empeg_info *empeg,
                      const char *empeg_name, int lock_wait_seconds) {
  replacement r;
  if (!begin_replacement(&r, hosts_file, lock_wait_seconds)) return 0;
  for (;;) {
    int result = end_replacement(
        &r, rewrite_hosts(r.in, r.out, empeg, empeg_name, hosts_file, stderr));
    // -1: another program replaced the file meanwhile; its lines are kept by
    // rewriting the new file.
    if (result != -1) return result;
  }
}
