// SPDX-License-Identifier: MIT
#include "hosts_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Large enough that copying costs few system calls, small enough to stay in
// the cache and keep the process within a few megabytes whatever the size of
// the file.
constexpr size_t BLOCK_SIZE = 256 << 10;

template <typename T>
T min_of(T a, T b) { return b < a ? b : a; }
template <typename T>
T max_of(T a, T b) { return a < b ? b : a; }

int write_all(int fd, const char *data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written == -1) {
      if (errno == EINTR) continue;
      perror("write");
      return 0;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return 1;
}

// Reads as much as `length` allows; returns the count, 0 at the end of the
// file, or -1 after reporting the failure.
ssize_t read_some(int fd, char *data, size_t length) {
  for (;;) {
    ssize_t got = read(fd, data, length);
    if (got != -1) return got;
    if (errno == EINTR) continue;
    perror("read");
    return -1;
  }
}

// Returns `head` followed by `tail` in memory from malloc, or null after
// reporting the failure.
char *joined(const char *head, const char *tail) {
  size_t head_length = strlen(head), tail_length = strlen(tail);
  char *out = static_cast<char *>(malloc(head_length + tail_length + 1));
  if (out == nullptr) {
    perror("malloc");
    return nullptr;
  }
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): tail's copy ends it.
  memcpy(out, head, head_length);
  memcpy(out + head_length, tail, tail_length + 1);
  return out;
}

// Opens `path` and takes the exclusive lock on it. A run that had to wait may
// find the path replaced by the run it waited for; it then starts over on the
// new file so that the entry that run wrote is kept.
int open_locked(const char *path, struct stat *held) {
  for (;;) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
      // The name of the call is the one the tool has always reported for a
      // hosts file it cannot open.
      perror("fopen");
      return -1;
    }
    struct stat now;
    const char *failed = nullptr;
    if (flock(fd, LOCK_EX) == -1)
      failed = "flock";
    else if (fstat(fd, held) == -1)
      failed = "fstat";
    if (failed != nullptr) {
      perror(failed);
      close(fd);
      return -1;
    }
    if (stat(path, &now) == 0 && now.st_dev == held->st_dev &&
        now.st_ino == held->st_ino)
      return fd;
    close(fd);
  }
}

// Gives the new copy the previous file's permissions and, where the process
// may, its owner; a hosts file that only root can read breaks every lookup.
int copy_attributes(int fd, const struct stat *from) {
  // Failing to change the owner is expected when not running as root.
  (void)!fchown(fd, from->st_uid, from->st_gid);
  if (fchmod(fd, from->st_mode & 07777) == -1) {
    perror("fchmod");
    return 0;
  }
  return 1;
}

int link_refused(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == EMLINK ||
         error == ENOSYS;
}

// Puts `temp` in place of `path`, keeping the previous file as `backup`. The
// path never stops naming a whole file: the backup is a second link to the
// previous file, and one rename swaps the new copy in. Where the file system
// has no hard links the previous file is renamed away first, and renamed back
// if the new copy cannot follow it.
int swap_in(const char *path, const char *temp, const char *backup) {
  // An old backup that cannot be removed is not reported here: the link or
  // rename below then fails and says why.
  unlink(backup);
  if (link(path, backup) == 0) {
    if (rename(temp, path) == -1) {
      perror("rename");
      return 0;
    }
    return 1;
  }
  if (!link_refused(errno)) {
    perror("link");
    return 0;
  }
  if (rename(path, backup) == -1) {
    perror("rename");
    return 0;
  }
  if (rename(temp, path) == -1) {
    perror("rename");
    // Putting the previous file back is all that is left to try; the failure
    // just reported is the one the caller hears of.
    (void)rename(backup, path);
    return 0;
  }
  return 1;
}

// Makes the swap itself durable. Some file systems cannot sync a directory;
// the new file is in place either way, so that is not a failure.
void sync_directory(const char *path) {
  char *directory = strdup(path);
  if (directory == nullptr) return;
  char *slash = strrchr(directory, '/');
  if (slash != nullptr) slash[slash == directory ? 1 : 0] = '\0';
  int fd = open(slash == nullptr ? "." : directory,
                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  free(directory);
  if (fd == -1) return;
  (void)fsync(fd);
  close(fd);
}

}  // namespace

void format_marker(int serial, char *out) {
  snprintf(out, HOSTS_MARKER_SIZE, "EMPEG-%d-EMPEG", serial);
}

size_t format_entry(const empeg_info *empeg, const char *empeg_name, char *out,
                    size_t size) {
  char name[ESCAPED_NAME_SIZE];
  escape_name(empeg->name, name);
  // A null `out` with a size of 0 is how snprintf measures; cppcheck's model
  // of snprintf does not know that.
  // cppcheck-suppress [nullPointer, ctunullpointer]
  int length = snprintf(out, size,
                        "%d.%d.%d.%d %s # Empeg: Serial=%d Name=%s [EMPEG-%d-EMPEG]\n",
                        empeg->ip[0], empeg->ip[1], empeg->ip[2], empeg->ip[3],
                        empeg_name, empeg->serial, name, empeg->serial);
  return length < 0 ? 0 : static_cast<size_t>(length);
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
    const void *last = memrchr(buf + from, '\n', to - from);
    if (last != nullptr)
      line_start = base + (static_cast<const char *>(last) - buf) + 1;
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
                      const char *empeg_name) {
  struct stat previous;
  int in = open_locked(hosts_file, &previous);
  if (in == -1) return 0;

  char *temp = joined(hosts_file, "XXXXXX");
  char *backup = joined(hosts_file, ".old");
  int out = -1;
  if (temp != nullptr && backup != nullptr) {
    out = mkstemp(temp);
    if (out == -1) perror("mkstemp");
  }
  if (out == -1) {
    free(temp);
    free(backup);
    close(in);
    return 0;
  }

  int ok = copy_attributes(out, &previous) &&
           rewrite_hosts(in, out, empeg, empeg_name, hosts_file, stderr);
  if (ok && fsync(out) == -1) {
    perror("fsync");
    ok = 0;
  }
  if (close(out) == -1 && ok) {
    perror("close");
    ok = 0;
  }
  if (ok) ok = swap_in(hosts_file, temp, backup);
  if (ok)
    sync_directory(hosts_file);
  else
    unlink(temp);
  free(temp);
  free(backup);
  close(in);
  return ok;
}
