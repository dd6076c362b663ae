// SPDX-License-Identifier: MIT
#include "replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "platform.h"

namespace {

// Copies go through a buffer of this size: few system calls, little memory.
constexpr size_t COPY_BLOCK = 256 << 10;

// How often a run waiting for another run's lock tries again.
constexpr long LOCK_RETRY_NS = 50000000L;

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

// Reports the failed `call` in the perror form; returns 0, the failure result.
int report(const char *call) {
  perror(call);
  return 0;
}

// Takes the exclusive lock on `fd`. Waits for another holder until
// `deadline`, saying so once. A file system that cannot lock (NFS refuses a
// lock on a descriptor open for reading) is used without one rather than not
// at all. Returns 1, or 0 after reporting the failure.
int lock_file(int fd, const char *shown, const timespec *deadline,
              bool *announced) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
    int error = errno;
    if (error == EBADF || error == ENOLCK || platform_unsupported(error) ||
        error == EINVAL)
      return 1;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) return report("flock");
    if (!*announced) {
      fprintf(stderr, "Waiting for the lock on %s\n", shown);
      *announced = true;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > deadline->tv_sec ||
        (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec)) {
      errno = error;
      return report("flock");
    }
    const timespec pause = {0, LOCK_RETRY_NS};
    nanosleep(&pause, nullptr);
  }
}

// Opens `target` without blocking (a FIFO would wait for a writer) and locks
// it. A run that had to wait may find the path replaced by the run it waited
// for; it then starts over on the new file so that the entry that run wrote
// is kept.
int open_locked(const char *target, const char *shown, int lock_wait_seconds,
                struct stat *held) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  // Saturates rather than wrapping into the past where time_t has 32 bits.
  const int64_t latest = sizeof(time_t) < sizeof(int64_t) ? INT32_MAX : INT64_MAX;
  const int64_t start = deadline.tv_sec;
  deadline.tv_sec = static_cast<time_t>(
      lock_wait_seconds > latest - start ? latest : start + lock_wait_seconds);
  bool announced = false;
  for (;;) {
    int fd = open(target, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1) {
      // The tool names every failure to open the hosts file "fopen".
      perror("fopen");
      return -1;
    }
    int ok = fstat(fd, held) == 0 || report("fstat");
    if (ok && !S_ISREG(held->st_mode) && !S_ISDIR(held->st_mode)) {
      // Devices and FIFOs never end, or are not the system's to replace.
      fprintf(stderr, "%s is not a regular file\n", shown);
      ok = 0;
    }
    ok = ok && lock_file(fd, shown, &deadline, &announced);
    // Another run may have rewritten the file in place while this one waited.
    ok = ok && (fstat(fd, held) == 0 || report("fstat"));
    if (!ok) {
      close(fd);
      return -1;
    }
    struct stat now;
    if (stat(target, &now) == 0 && now.st_dev == held->st_dev &&
        now.st_ino == held->st_ino)
      return fd;
    close(fd);
  }
}

// Gives `to` the owner, extended attributes and mode of `from`, in that order:
// a change of owner clears set-id bits and capabilities, and with an ACL the
// group bits of the mode are its mask, which the group itself would get for a
// moment if the mode came before the ACL.
int copy_attributes(int from, const struct stat *from_stat, int to) {
  // Failing to change the owner is expected when not running as root.
  (void)!fchown(to, from_stat->st_uid, from_stat->st_gid);
  if (!platform_copy_attributes(from, to)) return 0;
  return fchmod(to, from_stat->st_mode & 07777) == 0 || report("fchmod");
}

// Writes all of `from` over the start of `to`. Returns 1, or 0 after
// reporting the failure.
int copy_contents(int from, int to) {
  char *buf = static_cast<char *>(malloc(COPY_BLOCK));
  if (buf == nullptr) return report("malloc");
  int ok = 1;
  for (off_t at = 0; ok;) {
    ssize_t got = pread(from, buf, COPY_BLOCK, at);
    if (got == -1) {
      ok = errno == EINTR || report("read");
      continue;
    }
    if (got == 0) break;
    for (ssize_t put = 0; ok && put < got;) {
      ssize_t wrote = pwrite(to, buf + put, static_cast<size_t>(got - put), at + put);
      if (wrote == -1)
        ok = errno == EINTR || report("write");
      else
        put += wrote;
    }
    at += got;
  }
  free(buf);
  return ok;
}

int flush(int fd) { return fsync(fd) == 0 || report("fsync"); }

int link_refused(int error) {
  return error == EPERM || platform_unsupported(error) || error == EMLINK ||
         error == ENOSYS || error == EXDEV;
}

// Keeps the previous file under a new unique name beside it, to become the
// backup once the new copy is in place: a second link where the file system
// allows one, otherwise a flushed copy with the same bytes and attributes.
// Returns the name in memory from malloc, or null after reporting.
char *keep_previous(const replacement *r) {
  char *keep = joined(r->target, "XXXXXX");
  if (keep == nullptr) return nullptr;
  const size_t suffix = strlen(keep) - 6;
  for (;;) {
    memcpy(keep + suffix, "XXXXXX", 6);
    int fd = mkstemp(keep);
    if (fd == -1) {
      perror("mkstemp");
      break;
    }
    close(fd);
    // The unique name is taken only to be given to the link.
    unlink(keep);
    if (link(r->target, keep) == 0) return keep;
    if (errno == EEXIST) continue;
    if (!link_refused(errno)) {
      perror("link");
      break;
    }
    memcpy(keep + suffix, "XXXXXX", 6);
    fd = mkstemp(keep);
    if (fd == -1) {
      perror("mkstemp");
      break;
    }
    int ok = copy_contents(r->in, fd) && copy_attributes(r->in, &r->previous, fd) &&
             flush(fd);
    if (close(fd) == -1 && ok) ok = report("close");
    if (ok) return keep;
    unlink(keep);
    break;
  }
  free(keep);
  return nullptr;
}

// Writes the contents of `from` (a file name) over `fd` and cuts it to their
// length. Returns 1, or 0 after reporting the failure.
int overwrite(int fd, const char *from) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in == -1) return report("open");
  struct stat st;
  int ok = (fstat(in, &st) == 0 || report("fstat")) && copy_contents(in, fd) &&
           (ftruncate(fd, st.st_size) == 0 || report("ftruncate")) && flush(fd);
  close(in);
  return ok;
}

// Says where the previous contents of the file are when they could not be
// put back, and keeps that name from being removed.
void tell_kept(const replacement *r, char *keep, const char *backup) {
  const char *kept = rename(keep, backup) == 0 ? backup : keep;
  fprintf(stderr, "The previous contents of %s are in %s\n", r->shown, kept);
  keep[0] = '\0';
}

// The previous contents of `fd` could not be kept there: puts them back from
// `keep`, or failing that leaves them at the backup name, and says which.
void write_back(const replacement *r, int fd, char *keep, const char *backup) {
  if (overwrite(fd, keep))
    fprintf(stderr, "Wrote the previous contents back to %s\n", r->shown);
  else
    tell_kept(r, keep, backup);
}

// A file mounted over its name (a container's /etc/hosts) cannot be renamed
// over, so its contents are rewritten: the space is reserved first so that a
// full disk stops the update before a byte changes. Once `keep` holds the
// previous contents they become the backup; a failure on the way writes them
// back.
int update_in_place(const replacement *r, char *keep, const char *backup) {
  int fd = open(r->target, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd == -1) return report("open");
  struct stat st;
  int ok = stat(r->temp, &st) == 0 || report("stat");
  if (ok && st.st_size > r->previous.st_size && !platform_reserve(fd, st.st_size)) {
    // An emulated reservation may have grown the file before it failed.
    (void)!ftruncate(fd, r->previous.st_size);
    ok = 0;
  }
  if (ok) {
    ok = overwrite(fd, r->temp) &&
         (rename(keep, backup) == 0 || report("rename"));
    if (ok)
      keep[0] = '\0';
    else
      write_back(r, fd, keep, backup);
  }
  close(fd);
  return ok;
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

// Puts the flushed new copy in place of the target, keeping the previous file
// as `backup`. The target always names a whole file: one rename swaps the new
// copy in, and only then does the kept previous file replace the backup; if
// that fails the previous file goes back. Returns 1, or 0 after reporting,
// with the target and the backup as they were and the temporary name still
// to be removed.
int swap_in(replacement *r, const char *backup) {
  char *keep = keep_previous(r);
  if (keep == nullptr) return 0;
  int ok;
  if (rename(r->temp, r->target) == 0) {
    // The new copy has become the target, and its name is free again.
    r->temp[0] = '\0';
    ok = rename(keep, backup) == 0 || report("rename");
    // Without its backup the update is undone: the previous file goes back.
    if (ok || rename(keep, r->target) == 0)
      keep[0] = '\0';
    else
      tell_kept(r, keep, backup);
  } else if (errno == EBUSY) {
    ok = update_in_place(r, keep, backup);
  } else {
    ok = report("rename");
  }
  if (ok) sync_directory(r->target);
  if (keep[0] != '\0') unlink(keep);
  free(keep);
  return ok;
}

}  // namespace

int begin_replacement(replacement *r, const char *path, int lock_wait_seconds) {
  r->shown = path;
  r->temp = nullptr;
  r->out = -1;
  // Updating the file a symbolic link leads to keeps the link.
  r->target = realpath(path, nullptr);
  if (r->target == nullptr) return report("fopen");
  r->in = open_locked(r->target, path, lock_wait_seconds, &r->previous);
  if (r->in == -1) {
    free(r->target);
    return 0;
  }

  char *backup = joined(r->target, ".old");
  struct stat st;
  int ok = backup != nullptr;
  if (ok && lstat(backup, &st) == 0 && S_ISDIR(st.st_mode)) {
    // Checked now, so that the swap is never undone for it.
    errno = EISDIR;
    ok = report("rename");
  }
  free(backup);

  // From the first file created to the last removed, these signals wait, so
  // that none leaves a temporary file behind or the update half done.
  sigset_t held_off;
  sigemptyset(&held_off);
  sigaddset(&held_off, SIGTERM);
  sigaddset(&held_off, SIGINT);
  sigaddset(&held_off, SIGHUP);
  sigprocmask(SIG_BLOCK, &held_off, &r->saved_mask);
  if (ok) r->temp = joined(r->target, "XXXXXX");
  if (r->temp != nullptr) {
    r->out = mkstemp(r->temp);
    if (r->out == -1) perror("mkstemp");
  }
  if (r->out == -1) {
    free(r->temp);
    free(r->target);
    close(r->in);
    sigprocmask(SIG_SETMASK, &r->saved_mask, nullptr);
    return 0;
  }
  return 1;
}

int end_replacement(replacement *r, int ok) {
  ok = ok && copy_attributes(r->in, &r->previous, r->out) && flush(r->out);
  if (close(r->out) == -1 && ok) ok = report("close");
  char *backup = ok ? joined(r->target, ".old") : nullptr;
  ok = backup != nullptr && swap_in(r, backup);
  if (r->temp[0] != '\0') unlink(r->temp);
  free(backup);
  free(r->temp);
  free(r->target);
  close(r->in);
  sigprocmask(SIG_SETMASK, &r->saved_mask, nullptr);
  return ok;
}
