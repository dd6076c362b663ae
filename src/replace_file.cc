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

namespace {

// How often a run waiting for another run's lock tries again.
constexpr long LOCK_RETRY_NS = 50000000L;

// Symbolic links followed to find the file's directory entry, as the kernel
// follows at most 40.
constexpr int LINK_HOPS = 40;

// Unique names tried before giving up: each try creates nothing when the
// name is taken, so a directory that refuses removals cannot fill up.
constexpr int NAME_TRIES = 100;

// Times the file may be replaced by another program during one run before
// the run gives up.
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

// Reports the failed `call` in the perror form; returns 0, the failure result.
int report(const char *call) {
  perror(call);
  return 0;
}

int same_file(const struct stat *a, const struct stat *b) {
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Whether `name` in the held directory still leads to the file that was read.
int still_there(const replacement *r, const char *name) {
  struct stat now;
  return fstatat(r->dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_file(&now, &r->previous);
}

// Removes `name` from the held directory, reporting a failure other than its
// absence. Keeps errno as it was, since it runs on the way out of failures.
void remove_name(const replacement *r, const char *name) {
  int error = errno;
  if (unlinkat(r->dir, name, 0) != 0 && errno != ENOENT) perror("unlink");
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

// Makes `name` in the held directory with `attempt`, its last six characters
// chosen at random again while the name is taken (as mkstemp does, but beside
// the file that was read whatever has become of its path). Returns what the
// last attempt returned: -1, with errno set, when none succeeded.
int under_unique_name(const replacement *r, char *name,
                      int (*attempt)(const replacement *, const char *)) {
  char *six = name + strlen(name) - 6;
  int result = -1;
  for (int tries = 0; tries < NAME_TRIES; ++tries) {
    fill_unique(six);
    result = attempt(r, name);
    if (result != -1 || errno != EEXIST) break;
  }
  return result;
}

int create_file(const replacement *r, const char *name) {
  return openat(r->dir, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                S_IRUSR | S_IWUSR);
}

int link_previous(const replacement *r, const char *name) {
  return linkat(r->dir, r->base, r->dir, name, 0);
}

// Creates a new file, open to its owner alone, in the held directory under
// `name` with its last six characters chosen at random. Returns the
// descriptor, open for reading and writing, or -1 after reporting.
int create_unique(const replacement *r, char *name) {
  int fd = under_unique_name(r, name, create_file);
  if (fd == -1) perror("mkstemp");
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

// Finds and holds the directory entry through which the kernel reached the
// file open as r->in: the directory part of `path` is opened by the kernel
// (magic links such as /proc/PID/root lead where they lead), and a symbolic
// link as the last component is read and resolved from the directory that
// holds it, hop by hop. The entry found must be the file that is open; a
// link the kernel follows but whose text does not lead there (a /proc/PID/fd
// link, or a path changed meanwhile) leaves it unfound. Returns 1 with
// r->dir, r->target and r->base set, or 0 after saying so.
int find_entry(replacement *r, const char *path) {
  char *text = strdup(path), *shown = strdup(path);
  int dir = AT_FDCWD, found = 0;
  for (int hop = 0; text != nullptr && shown != nullptr && hop <= LINK_HOPS; ++hop) {
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
    struct stat at;
    if (dir == -1 || *name == '\0' ||
        fstatat(dir, name, &at, AT_SYMLINK_NOFOLLOW) != 0)
      break;
    if (!S_ISLNK(at.st_mode)) {
      found = same_file(&at, &r->previous);
      break;
    }
    char *link = read_link(dir, name);
    char *link_shown = link == nullptr ? nullptr
                       : link[0] == '/' ? strdup(link)
                                        : beside(shown, link);
    free(text);
    free(shown);
    text = link;
    shown = link_shown;
  }
  free(text);
  if (!found) {
    if (dir != AT_FDCWD && dir != -1) close(dir);
    free(shown);
    fprintf(stderr, "Unable to find the directory that holds %s\n", r->shown);
    return 0;
  }
  r->dir = dir;
  r->target = shown;
  const char *slash = strrchr(shown, '/');
  r->base = slash == nullptr ? shown : slash + 1;
  return 1;
}

int lock_unsupported(int error) {
  // NFS refuses a lock on a descriptor open for reading.
  return error == EBADF || error == ENOLCK || platform_unsupported(error) || error == EINVAL;
}

// Takes the exclusive lock on r->in, waiting for another holder until the
// deadline, saying so once, and after it going on without the lock, saying
// that too: a lock anyone who can read the file may take must not stop the
// update. A file system that cannot lock is used without one. Sets r->locked.
// Returns 1, or 0 after reporting the failure.
int lock_previous(replacement *r) {
  r->locked = 0;
  for (;;) {
    if (flock(r->in, LOCK_EX | LOCK_NB) == 0) {
      r->locked = 1;
      return 1;
    }
    int error = errno;
    if (lock_unsupported(error)) return 1;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) return report("flock");
    if (r->lock_state == LOCK_GIVEN_UP) return 1;
    if (r->lock_state == LOCK_UNTRIED) {
      fprintf(stderr, "Waiting for the lock on %s\n", r->shown);
      r->lock_state = LOCK_WAITED;
    }
    if (milliseconds_until(r->lock_deadline) == 0) {
      fprintf(stderr, "Going on without the lock on %s\n", r->shown);
      r->lock_state = LOCK_GIVEN_UP;
      return 1;
    }
    const timespec pause = {0, LOCK_RETRY_NS};
    nanosleep(&pause, nullptr);
  }
}

// Refuses what is not a regular file: devices and FIFOs never end, or are
// not the system's to replace. Reading a directory is what fails.
int regular_file(const replacement *r) {
  if (S_ISREG(r->previous.st_mode)) return 1;
  if (S_ISDIR(r->previous.st_mode)) {
    errno = EISDIR;
    return report("read");
  }
  fprintf(stderr, "%s is not a regular file\n", r->shown);
  return 0;
}

// Counts one more start over on a file that another program replaced
// meanwhile. Returns 1 while the run may start over, 0 after saying that it
// gives up.
int may_start_over(replacement *r) {
  if (++r->restarts <= MAX_RESTARTS) return 1;
  fprintf(stderr, "%s kept changing during the update\n", r->shown);
  return 0;
}

// Opens (unless r->in is open) and locks the file that r->base names in the
// held directory, and checks that the name still leads to it: a run that had
// to wait may find it replaced by the run it waited for, and then starts over
// on the new file so that the entry that run wrote is kept. Returns 1, or 0
// after reporting, with r->in possibly still open.
int hold_previous(replacement *r) {
  for (;;) {
    if (r->in == -1) {
      r->in = openat(r->dir, r->base,
                     O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
      // The tool names every failure to open the hosts file "fopen".
      if (r->in == -1) return report("fopen");
    }
    if (fstat(r->in, &r->previous) != 0) return report("fstat");
    if (!regular_file(r) || !lock_previous(r)) return 0;
    // Another run may have rewritten the file in place while this one waited.
    if (fstat(r->in, &r->previous) != 0) return report("fstat");
    if (still_there(r, r->base)) return 1;
    if (!may_start_over(r)) return 0;
    close(r->in);
    r->in = -1;
  }
}

// Creates the new copy beside the file and, when the file is locked, locks it
// too: once renamed into place it is the file that the next run waits for,
// until this run has also renamed the backup. Returns 1, or 0 after reporting.
int create_copy(replacement *r) {
  free(r->temp);
  r->temp = joined(r->base, "XXXXXX");
  if (r->temp == nullptr) return 0;
  r->out = create_unique(r, r->temp);
  if (r->out == -1) return 0;
  r->owns_copy = true;
  return !r->locked || flock(r->out, LOCK_EX | LOCK_NB) == 0 ||
         lock_unsupported(errno) || report("flock");
}

// Gives `to` the owner, extended attributes and mode of `from`, in that order:
// a change of owner clears set-id bits and capabilities, and with an ACL the
// group bits of the mode are its mask, which the group itself would get for a
// moment if the mode came before the ACL. The group bits are for the group
// they were for: when it cannot be kept, they are cleared. Attributes the new
// file got from its directory (a default ACL, which would open it to
// others) go first, so that it ends up with exactly the original's. Returns 1,
// or 0 after reporting the failure unless `quiet`.
int copy_attributes(int from, const struct stat *from_stat, int to, bool quiet) {
  // Failing to change the owner is expected when not running as root; the
  // group can still be kept by a member of it.
  if (fchown(to, from_stat->st_uid, from_stat->st_gid) != 0)
    (void)!fchown(to, static_cast<uid_t>(-1), from_stat->st_gid);
  const char *failed = "fstat";
  struct stat now;
  int ok = fstat(to, &now) == 0;
  if (ok) {
    mode_t mode = from_stat->st_mode & 07777;
    if (now.st_gid != from_stat->st_gid) mode &= ~static_cast<mode_t>(S_IRWXG | S_ISGID);
    ok = platform_clear_attributes(to, &failed) &&
         platform_copy_attributes(from, to, &failed);
    if (ok && fchmod(to, mode) != 0) {
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

// Writes a flushed copy of the previous file with its bytes and attributes
// under `name` (six characters at its end chosen here). For a file rewritten
// in place, where the new copy lacks them too, attributes that cannot be
// carried over leave the copy open to its owner alone. Returns the
// descriptor, or -1 after reporting, with nothing left.
int make_copy(const replacement *r, char *name, int in_place) {
  int fd = create_unique(r, name);
  if (fd == -1) return -1;
  int ok = copy_contents(r->in, fd) &&
           (copy_attributes(r->in, &r->previous, fd, in_place) ||
            (in_place && (fchmod(fd, r->previous.st_mode & S_IRWXU) == 0 || report("fchmod")))) &&
           flush(fd);
  if (ok) return fd;
  close(fd);
  remove_name(r, name);
  return -1;
}

// Removes the kept name of the previous file, if the run still owns one.
void drop_kept(replacement *r) {
  if (r->owns_kept) remove_name(r, r->kept);
  r->owns_kept = false;
}

// Keeps the previous file under a new unique name beside it, r->kept, to
// become the backup once the new file is in place: a second link where the
// file system allows one, otherwise, or when `copy_fd` asks for it (a file
// about to be rewritten in place), a flushed copy, whose descriptor is then
// left there. Returns 1, or 0 after reporting.
int keep_previous(replacement *r, int *copy_fd) {
  free(r->kept);
  r->kept = joined(r->base, "XXXXXX");
  if (r->kept == nullptr) return 0;
  if (copy_fd == nullptr) {
    if (under_unique_name(r, r->kept, link_previous) == 0) {
      r->owns_kept = true;
      if (still_there(r, r->kept)) return 1;
      // The name led to another file by then: a copy keeps the one read.
      drop_kept(r);
    } else if (!link_refused(errno)) {
      return report("link");
    }
  }
  int fd = make_copy(r, r->kept, copy_fd != nullptr);
  if (fd == -1) return 0;
  r->owns_kept = true;
  if (copy_fd != nullptr)
    *copy_fd = fd;
  else
    close(fd);
  return 1;
}

// Renames the kept previous file to the backup name. Where the backup already
// is that file (a hard link made by hand), the rename does nothing and the
// kept name is removed. Returns 1, or 0 with errno set by the rename.
int rename_kept(replacement *r, const char *backup) {
  if (renameat(r->dir, r->kept, r->dir, backup) != 0) return 0;
  drop_kept(r);
  return 1;
}

// Writes the contents of `from` over `fd` and cuts it to their length.
// Returns 1, or 0 after reporting the failure.
int overwrite(int fd, int from) {
  struct stat st;
  return (fstat(from, &st) == 0 || report("fstat")) && copy_contents(from, fd) &&
         (ftruncate(fd, st.st_size) == 0 || report("ftruncate")) && flush(fd);
}

// Says where the previous contents of the file are when they could not be
// put back. That name is the user's from then on, and stays.
void tell_kept(replacement *r, const char *backup) {
  const char *kept = rename_kept(r, backup) ? backup : r->kept;
  char *path = beside(r->target, kept);
  fprintf(stderr, "The previous contents of %s are in %s\n", r->shown,
          path == nullptr ? kept : path);
  free(path);
  r->owns_kept = false;
}

// Whether the file is mounted over its name (a container's /etc/hosts), so
// that no rename can replace it: it lies on another file system or mount
// than the directory that holds it. Where the mount cannot be told, a rename
// finds out.
int mounted_over(const replacement *r) {
  struct stat dir;
  if (fstat(r->dir, &dir) == 0 && dir.st_dev != r->previous.st_dev) return 1;
  return platform_mounted_apart(r->dir, r->base);
}

// A file mounted over its name cannot be renamed over, so its contents are
// rewritten. A flushed copy of it, its name synced, comes first, so that the
// backup is never the file being rewritten; then the space is reserved, so
// that a full disk stops the update before a byte changes. Once the new
// contents are flushed the copy becomes the backup; a failure on the way
// writes the previous contents back. Returns 1, 0 after reporting, or -1
// when the name no longer leads to the file that was read.
int update_in_place(replacement *r, const char *backup) {
  // Read as well as written: without a reservation of its own, the file
  // system has the C library emulate it by reading the file.
  int fd = openat(r->dir, r->base,
                  O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd == -1) return report("open");
  struct stat st, next;
  if (fstat(fd, &st) != 0 || !same_file(&st, &r->previous)) {
    close(fd);
    return -1;
  }
  int copy = -1;
  int ok = keep_previous(r, &copy) && sync_directory(r) &&
           (fstat(r->out, &next) == 0 || report("fstat"));
  const char *failed = nullptr;
  if (ok && next.st_size > st.st_size && !platform_reserve(fd, next.st_size, &failed)) {
    // An emulated reservation may have grown the file before it failed.
    int error = errno;
    (void)!ftruncate(fd, st.st_size);
    errno = error;
    ok = report(failed);
  }
  if (ok) {
    ok = overwrite(fd, r->out) && (rename_kept(r, backup) || report("rename"));
    if (ok)
      (void)sync_directory(r);
    else if (overwrite(fd, copy))
      fprintf(stderr, "Wrote the previous contents back to %s\n", r->shown);
    else
      tell_kept(r, backup);
  }
  if (copy != -1) close(copy);
  close(fd);
  return ok;
}

// Puts the flushed new copy in place of the file, keeping the previous file
// as `backup`. The name always leads to a whole file: one rename swaps the
// new copy in, and only then does the kept previous file replace the backup;
// if that fails the previous file goes back, and if even that fails the new
// file stays, with a line saying where the previous one is. Returns 1; 0
// after reporting, with the file and the backup as they were; or -1 when the
// name no longer leads to the file that was read.
int swap_in(replacement *r, const char *backup) {
  if (!keep_previous(r, nullptr)) return 0;
  int ok;
  if (!still_there(r, r->base)) {
    ok = -1;
  } else if (renameat(r->dir, r->temp, r->dir, r->base) == 0) {
    r->owns_copy = false;
    ok = 1;
    if (!rename_kept(r, backup)) {
      perror("rename");
      // Without its backup the update is undone: the previous file goes back.
      if (renameat(r->dir, r->kept, r->dir, r->base) == 0) {
        r->owns_kept = false;
        ok = 0;
      } else {
        tell_kept(r, backup);
      }
    }
  } else if (errno == EBUSY) {
    // The file is a mount point on the same file system after all.
    drop_kept(r);
    ok = update_in_place(r, backup);
  } else {
    ok = report("rename");
  }
  if (ok == 1) (void)sync_directory(r);
  return ok;
}

// Removes the names the run created and still owns, the kept one first, and
// closes the file and the new copy.
void drop_copies(replacement *r) {
  drop_kept(r);
  if (r->owns_copy) remove_name(r, r->temp);
  r->owns_copy = false;
  if (r->out != -1) close(r->out);
  r->out = -1;
  if (r->in != -1) close(r->in);
  r->in = -1;
}

// The one way out of a replacement, whatever happened: what the run created
// and still owns is removed, everything is closed and freed, and the signals
// are as they were before it began.
void clean_up(replacement *r) {
  drop_copies(r);
  if (r->dir != -1) close(r->dir);
  r->dir = -1;
  free(r->temp);
  free(r->kept);
  free(r->target);
  r->temp = r->kept = r->target = nullptr;
  if (r->signals_held) {
    sigaction(SIGXFSZ, &r->saved_xfsz, nullptr);
    sigprocmask(SIG_SETMASK, &r->saved_mask, nullptr);
    r->signals_held = false;
  }
}

}  // namespace

int begin_replacement(replacement *r, const char *path, int lock_wait_seconds) {
  r->shown = path;
  r->target = nullptr;
  r->temp = nullptr;
  r->kept = nullptr;
  r->owns_copy = false;
  r->owns_kept = false;
  r->signals_held = false;
  r->dir = -1;
  r->out = -1;
  r->locked = 0;
  r->restarts = 0;
  r->lock_state = LOCK_UNTRIED;
  r->lock_deadline = deadline_after(lock_wait_seconds);
  // The kernel follows the links, with its protections, as for any program;
  // a FIFO opened without blocking does not wait for a writer.
  r->in = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (r->in == -1) return report("fopen");
  int ok = (fstat(r->in, &r->previous) == 0 || report("fstat")) && regular_file(r) &&
           find_entry(r, path) && hold_previous(r);
  char *backup = ok ? joined(r->base, ".old") : nullptr;
  struct stat st;
  ok = backup != nullptr;
  if (ok && fstatat(r->dir, backup, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    // Checked now, so that the swap is never undone for it.
    errno = EISDIR;
    ok = report("rename");
  }
  free(backup);
  if (ok) {
    // From the first file created to the last removed, these signals wait,
    // so that none leaves a temporary file behind or the update half done;
    // a size limit makes writes fail instead of ending the run.
    sigset_t held_off;
    sigemptyset(&held_off);
    sigaddset(&held_off, SIGTERM);
    sigaddset(&held_off, SIGINT);
    sigaddset(&held_off, SIGHUP);
    sigprocmask(SIG_BLOCK, &held_off, &r->saved_mask);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &r->saved_xfsz);
    r->signals_held = true;
    ok = create_copy(r);
  }
  if (!ok) clean_up(r);
  return ok;
}

int end_replacement(replacement *r, int ok) {
  int in_place = ok && mounted_over(r);
  // In place, the new copy is only a source of bytes.
  ok = ok && (in_place || copy_attributes(r->in, &r->previous, r->out, false)) && flush(r->out);
  char *backup = ok ? joined(r->base, ".old") : nullptr;
  int result = backup == nullptr ? 0 : in_place ? update_in_place(r, backup) : swap_in(r, backup);
  free(backup);
  drop_copies(r);
  if (result == -1) {
    // Another program replaced the file: its changes are kept by starting over.
    if (may_start_over(r) && hold_previous(r) && create_copy(r)) return -1;
    result = 0;
  }
  clean_up(r);
  return result;
}
