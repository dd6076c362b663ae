// SPDX-License-Identifier: MIT
// Runs on one file take turns: on a lock file beside it that only the
// writer can take, as git's lockfile, or where none can be had on the file
// itself.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "deadline.h"
#include "platform.h"
#include "replacement.h"
#include "text.h"

namespace replacing {

namespace {

// How often a run waiting for a lock tries again.
constexpr long LOCK_RETRY_NS = 50000000L;

// How long a run waits for its turn on the lock file: far longer than a run
// ahead takes to rewrite even a large file, so that only a run that is stuck
// (stopped, or on a hung file system) makes it give up.
constexpr int TURN_WAIT_SECONDS = 60;

}  // namespace

int lock_unsupported(int error) {
  // NFS refuses a lock on a descriptor open for reading.
  return error == EBADF || error == ENOLCK || platform_unsupported(error) || error == EINVAL;
}

int gave_up_without_lock(const replacement *r) {
  fprintf(stderr, "Gave up waiting for the lock on %s\n", r->shown);
  return 0;
}

// Takes the exclusive lock on `fd`, waiting for another holder until
// `deadline`, and saying once that it waits. FAILED is reported.
lock_result lock_waiting(replacement *r, int fd, const timespec &deadline) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return lock_result::LOCKED;
    int error = errno;
    if (lock_unsupported(error)) return lock_result::UNSUPPORTED;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) {
      perror("flock");
      return lock_result::FAILED;
    }
    if (r->lock_state == LOCK_GIVEN_UP) return lock_result::TIMED_OUT;
    if (r->lock_state == LOCK_UNTRIED) {
      fprintf(stderr, "Waiting for the lock on %s\n", r->shown);
      r->lock_state = LOCK_WAITED;
    }
    if (milliseconds_until(deadline) == 0) {
      r->lock_state = LOCK_GIVEN_UP;
      return lock_result::TIMED_OUT;
    }
    const timespec pause = {0, LOCK_RETRY_NS};
    nanosleep(&pause, nullptr);
  }
}

namespace {

// Runs on this file will take turns on a lock on the file itself, which any
// reader can take too, rather than on `lock_name`, for the reason given:
// said once, since it weakens what the update can promise.
void lock_the_file(replacement *r, const char *lock_name, const char *why) {
  r->lock_itself = true;
  char *shown = escape_text(lock_name);
  fprintf(stderr, "Locking %s itself, not %s: %s\n", r->shown,
          shown == nullptr ? lock_name : shown, why);
  free(shown);
}

// Opens the lock file `lock_name` beside the file, created open to the
// writer alone and trusted only as a regular file of the writer's own with
// one link, in a directory that nobody else may write: nobody but the file's
// writers can then hold it. Where no such lock file can be had, runs are to
// take turns on the file itself, which this says. Returns 1 with *fd the lock
// file or -1 for none, or 0 after reporting, with *fd to be closed.
int open_lock_file(replacement *r, const char *lock_name, int *fd) {
  struct stat st;
  *fd = -1;
  if (fstat(r->dir, &st) != 0) return report("fstat");
  if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    lock_the_file(r, lock_name, "its directory is not this user's alone");
    return 1;
  }
  *fd = openat(r->dir, lock_name,
               O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
               S_IRUSR | S_IWUSR);
  if (*fd == -1) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) return report("open");
    lock_the_file(r, lock_name, strerror(errno));
    return 1;
  }
  if (fstat(*fd, &st) != 0) return report("fstat");
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
      (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    close(*fd);
    *fd = -1;
    lock_the_file(r, lock_name, "not a private file of this user");
  }
  return 1;
}

}  // namespace

// Waits for this run's turn on the lock file beside the file, for as long as
// a run ahead may take: only one that is stuck makes this one give up.
// Returns 1, or 0 after reporting.
int take_turn(replacement *r) {
  char *name = joined(".", r->base);
  char *lock_name = name == nullptr ? nullptr : joined(name, ".lock");
  free(name);
  int fd = -1;
  int ok = lock_name != nullptr && open_lock_file(r, lock_name, &fd);
  if (ok && fd != -1) {
    switch (lock_waiting(r, fd, deadline_after(TURN_WAIT_SECONDS))) {
      case lock_result::LOCKED:
        r->turn = fd;
        fd = -1;
        break;
      case lock_result::UNSUPPORTED:
        break;
      case lock_result::TIMED_OUT:
        ok = gave_up_without_lock(r);
        break;
      case lock_result::FAILED:
        ok = 0;
        break;
    }
    r->lock_state = LOCK_UNTRIED;
  }
  if (fd != -1) close(fd);
  free(lock_name);
  return ok;
}

}  // namespace replacing
