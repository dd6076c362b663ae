// SPDX-License-Identifier: MIT
#include "replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "deadline.h"
#include "file_io.h"
#include "platform.h"
#include "text.h"

namespace {

// How often a run waiting for a lock tries again.
constexpr long LOCK_RETRY_NS = 50000000L;

// How long a run waits for its turn on the lock file: far longer than a run
// ahead takes to rewrite even a large file, so that only a run that is stuck
// (stopped, or on a hung file system) makes it give up.
constexpr int TURN_WAIT_SECONDS = 60;

// Symbolic links followed to find the file's directory entry, as the kernel
// follows at most 40.
constexpr int LINK_HOPS = 40;

// Unique names tried before giving up: each try creates nothing when the
// name is taken, so a directory that refuses removals cannot fill up. Also
// the most times a run reopens a file that runs ahead of it replaced.
constexpr int NAME_TRIES = 100;

// Times the file may change under a run before the run gives up.
constexpr int MAX_RESTARTS = 5;

// replacement::lock_state: whether the run has said that it waits for the
// lock, or that it goes on without it.
constexpr int LOCK_UNTRIED = 0;
constexpr int LOCK_WAITED = 1;
constexpr int LOCK_GIVEN_UP = 2;

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

// Returns the path of `name` in the directory of `path` (up to its last
// slash), in memory from malloc, or null after reporting the failure.
char *beside(const char *path, const char *name) {
  const char *slash = strrchr(path, '/');
  size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
  char *head = strndup(path, length);
  if (head == nullptr) {
    perror("malloc");
    return nullptr;
  }
  char *out = joined(head, name);
  free(head);
  return out;
}

// Returns the path of `name` beside the file, escaped for a message, in
// memory from malloc, or null after reporting the failure.
char *shown_beside(const replacement *r, const char *name) {
  char *path = beside(r->target, name);
  char *shown = path == nullptr ? nullptr : escape_text(path);
  if (path != nullptr && shown == nullptr) perror("malloc");
  free(path);
  return shown;
}

// Reports the failed `call` in the perror form; returns 0, the failure result.
int report(const char *call) {
  perror(call);
  return 0;
}

int same_file(const struct stat *a, const struct stat *b) {
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Whether `a` and `b` are the same file with the same contents as far as
// its size says, mode and owner: what the run's own steps leave alone when
// they move the file's times or link count (a second name, a reservation).
int unchanged_but_times(const struct stat *a, const struct stat *b) {
  return same_file(a, b) && a->st_size == b->st_size && a->st_mode == b->st_mode &&
         a->st_uid == b->st_uid && a->st_gid == b->st_gid;
}

// Whether nothing at all has happened to the file between `a` and `b`: an
// edit, a chmod, a chown or a new ACL each move its change time.
int unchanged(const struct stat *a, const struct stat *b) {
  return unchanged_but_times(a, b) && a->st_nlink == b->st_nlink &&
         platform_same_times(a, b);
}

// Adds `name`, which the run made and could not remove, to what it tells.
void note_left(replacement *r, const char *name) {
  char *shown = shown_beside(r, name);
  if (shown == nullptr) return;
  const char *before = r->remains.left == nullptr ? "" : r->remains.left;
  size_t length = strlen(before) + strlen(shown) + 2;
  char *left = static_cast<char *>(malloc(length));
  if (left != nullptr) {
    snprintf(left, length, "%s %s", before, shown);
    free(r->remains.left);
    r->remains.left = left;
  }
  free(shown);
}

// The name is the run's no longer: it was put in place or handed over.
void disown_name(owned_name *n) { n->owned = false; }

// Removes `n` from the held directory if the run still owns it, reporting
// a failure other than its absence and noting the name as left. Keeps errno
// as it was, since it runs on the way out of failures.
void drop_name(replacement *r, owned_name *n) {
  if (!n->owned) return;
  disown_name(n);
  int error = errno;
  if (unlinkat(r->dir, n->name, 0) != 0 && errno != ENOENT) {
    perror("unlink");
    note_left(r, n->name);
  }
  errno = error;
}

// Fills the six characters at `six` with letters and digits chosen at random.
void fill_unique(char *six) {
  static const char LETTERS[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6];
  if (!platform_random(bytes, sizeof bytes)) {
    // Early in boot, or under seccomp: the clock and the process id still
    // make the names hard to foresee, and O_EXCL makes them safe.
    static uint64_t fallback;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    fallback = fallback * 6364136223846793005ULL +
               static_cast<uint64_t>(now.tv_nsec) + static_cast<uint64_t>(getpid());
    for (size_t i = 0; i < sizeof bytes; ++i)
      bytes[i] = static_cast<unsigned char>(fallback >> (8 * i + 16));
  }
  for (size_t i = 0; i < sizeof bytes; ++i)
    six[i] = LETTERS[bytes[i] % (sizeof LETTERS - 1)];
}

// Makes `n` in the held directory with `attempt`, as the file's name and six
// characters chosen at random again while the name is taken (as mkstemp
// does, but beside the file that was read whatever has become of its path).
// Returns what the last attempt returned: -1, with errno set, when none
// succeeded; otherwise the run owns the name.
int make_name(replacement *r, owned_name *n,
              int (*attempt)(const replacement *, const char *)) {
  free(n->name);
  n->name = joined(r->base, "XXXXXX");
  if (n->name == nullptr) return -1;
  char *six = n->name + strlen(n->name) - 6;
  int result = -1;
  for (int tries = 0; tries < NAME_TRIES; ++tries) {
    fill_unique(six);
    result = attempt(r, n->name);
    if (result != -1 || errno != EEXIST) break;
  }
  n->owned = result != -1;
  return result;
}

int create_file(const replacement *r, const char *name) {
  return openat(r->dir, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                S_IRUSR | S_IWUSR);
}

int link_previous(const replacement *r, const char *name) {
  return linkat(r->dir, r->base, r->dir, name, 0);
}

// Creates a new file `n`, open to its owner alone, in the held directory.
// Returns the descriptor, open for reading and writing, or -1 after
// reporting.
int create_unique(replacement *r, owned_name *n) {
  int fd = make_name(r, n, create_file);
  if (fd == -1 && n->name != nullptr) perror("mkstemp");
  return fd;
}

// Opens directory `name` relative to `at`. A directory that may be searched
// but not read is still held, by a descriptor that cannot be synced.
int open_directory(int at, const char *name) {
  int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1 && errno == EACCES) fd = platform_open_searchable(at, name);
  return fd;
}

// Reads symbolic link `name` in `dir` into memory from malloc, or returns null.
char *read_link(int dir, const char *name) {
  char *text = static_cast<char *>(malloc(PATH_MAX));
  if (text == nullptr) return nullptr;
  ssize_t length = readlinkat(dir, name, text, PATH_MAX);
  if (length <= 0 || length >= PATH_MAX) {
    free(text);
    return nullptr;
  }
  text[length] = '\0';
  return text;
}

// What find_entry found.
enum class entry { FOUND, ABSENT, FAILED };

// Finds and holds the directory entry through which the kernel reached the
// file `opened`: the directory part of `path` is opened by the kernel (magic
// links such as /proc/PID/root lead where they lead), and a symbolic link as
// the last component is read and resolved from the directory that holds it,
// hop by hop. FOUND sets r->dir, r->target and r->base. ABSENT: no link text
// leads to that file (a /proc/PID/fd link, or a path changed meanwhile).
// FAILED: reported.
entry find_entry(replacement *r, const char *path, const struct stat *opened) {
  char *text = strdup(path), *target = strdup(path);
  int dir = AT_FDCWD;
  entry found = text == nullptr || target == nullptr ? entry::FAILED : entry::ABSENT;
  if (found == entry::FAILED) perror("malloc");
  for (int hop = 0; found == entry::ABSENT && hop <= LINK_HOPS; ++hop) {
    char *slash = strrchr(text, '/');
    const char *name = slash == nullptr ? text : slash + 1;
    int next;
    if (slash == nullptr) {
      next = open_directory(dir, ".");
    } else {
      char after = slash[1];
      slash[1] = '\0';
      next = open_directory(dir, text);
      slash[1] = after;
    }
    if (dir != AT_FDCWD) close(dir);
    dir = next;
    if (dir == -1) {
      found = entry::FAILED;
      perror("open");
      break;
    }
    struct stat at;
    if (*name == '\0' || fstatat(dir, name, &at, AT_SYMLINK_NOFOLLOW) != 0) break;
    if (!S_ISLNK(at.st_mode)) {
      if (same_file(&at, opened)) found = entry::FOUND;
      break;
    }
    char *link = read_link(dir, name);
    char *link_target = link == nullptr ? nullptr
                        : link[0] == '/' ? strdup(link)
                                         : beside(target, link);
    free(text);
    free(target);
    text = link;
    target = link_target;
    if (text == nullptr || target == nullptr) break;
  }
  free(text);
  if (found != entry::FOUND) {
    if (dir != AT_FDCWD && dir != -1) close(dir);
    free(target);
    return found;
  }
  r->dir = dir;
  r->target = target;
  const char *slash = strrchr(target, '/');
  r->base = slash == nullptr ? target : slash + 1;
  return found;
}

// Refuses what is not a regular file: devices, FIFOs and sockets never end,
// or are not the system's to replace. Reading a directory is what fails.
int regular_file(const replacement *r, const struct stat *st) {
  if (S_ISREG(st->st_mode)) return 1;
  if (S_ISDIR(st->st_mode)) {
    errno = EISDIR;
    return report("read");
  }
  fprintf(stderr, "%s is not a regular file\n", r->shown);
  return 0;
}

// Reports a failure to open `path`: a socket, or a device without a driver,
// cannot be opened at all, and is what it is.
int open_failed(const replacement *r, const char *path) {
  int error = errno;
  struct stat st;
  if (error == ENXIO && stat(path, &st) == 0 && !S_ISREG(st.st_mode))
    return regular_file(r, &st);
  errno = error;
  // The tool names every failure to open the hosts file "fopen".
  return report("fopen");
}

// Counts one more start over on a file that changed under the run. Returns
// 1 while the run may start over, 0 after saying that it gives up.
int may_start_over(replacement *r) {
  if (++r->restarts <= MAX_RESTARTS) return 1;
  fprintf(stderr, "%s kept changing during the update\n", r->shown);
  return 0;
}

// Opens the file that `path` names and finds its directory entry. A path
// that leads elsewhere by the time its entry is looked up was changed
// meanwhile (another run renamed its copy over the file, say) and is opened
// again; one that keeps leading to the same file that no entry leads to
// cannot be updated. Returns 1 with r->in open, or 0 after reporting.
int open_and_find(replacement *r, const char *path) {
  struct stat last = {};
  for (bool again = false;; again = true) {
    r->in = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (r->in == -1) return open_failed(r, path);
    struct stat st;
    if (fstat(r->in, &st) != 0) return report("fstat");
    if (!regular_file(r, &st)) return 0;
    entry found = find_entry(r, path, &st);
    if (found != entry::ABSENT) return found == entry::FOUND;
    if (again && same_file(&st, &last)) {
      fprintf(stderr, "Unable to find the directory that holds %s\n", r->shown);
      return 0;
    }
    if (again && !may_start_over(r)) return 0;
    last = st;
    close(r->in);
    r->in = -1;
  }
}

int lock_unsupported(int error) {
  // NFS refuses a lock on a descriptor open for reading.
  return error == EBADF || error == ENOLCK || platform_unsupported(error) || error == EINVAL;
}

// What lock_waiting found.
enum class lock_result { LOCKED, UNSUPPORTED, TIMED_OUT, FAILED };

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
        fprintf(stderr, "Gave up waiting for the lock on %s\n", r->shown);
        ok = 0;
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

// Opens the file that r->base names in the held directory afresh, for the
// runs ahead may have replaced it, and, where runs take turns on the file
// itself, locks it, waiting at most the time the user gave and then going on
// without (a lock anyone who can read the file may take must not stop the
// update). Records how the file is now in r->read. Returns 1, or 0 after
// reporting.
int hold_file(replacement *r) {
  for (int tries = 0; tries < NAME_TRIES; ++tries) {
    if (r->in != -1) close(r->in);
    r->in = openat(r->dir, r->base,
                   O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (r->in == -1) return report("fopen");
    if (fstat(r->in, &r->read) != 0) return report("fstat");
    if (!regular_file(r, &r->read)) return 0;
    if (!r->lock_itself || r->lock_state == LOCK_GIVEN_UP) return 1;
    switch (lock_waiting(r, r->in, r->lock_deadline)) {
      case lock_result::LOCKED:
        r->copy_locked = true;
        break;
      case lock_result::TIMED_OUT:
        fprintf(stderr, "Going on without the lock on %s\n", r->shown);
        return 1;
      case lock_result::UNSUPPORTED:
        return 1;
      case lock_result::FAILED:
        return 0;
    }
    // The run it waited for may have put its own copy in place meanwhile.
    struct stat there;
    if (fstat(r->in, &r->read) != 0) return report("fstat");
    if (fstatat(r->dir, r->base, &there, AT_SYMLINK_NOFOLLOW) == 0 && same_file(&there, &r->read))
      return 1;
    r->copy_locked = false;
  }
  fprintf(stderr, "%s kept changing during the update\n", r->shown);
  return 0;
}

// Holds off, until put back, every signal that would end the process, so
// that none leaves a temporary file behind or the update half done; faults
// of the process itself still end it. A closed pipe or a size limit makes
// writes fail instead of ending the run.
void hold_signals(replacement *r) {
  // A blocked signal stays pending even where it is ignored, and would end
  // the run once unblocked: SIGPIPE and SIGXFSZ are ignored, not blocked.
  static const int PASSED[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
                               SIGABRT, SIGSYS, SIGPIPE, SIGXFSZ};
  sigset_t held_off;
  sigfillset(&held_off);
  for (int passed : PASSED) sigdelset(&held_off, passed);
  sigprocmask(SIG_BLOCK, &held_off, &r->saved_mask);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &r->saved_xfsz);
  sigaction(SIGPIPE, &ignore, &r->saved_pipe);
  r->signals_held = true;
}

// Creates the new copy beside the file and, when the file is locked, locks it
// too: once renamed into place it is the file that the next run waits for,
// until this run has also renamed the backup. Returns 1, or 0 after reporting.
int create_copy(replacement *r) {
  r->out = create_unique(r, &r->copy);
  if (r->out == -1) return 0;
  return !r->copy_locked || flock(r->out, LOCK_EX | LOCK_NB) == 0 ||
         lock_unsupported(errno) || report("flock");
}

// Gives `to` the owner, extended attributes and mode of `from`, as `from_stat`
// says they are, in that order: a change of owner clears set-id bits, and
// with an ACL the group bits of the mode are its mask, which the group itself
// would get for a moment if the mode came before the ACL. Bits for an owner
// or a group that cannot be kept are cleared, and noted in `noted` unless it
// is null. Attributes the new file got from its directory (a default ACL,
// which would open it to others) go first, so that it ends up with exactly
// the original's. Returns 1, or 0 after reporting the failure unless `quiet`.
int copy_attributes(int from, const struct stat *from_stat, int to, owner_change *noted,
                    bool quiet) {
  // Failing to change the owner is expected when not running as root; the
  // group can still be kept by a member of it.
  if (fchown(to, from_stat->st_uid, from_stat->st_gid) != 0)
    (void)!fchown(to, static_cast<uid_t>(-1), from_stat->st_gid);
  const char *failed = "fstat";
  struct stat now;
  int ok = fstat(to, &now) == 0;
  if (ok) {
    mode_t mode = from_stat->st_mode & 07777, cleared = 0;
    if (now.st_gid != from_stat->st_gid) cleared |= mode & (S_IRWXG | S_ISGID);
    if (now.st_uid != from_stat->st_uid) cleared |= mode & S_ISUID;
    if (noted != nullptr && (now.st_uid != from_stat->st_uid || now.st_gid != from_stat->st_gid))
      *noted = {now.st_uid, from_stat->st_uid, now.st_gid, from_stat->st_gid, cleared};
    ok = platform_clear_attributes(to, &failed) &&
         platform_copy_attributes(from, to, &failed);
    if (ok && fchmod(to, mode & ~cleared) != 0) {
      failed = "fchmod";
      ok = 0;
    }
  }
  if (!ok && !quiet) perror(failed);
  return ok;
}

int flush(int fd) { return fsync(fd) == 0 || report("fsync"); }

// Makes the names in the held directory durable. A directory held without
// read access, or a file system that cannot sync one, is not a failure.
int sync_directory(const replacement *r) {
  return fsync(r->dir) == 0 || errno == EBADF || errno == EINVAL ||
         report("fsync");
}

int link_refused(int error) {
  return error == EPERM || platform_unsupported(error) || error == EMLINK ||
         error == ENOSYS || error == EXDEV;
}

// Writes a flushed copy of the previous file, as `st` describes it, with its
// bytes and attributes under `n`. For a file rewritten in place, where the
// new copy lacks them too, attributes that cannot be carried over leave the
// copy open to its owner alone. Returns the descriptor, or -1 after
// reporting, with nothing left but what drop_name could not remove.
int make_copy(replacement *r, owned_name *n, const struct stat *st, bool in_place) {
  int fd = create_unique(r, n);
  if (fd == -1) return -1;
  int ok = copy_contents(r->in, fd) &&
           (copy_attributes(r->in, st, fd, nullptr, in_place) ||
            (in_place && (fchmod(fd, st->st_mode & S_IRWXU) == 0 || report("fchmod")))) &&
           flush(fd);
  if (ok) return fd;
  close(fd);
  drop_name(r, n);
  return -1;
}

// Keeps the previous file, as `st` describes it, under a new unique name
// beside it, r->kept, to become the backup once the new file is in place: a
// second link where the file system allows one, otherwise a flushed copy.
// Stores how the file is then in `now`. Returns 1, or 0 after reporting.
int keep_previous(replacement *r, const struct stat *st, struct stat *now) {
  if (make_name(r, &r->kept, link_previous) == -1) {
    if (r->kept.name == nullptr) return 0;
    if (!link_refused(errno)) return report("link");
    int fd = make_copy(r, &r->kept, st, false);
    if (fd == -1) return 0;
    close(fd);
  }
  return fstat(r->in, now) == 0 || report("fstat");
}

// Writes the contents of `from` over `fd` and cuts it to their length.
// Returns 1, or 0 after reporting the failure.
int overwrite(int fd, int from) {
  struct stat st;
  return (fstat(from, &st) == 0 || report("fstat")) && copy_contents(from, fd) &&
         (ftruncate(fd, st.st_size) == 0 || report("ftruncate")) && flush(fd);
}

// Says where the previous contents of the file are, when they could not
// become its backup nor be put back: `name`, beside it.
void tell_kept(const replacement *r, const char *name) {
  char *shown = shown_beside(r, name);
  fprintf(stderr, "The previous contents of %s are in %s\n", r->shown,
          shown == nullptr ? name : shown);
  free(shown);
}

// Says which owner and permission bits the new file could not keep.
void tell_owner_change(const replacement *r) {
  const owner_change &o = r->owner;
  if (o.uid == o.was_uid && o.gid == o.was_gid) return;
  fprintf(stderr, "Could not keep the owner of %s: it is now %lu:%lu, was %lu:%lu", r->shown,
          static_cast<unsigned long>(o.uid), static_cast<unsigned long>(o.gid),
          static_cast<unsigned long>(o.was_uid), static_cast<unsigned long>(o.was_gid));
  if (o.cleared != 0) fprintf(stderr, "; cleared permission bits %04o", static_cast<unsigned>(o.cleared));
  fputc('\n', stderr);
}

// Whether the file is mounted over its name (a container's /etc/hosts), so
// that no rename can replace it: it lies on another mount than the directory
// that holds it. Where the mount cannot be told, a rename finds out.
int mounted_over(const replacement *r) { return platform_mounted_apart(r->dir, r->base); }

// A file mounted over its name cannot be renamed over, so its contents are
// rewritten through `fd`, the file being as `expected` says. The space is
// reserved first, so that a full disk stops the update before a byte
// changes; then a flushed copy of the file, `*copy`, becomes its backup, its
// name synced, so that a crash during the rewrite leaves the contents just
// replaced there; and only a file that nobody changed meanwhile is
// rewritten. A failure on the way writes the previous contents back, and if
// even that fails the file may be damaged, which r->remains says.
replacement_outcome rewrite_in_place(replacement *r, int fd, const struct stat *expected,
                                     const char *backup, int *copy) {
  struct stat now, next, reserved;
  if (fstat(fd, &now) != 0 || fstat(r->out, &next) != 0) {
    report("fstat");
    return replacement_outcome::FAILED;
  }
  if (!unchanged(&now, expected)) return replacement_outcome::START_OVER;
  const char *failed = nullptr;
  if (!platform_reserve(fd, next.st_size, &failed)) {
    // An emulated reservation may have grown the file before it failed.
    int error = errno;
    (void)!ftruncate(fd, now.st_size);
    errno = error;
    report(failed);
    return replacement_outcome::FAILED;
  }
  // A reservation moves the file's times: nothing else may have moved.
  if (fstat(fd, &reserved) != 0) {
    report("fstat");
    return replacement_outcome::FAILED;
  }
  if (!unchanged_but_times(&reserved, &now)) return replacement_outcome::START_OVER;
  *copy = make_copy(r, &r->kept, &reserved, true);
  if (*copy == -1) return replacement_outcome::FAILED;
  if (renameat(r->dir, r->kept.name, r->dir, backup) != 0) {
    report("rename");
    return replacement_outcome::FAILED;
  }
  drop_name(r, &r->kept);
  (void)sync_directory(r);
  if (fstat(fd, &now) != 0) {
    report("fstat");
    return replacement_outcome::FAILED;
  }
  if (!unchanged(&now, &reserved)) return replacement_outcome::START_OVER;
  if (overwrite(fd, r->out)) return replacement_outcome::REPLACED;
  if (overwrite(fd, *copy))
    fprintf(stderr, "Wrote the previous contents back to %s\n", r->shown);
  else
    r->remains.damaged = escape_text(r->target);
  return replacement_outcome::FAILED;
}

replacement_outcome update_in_place(replacement *r, const struct stat *expected,
                                    const char *backup) {
  // Read as well as written: without a reservation of its own, the file
  // system has the C library emulate it by reading the file.
  int fd = openat(r->dir, r->base, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd == -1) {
    report("open");
    return replacement_outcome::FAILED;
  }
  int copy = -1;
  replacement_outcome outcome = rewrite_in_place(r, fd, expected, backup, &copy);
  if (copy != -1) close(copy);
  close(fd);
  return outcome;
}

// Puts the flushed new copy in place of the file, keeping the previous file
// as `backup`, unless the file changed since `read`. The name always leads to
// a whole file: one rename swaps the new copy in, and only then does the
// kept previous file replace the backup; if that fails the previous file
// goes back, and if even that fails the new file stays, with a line saying
// where the previous one is.
replacement_outcome swap_in(replacement *r, const struct stat *read, const char *backup) {
  struct stat kept, there;
  r->owner = owner_change();
  if (!keep_previous(r, read, &kept)) return replacement_outcome::FAILED;
  // A second link moves the change time: nothing else may have moved.
  if (!unchanged_but_times(&kept, read)) return replacement_outcome::START_OVER;
  // The attributes the file has now, never those of an earlier look.
  if (!copy_attributes(r->in, &kept, r->out, &r->owner, false) || !flush(r->out))
    return replacement_outcome::FAILED;
  if (fstatat(r->dir, r->base, &there, AT_SYMLINK_NOFOLLOW) != 0 || !unchanged(&there, &kept))
    return replacement_outcome::START_OVER;
  if (renameat(r->dir, r->copy.name, r->dir, r->base) != 0) {
    if (errno != EBUSY) {
      report("rename");
      return replacement_outcome::FAILED;
    }
    // The file is a mount point on the same file system after all.
    drop_name(r, &r->kept);
    if (fstat(r->in, &there) != 0) {
      report("fstat");
      return replacement_outcome::FAILED;
    }
    if (!unchanged_but_times(&there, &kept)) return replacement_outcome::START_OVER;
    return update_in_place(r, &there, backup);
  }
  disown_name(&r->copy);
  if (renameat(r->dir, r->kept.name, r->dir, backup) != 0) {
    perror("rename");
    // Without its backup the update is undone: the previous file goes back.
    disown_name(&r->kept);
    if (renameat(r->dir, r->kept.name, r->dir, r->base) == 0) return replacement_outcome::FAILED;
    tell_kept(r, r->kept.name);
    return replacement_outcome::REPLACED;
  }
  // Where the backup already was that file (a hard link made by hand), the
  // rename did nothing and the kept name is still there.
  drop_name(r, &r->kept);
  // Reported when it fails: the swap may not survive a crash.
  (void)sync_directory(r);
  return replacement_outcome::REPLACED;
}

// Puts the new copy in place when the file is as it was when read.
replacement_outcome commit(replacement *r) {
  struct stat now;
  if (fstat(r->in, &now) != 0) {
    report("fstat");
    return replacement_outcome::FAILED;
  }
  if (!unchanged(&now, &r->read)) return replacement_outcome::START_OVER;
  char *backup = joined(r->base, ".old");
  if (backup == nullptr) return replacement_outcome::FAILED;
  // In place, the new copy is only a source of bytes.
  replacement_outcome outcome =
      mounted_over(r) ? update_in_place(r, &now, backup) : swap_in(r, &now, backup);
  free(backup);
  return outcome;
}

// Removes the names the run made and still owns, the kept one first, and
// closes the file and the new copy.
void drop_copies(replacement *r) {
  drop_name(r, &r->kept);
  drop_name(r, &r->copy);
  if (r->out != -1) close(r->out);
  r->out = -1;
  if (r->in != -1) close(r->in);
  r->in = -1;
  r->copy_locked = false;
}

// The one way out of a replacement, whatever happened: what the run made and
// still owns is removed, everything is closed and freed, and the signals are
// as they were before it began.
void clean_up(replacement *r) {
  drop_copies(r);
  if (r->turn != -1) close(r->turn);
  r->turn = -1;
  if (r->dir != -1) close(r->dir);
  r->dir = -1;
  free(r->copy.name);
  free(r->kept.name);
  free(r->target);
  r->copy.name = r->kept.name = r->target = nullptr;
  if (r->signals_held) {
    sigaction(SIGPIPE, &r->saved_pipe, nullptr);
    sigaction(SIGXFSZ, &r->saved_xfsz, nullptr);
    sigprocmask(SIG_SETMASK, &r->saved_mask, nullptr);
    r->signals_held = false;
  }
}

}  // namespace

void tell_remains(const replacement_remains *remains) {
  if (remains->left != nullptr) fprintf(stderr, "Files left behind:%s\n", remains->left);
  if (remains->damaged != nullptr)
    fprintf(stderr, "%s may be damaged; its previous contents are in %s.old\n",
            remains->damaged, remains->damaged);
}

void forget_remains(replacement_remains *remains) {
  free(remains->left);
  free(remains->damaged);
  remains->left = remains->damaged = nullptr;
}

int begin_replacement(replacement *r, const char *path, const char *shown,
                      int lock_wait_seconds) {
  *r = replacement();
  r->shown = shown;
  r->dir = r->in = r->out = r->turn = -1;
  r->lock_state = LOCK_UNTRIED;
  r->lock_deadline = deadline_after(lock_wait_seconds);
  int ok = open_and_find(r, path) && take_turn(r) && hold_file(r);
  if (ok) {
    char *backup = joined(r->base, ".old");
    struct stat st;
    ok = backup != nullptr;
    if (ok && fstatat(r->dir, backup, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      // Checked now, so that the swap is never undone for it.
      errno = EISDIR;
      ok = report("rename");
    }
    free(backup);
  }
  if (ok) {
    hold_signals(r);
    ok = create_copy(r);
  }
  if (!ok) clean_up(r);
  return ok;
}

replacement_outcome end_replacement(replacement *r, int ok) {
  replacement_outcome outcome = ok ? commit(r) : replacement_outcome::FAILED;
  if (outcome == replacement_outcome::START_OVER) {
    drop_copies(r);
    // The file as it is now, with what changed it kept.
    if (may_start_over(r) && hold_file(r) && create_copy(r)) return outcome;
    outcome = replacement_outcome::FAILED;
  }
  if (outcome == replacement_outcome::REPLACED) tell_owner_change(r);
  clean_up(r);
  return outcome;
}
