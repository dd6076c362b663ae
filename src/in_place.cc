// SPDX-License-Identifier: MIT
// Rewriting a file that is mounted over its name, which no rename can
// replace.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "file_io.h"
#include "platform.h"
#include "replacement.h"
#include "text.h"

namespace replacing {

namespace {

// How much of each file first_difference reads at a time.
constexpr size_t COMPARE_BLOCK = 128 << 10;

// Writes the contents of `from` from offset `at` on over the same offsets of
// `fd` and cuts it to their length: what lies before `at` is the same in
// both. Returns 1, or 0 after reporting the failure.
int overwrite(int fd, int from, off_t at) {
  struct stat st;
  return (fstat(from, &st) == 0 || report("fstat")) && copy_contents_from(from, fd, at) &&
         (ftruncate(fd, st.st_size) == 0 || report("ftruncate")) && flush(fd);
}

// Finds the first offset at which the contents of `a` and `b` differ, or
// where the shorter ends. Returns it, or -1 after reporting.
off_t first_difference(int a, int b) {
  char *one = static_cast<char *>(malloc(2 * COMPARE_BLOCK));
  if (one == nullptr) {
    report("malloc");
    return -1;
  }
  char *two = one + COMPARE_BLOCK;
  off_t at = 0;
  for (;;) {
    ssize_t got_a = pread(a, one, COMPARE_BLOCK, at), got_b = pread(b, two, COMPARE_BLOCK, at);
    if (got_a == -1 || got_b == -1) {
      if (errno == EINTR) continue;
      report("read");
      at = -1;
      break;
    }
    size_t same = 0, length = static_cast<size_t>(got_a < got_b ? got_a : got_b);
    while (same < length && one[same] == two[same]) ++same;
    at += static_cast<off_t>(same);
    if (same < length || got_a != got_b || length == 0) break;
  }
  free(one);
  return at;
}

}  // namespace

// Whether the file is mounted over its name (a container's /etc/hosts), so
// that no rename can replace it: it lies on another mount than the directory
// that holds it. Where the mount cannot be told, a rename finds out.
bool mounted_over(const replacement *r) { return platform_mounted_apart(r->dir, r->base); }

namespace {

// A file mounted over its name cannot be renamed over, so its contents are
// rewritten through `fd`, the file being as `expected` says. The space is
// reserved first, so that a full disk stops the update before a byte
// changes; then a flushed copy of the file, `*backup_copy`, becomes its backup, its
// name synced, so that a crash during the rewrite leaves the contents just
// replaced there; and only a file that nobody changed meanwhile is
// rewritten. A failure on the way writes the previous contents back, and if
// even that fails the file may be damaged, which r->remains says.
commit_outcome rewrite_in_place(replacement *r, int fd, const struct stat *expected,
                                     const char *backup, int *backup_copy) {
  struct stat now, next, reserved;
  if (fstat(fd, &now) != 0 || fstat(r->out, &next) != 0) {
    report("fstat");
    return commit_outcome::FAILED;
  }
  if (!unchanged(&now, expected)) return commit_outcome::START_OVER;
  const char *failed = nullptr;
  if (!platform_reserve(fd, next.st_size, &failed)) {
    // An emulated reservation may have grown the file before it failed.
    int error = errno;
    (void)!ftruncate(fd, now.st_size);
    errno = error;
    report(failed);
    return commit_outcome::FAILED;
  }
  // A reservation moves the file's times: nothing else may have moved.
  if (fstat(fd, &reserved) != 0) {
    report("fstat");
    return commit_outcome::FAILED;
  }
  if (!unchanged_but_times(&reserved, &now)) return commit_outcome::START_OVER;
  *backup_copy = copy_previous_else_private(r, &r->kept, &reserved);
  if (*backup_copy == -1) return commit_outcome::FAILED;
  if (renameat(r->dir, r->kept.name, r->dir, backup) != 0) {
    report("rename");
    return commit_outcome::FAILED;
  }
  drop_name(r, &r->kept);
  (void)sync_directory(r);
  if (fstat(fd, &now) != 0) {
    report("fstat");
    return commit_outcome::FAILED;
  }
  if (!unchanged(&now, &reserved)) return commit_outcome::START_OVER;
  // Only what changes is written, so that a kill or a reader can meet no
  // damage before that point; for an appended entry, only the new tail.
  off_t at = first_difference(*backup_copy, r->out);
  struct stat kept;
  if (at == -1 || fstatat(r->dir, backup, &kept, AT_SYMLINK_NOFOLLOW) != 0 ||
      !journal_rewrite(r, &kept, backup))
    return at == -1 ? commit_outcome::FAILED : (report("fstat"), commit_outcome::FAILED);
  if (overwrite(fd, r->out, at)) return commit_outcome::REPLACED;
  if (overwrite(fd, *backup_copy, at))
    fprintf(stderr, "Wrote the previous contents back to %s\n", r->shown);
  else
    // The next run puts the previous contents back from the backup.
    r->journal_kept = true, r->remains->damaged = escape_text(r->target);
  return commit_outcome::FAILED;
}

}  // namespace

commit_outcome update_in_place(replacement *r, const struct stat *expected,
                               const char *backup) {
  // Nothing checks the overwrite after the fact: another run may be under
  // way on the file that this run could not wait for.
  if (r->lock_state == lock_said::GIVEN_UP) {
    gave_up_without_lock(r);
    return commit_outcome::FAILED;
  }
  // Read as well as written: without a reservation of its own, the file
  // system has the C library emulate it by reading the file.
  int fd = openat(r->dir, r->base, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd == -1) {
    report("open");
    return commit_outcome::FAILED;
  }
  // Runs through another mount of the file lock other lock files: they
  // take turns on the file itself for the rewrite, which reads it again.
  if (!took_rewrite_lock(r, fd)) {
    close(fd);
    return commit_outcome::FAILED;
  }
  int backup_copy = -1;
  commit_outcome outcome = rewrite_in_place(r, fd, expected, backup, &backup_copy);
  if (backup_copy != -1) close(backup_copy);
  close(fd);
  return outcome;
}

}  // namespace replacing
