// SPDX-License-Identifier: MIT
#include "hosts_file.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "file_io.h"

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
    if (room < sizeof cut_mark - 1) {
      name[0] = '\0';  // not even the cut mark fits: the name is left out
    } else {
      name_length = escape_name_within(empeg->name, name, room - (sizeof cut_mark - 1));
      memcpy(name + name_length, cut_mark, sizeof cut_mark);
    }
  }
  return entry_line(empeg, empeg_name, name, out, size);
}

namespace {

// The copy follows the piece rule that tests/piece_model.h states plainly and
// that the unit tests and the fuzzer hold it against: a line is examined in
// pieces of at most HOSTS_PIECE_MAX (8194) bytes, its line break counted, and
// every piece that holds the marker becomes the entry. The size is the hosts
// file format's: which lines a run replaces depends on it, and files edited
// by earlier runs count on that, so it stays as it is. An entry line is far
// shorter (HOSTS_LINE_MAX, or the longest host name and the fields around
// it), so it always lies within one piece and a later run finds it.
//
// The file is copied in large blocks and searched for the marker across each
// block; the rule is applied only where a marker is found. Pieces start at a
// line start and every HOSTS_PIECE_MAX bytes after it, so a marker's piece is
// known from the start of its line, which is kept as a file offset because a
// long line may have left the buffer. Output lags the search by less than a
// piece, since the piece of a later marker can start up to a piece's length
// before it.

// What a copy replaces, with what, and where it says so.
struct piece_edit {
  const char *marker;
  size_t marker_length;
  const char *entry;
  size_t entry_length;
  const char *empeg_name;
  const char *hosts_file;
  FILE *err;
};

// The part of the file in the buffer. Offsets into `buf`, except `base` and
// `line_start`, which are file offsets.
struct window {
  char *buf;          // BLOCK_SIZE bytes
  size_t length;      // bytes read into buf
  size_t written;     // buf[0, written) has been copied out
  size_t scan;        // buf[0, scan) has been searched
  off_t base;         // the file offset of buf[0]
  off_t line_start;   // the file offset of the line that holds buf[scan]
  bool at_end;        // the whole file has been read
};

// Reads more of the file into the room left. Returns 1, or 0 after
// reporting the failure.
int fill(window *w, int in) {
  ssize_t got = read_some(in, w->buf + w->length, BLOCK_SIZE - w->length);
  if (got == -1) return 0;
  w->at_end = got == 0;
  w->length += static_cast<size_t>(got);
  return 1;
}

// Moves the search on to `to`, keeping track of the lines it passes.
void advance(window *w, size_t to) {
  const char *last = last_of(w->buf + w->scan, '\n', to - w->scan);
  if (last != nullptr) w->line_start = w->base + (last - w->buf) + 1;
  w->scan = to;
}

// The buffer offset of the piece that holds buf[at], on the line of `scan`.
size_t piece_start(const window *w, size_t at) {
  off_t offset = w->base + static_cast<off_t>(at);
  off_t into_line = offset - w->line_start;
  return static_cast<size_t>(w->line_start + into_line / HOSTS_PIECE_MAX * HOSTS_PIECE_MAX -
                             w->base);
}

// Acts on the marker that the search has reached at buf[scan]: writes the
// entry in place of the piece that holds it, or, when the marker straddles
// two pieces and so neither holds it, passes its first byte. FAILED is
// reported.
enum class piece_outcome { REPLACED, PASSED, FAILED };

piece_outcome replace_piece(window *w, int out, const piece_edit *edit) {
  const size_t start = piece_start(w, w->scan);
  const size_t after = w->scan + edit->marker_length;
  if (after > start + HOSTS_PIECE_MAX) {
    ++w->scan;
    return piece_outcome::PASSED;
  }
  size_t limit = min_of(start + HOSTS_PIECE_MAX, w->length);
  const void *newline = memchr(w->buf + after, '\n', limit - after);
  size_t end = newline == nullptr ? limit : static_cast<const char *>(newline) - w->buf + 1;

  if (edit->err != nullptr)
    fprintf(edit->err, "Modifying entry for %s in %s\n", edit->empeg_name, edit->hosts_file);
  // A line that ended in a carriage return, as Windows ends lines, still does.
  const bool crlf = newline != nullptr && w->buf[end - 2] == '\r';
  if (!write_all(out, w->buf + w->written, start - w->written) ||
      !write_all(out, edit->entry, edit->entry_length - (crlf ? 1 : 0)) ||
      (crlf && !write_all(out, "\r\n", 2)))
    return piece_outcome::FAILED;
  w->written = w->scan = end;
  if (newline != nullptr) w->line_start = w->base + static_cast<off_t>(end);
  return piece_outcome::REPLACED;
}

// Searches the window as far as a marker's whole piece is sure to be in it:
// all of it once the file has been read, counting the pieces replaced in
// `replaced`. Returns 1, or 0 after reporting a failure.
int search_window(window *w, int out, const piece_edit *edit, int *replaced) {
  const size_t reach = HOSTS_PIECE_MAX + edit->marker_length;
  const size_t horizon = w->at_end ? w->length : w->length > reach ? w->length - reach : 0;
  while (w->scan < horizon) {
    const void *hit =
        memmem(w->buf + w->scan, w->length - w->scan, edit->marker, edit->marker_length);
    size_t found = hit == nullptr ? w->length : static_cast<const char *>(hit) - w->buf;
    advance(w, min_of(found, horizon));
    if (found >= horizon) break;
    switch (replace_piece(w, out, edit)) {
      case piece_outcome::REPLACED:
        ++*replaced;
        break;
      case piece_outcome::PASSED:
        break;
      case piece_outcome::FAILED:
        return 0;
    }
  }
  return 1;
}

// Copies out what no later piece can start in, everything before the piece
// that holds `scan`, and moves the rest to the front of the buffer to make
// room. Returns 1, or 0 after reporting a failed write.
int settle(window *w, int out) {
  size_t settled = static_cast<size_t>(max_of<off_t>(w->line_start - w->base, 0));
  if (w->scan >= HOSTS_PIECE_MAX) settled = max_of(settled, w->scan - (HOSTS_PIECE_MAX - 1));
  if (w->at_end) settled = w->length;
  settled = min_of(max_of(settled, w->written), w->scan);
  if (!write_all(out, w->buf + w->written, settled - w->written)) return 0;
  memmove(w->buf, w->buf + settled, w->length - settled);
  w->base += static_cast<off_t>(settled);
  w->length -= settled;
  w->scan -= settled;
  w->written = 0;
  return 1;
}

// Copies `in` to `out` through `buf` of BLOCK_SIZE bytes, making `edit` and
// counting the pieces replaced in `replaced`. Returns 1, or 0 after
// reporting a failure.
int copy_pieces(int in, int out, const piece_edit *edit, char *buf, int *replaced) {
  window w = {};
  w.buf = buf;
  while (!w.at_end || w.scan < w.length) {
    if (!w.at_end && !fill(&w, in)) return 0;
    if (!search_window(&w, out, edit, replaced) || !settle(&w, out)) return 0;
  }
  return 1;
}

// rewrite_hosts, announcing on `err` unless it is null.
int rewrite(int in, int out, const empeg_info *empeg, const char *empeg_name,
            const char *hosts_file, FILE *err) {
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
    const piece_edit edit = {marker, strlen(marker), entry + 1, entry_length,
                             empeg_name, hosts_file, err};
    int replaced = 0;
    ok = copy_pieces(in, out, &edit, buf, &replaced);
    if (ok && replaced == 0) {
      if (err != nullptr) fprintf(err, "Appending entry for %s to %s\n", empeg_name, hosts_file);
      ok = write_all(out, entry, entry_length + 1);
    }
  }
  free(entry);
  free(buf);
  return ok;
}

}  // namespace

int rewrite_hosts(int in, int out, const empeg_info *empeg, const char *empeg_name,
                  const char *hosts_file, FILE *err) {
  return rewrite(in, out, empeg, empeg_name, hosts_file, err);
}

int rewrite_hosts_silently(int in, int out, const empeg_info *empeg, const char *empeg_name) {
  return rewrite(in, out, empeg, empeg_name, nullptr, nullptr);
}
