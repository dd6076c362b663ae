// SPDX-License-Identifier: MIT
// Rewriting a file that is mounted over its name, which no rename can
// replace.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "file_io.h"
#include "platform.h"
#include "replacement.h"
#include "text.h"

namespace replacing {

namespace {

// Writes the contents of `from` over `fd` and cuts it to their length.
// Returns 1, or 0 after reporting the failure.
int overwrite(int fd, int from) {
  struct stat st;
  return (fstat(from, &st) == 0 || report("fstat")) && copy_contents(from, fd) &&
         (ftruncate(fd, st.st_size) == 0 || report("ftruncate")) && flush(fd);
}

}  // namespace

// Whether the file is mounted over its name (a container's /etc/hosts), so
// that no rename can replace it: it lies on another mount than the directory
// that holds it. Where the mount cannot be told, a rename finds out.
int mounted_over(const replacement *r) { return platform_mounted_apart(r->dir, r->base); }

namespace {

// A file mounted over its name cannot be renamed over, so its contents are
// rewritten through `fd`, the file being as `expected` says. The space is
// reserved first, so that a full disk stops the update before a byte
// changes; then a flushed copy of the file, `*copy`, becomes its backup, its
// name synced, so that a crash during the rewrite leaves the contents just
// replaced there; and only a file that nobody changed meanwhile is
// rewritten. A failure on the way writes the previous contents back, and if
// even that fails the file may be damaged, which r->remains says.
commit_outcome rewrite_in_place(replacement *r, int fd, const struct stat *expected,
                                     const char *backup, int *copy) {
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
  *copy = make_copy(r, &r->kept, &reserved, true);
  if (*copy == -1) return commit_outcome::FAILED;
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
  if (overwrite(fd, r->out)) return commit_outcome::REPLACED;
  if (overwrite(fd, *copy))
    fprintf(stderr, "Wrote the previous contents back to %s\n", r->shown);
  else
    r->remains->damaged = escape_text(r->target);
  return commit_outcome::FAILED;
}

}  // namespace

commit_outcome update_in_place(replacement *r, const struct stat *expected,
                               const char *backup) {
  // Nothing checks the overwrite after the fact: another run may be under
  // way on the file that this run could not wait for.
  if (r->lock_state == LOCK_GIVEN_UP) {
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
  int copy = -1;
  commit_outcome outcome = rewrite_in_place(r, fd, expected, backup, &copy);
  if (copy != -1) close(copy);
  close(fd);
  return outcome;
}

}  // namespace replacing
