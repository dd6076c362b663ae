// SPDX-License-Identifier: MIT
// Runs on one file take turns: on a lock file beside it that only the
// writer can take, as git's lockfile, or where none can be had on the file
// itself. The lock file is also the journal of the run that holds it (where
// runs lock the file itself, a journal file of the same kind is): who
// holds it, each name the run makes (before it makes it), and an in-place
// rewrite under way, so that the run that takes the lock after one that
// died finishes its business; a run that ends leaves the journal empty.
//
// The journal is a series of entries of JOURNAL_ENTRY bytes, each
// "KIND SIX DEV INO BIRTH\n" with the kind padded to 7 bytes and the numbers
// to 20 digits: the first is the holder's ("holder", six dashes, its process
// id and the time it took the lock), each name is the file's name followed
// by the six characters SIX (dashes for the backup), and DEV, INO and BIRTH
// (its creation time, 0 where the system does not tell) are the file's
// identity, all 0 for a file about to be created: a file made since in its
// place, even with the same inode number, is not the run's. Entries of a fixed
// size are written over in place, and a name can only ever be one beside
// the file, whatever the journal holds.
#include <errno.h>
#include <fcntl.h>
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

// The journal's entries and how much of it a run reads.
constexpr size_t JOURNAL_ENTRY = 78;
constexpr size_t JOURNAL_MAX = 64 * JOURNAL_ENTRY;
constexpr const char JOURNAL_HOLDER[] = "holder";
constexpr const char NO_NAME[] = "------";

// Writes entry `kind` for the name `six` (six characters, or NO_NAME) and
// the numbers `a` and `b` at `at` of the journal. Returns 1, or 0 with errno
// set.
int write_entry(const replacement *r, off_t at, const char *kind, const char *six, uintmax_t a,
                uintmax_t b, uintmax_t birth) {
  char entry[JOURNAL_ENTRY + 1];
  snprintf(entry, sizeof entry, "%-7s %.6s %20llu %20llu %20llu\n", kind, six,
           static_cast<unsigned long long>(a), static_cast<unsigned long long>(b),
           static_cast<unsigned long long>(birth));
  ssize_t written = pwrite(r->journal, entry, JOURNAL_ENTRY, at);
  return written == static_cast<ssize_t>(JOURNAL_ENTRY);
}

// One entry read back from a journal.
struct journal_entry {
  char kind[8];
  char six[7];
  unsigned long long a, b, birth;
};

// Reads the number of up to 20 digits, padded in front with spaces, in the
// `width` bytes at `text` into *value. Returns whether it holds one.
bool read_number(const char *text, size_t width, unsigned long long *value) {
  size_t at = 0;
  while (at < width && text[at] == ' ') ++at;
  if (at == width) return false;
  unsigned long long n = 0;
  for (; at < width; ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    unsigned digit = static_cast<unsigned>(text[at] - '0');
    if (n > (~0ULL - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *value = n;
  return true;
}

// Reads the entry at `text`, JOURNAL_ENTRY bytes, each field at its place.
// Returns whether it is an entry of the journal's form.
bool read_entry(const char *text, journal_entry *e) {
  constexpr size_t KIND = 0, SIX = 8, A = 15, B = 36, BIRTH = 57, NUMBER = 20;
  if (text[JOURNAL_ENTRY - 1] != '\n' || text[SIX - 1] != ' ' || text[A - 1] != ' ' ||
      text[B - 1] != ' ' || text[BIRTH - 1] != ' ')
    return false;
  size_t kind = 0;
  while (kind < SIX - 1 && text[KIND + kind] >= 'a' && text[KIND + kind] <= 'z') ++kind;
  if (kind == 0) return false;
  for (size_t pad = kind; pad < SIX - 1; ++pad)
    if (text[KIND + pad] != ' ') return false;
  memcpy(e->kind, text + KIND, kind);
  e->kind[kind] = '\0';
  for (size_t i = 0; i < 6; ++i) {
    char c = text[SIX + i];
    if (!(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
      return false;
    e->six[i] = c;
  }
  e->six[6] = '\0';
  return read_number(text + A, NUMBER, &e->a) && read_number(text + B, NUMBER, &e->b) &&
         read_number(text + BIRTH, NUMBER, &e->birth);
}

// Whether `st`, the file `name` in the held directory (or open as `fd` for
// an empty `name`), is the file that journal entry `e` names.
bool is_named(const replacement *r, int fd, const char *name, const struct stat *st,
              const journal_entry *e) {
  return S_ISREG(st->st_mode) && static_cast<uintmax_t>(st->st_dev) == e->a &&
         static_cast<uintmax_t>(st->st_ino) == e->b &&
         (e->birth == 0 || platform_birth(*name == '\0' ? fd : r->dir, name) == e->birth);
}

// Whether `st` is a file that the run was about to create when it ended, and
// may have: empty, open to this user alone and with no other name.
bool is_unwritten(const struct stat *st) {
  return S_ISREG(st->st_mode) && st->st_uid == geteuid() && st->st_nlink == 1 &&
         st->st_size == 0 && (st->st_mode & 07777) == (S_IRUSR | S_IWUSR);
}

// Removes `name` beside the file, reporting a failure other than its
// absence and naming it as left.
void remove_left(replacement *r, const char *name) {
  if (unlinkat(r->dir, name, 0) == 0 || errno == ENOENT) return;
  perror("unlink");
  note_left(r, name);
}

// Puts the contents of the backup `backup`, which entry `e` names, back in
// the file, which a run that ended left half-rewritten in place. Returns 1,
// or 0 after reporting.
int put_back(replacement *r, const char *backup, const journal_entry *e) {
  int from = openat(r->dir, backup, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  struct stat st;
  if (from == -1 || fstat(from, &st) != 0 || !is_named(r, from, "", &st, e)) {
    // Not the backup that run made: neither the file nor what is there now
    // can be vouched for, and neither is to become a backup.
    if (from != -1) close(from);
    fprintf(stderr, "%s may be damaged: a run ended while it rewrote it, and its backup is gone\n",
            r->shown);
    return 0;
  }
  int to = openat(r->dir, r->base, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  struct stat file;
  int ok = to != -1 && fstat(to, &file) == 0 && S_ISREG(file.st_mode) ? 1 : report("open");
  ok = ok && took_rewrite_lock(r, to) && copy_contents(from, to) &&
       (ftruncate(to, st.st_size) == 0 || report("ftruncate")) && flush(to);
  if (ok)
    fprintf(stderr, "Wrote the previous contents of %s back from %s.old: a run ended while it rewrote them\n",
            r->shown, r->shown);
  if (to != -1) close(to);
  close(from);
  return ok;
}

// Finishes the business of a run that died holding the lock, as its
// journal `text` of `length` bytes says: each name it made is removed if it
// is still the file it made, the previous file it kept becomes the backup
// once the file is another, and a rewrite in place it began is undone from
// its backup. Returns 1, or 0 after reporting a failure to undo it, in which
// case the journal is kept for a later run.
int finish_dead_run(replacement *r, const char *text, size_t length) {
  char *backup = joined(r->base, ".old");
  int ok = backup != nullptr;
  for (size_t at = 0; ok && at + JOURNAL_ENTRY <= length; at += JOURNAL_ENTRY) {
    journal_entry e;
    if (!read_entry(text + at, &e)) continue;
    if (strcmp(e.kind, JOURNAL_REWRITE) == 0) {
      ok = put_back(r, backup, &e);
      continue;
    }
    if (strcmp(e.kind, JOURNAL_MADE) != 0 && strcmp(e.kind, JOURNAL_KEPT) != 0) continue;
    char *name = joined(r->base, e.six);
    struct stat st, file;
    if (name == nullptr) {
      ok = 0;
    } else if (fstatat(r->dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Gone already.
    } else if (strcmp(e.kind, JOURNAL_MADE) == 0) {
      if (e.a == 0 && e.b == 0 ? is_unwritten(&st) : is_named(r, -1, name, &st, &e))
        remove_left(r, name);
    } else if (is_named(r, -1, name, &st, &e)) {
      // The previous file: a second name of the file still in place, or,
      // once another file is in place, its backup.
      if (fstatat(r->dir, r->base, &file, AT_SYMLINK_NOFOLLOW) == 0 && same_file(&file, &st)) {
        if (st.st_nlink > 1) remove_left(r, name);
      } else if (renameat(r->dir, name, r->dir, backup) != 0) {
        perror("rename");
      }
    }
    free(name);
  }
  free(backup);
  r->journal_kept = !ok;
  return ok;
}

// Reads the journal of the lock file `fd` into `text` of JOURNAL_MAX bytes.
// Returns its length, 0 for none.
size_t read_journal(int fd, char *text) {
  ssize_t got = pread(fd, text, JOURNAL_MAX, 0);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

// Takes over the journal once the run holds the lock: finishes what a run
// that died left there, then names this run as the holder. Returns 1, or 0
// after reporting.
int begin_journal(replacement *r) {
  char *text = static_cast<char *>(malloc(JOURNAL_MAX));
  if (text == nullptr) return report("malloc");
  size_t length = read_journal(r->journal, text);
  int ok = length == 0 || finish_dead_run(r, text, length);
  free(text);
  if (!ok) return 0;
  r->journal_end = static_cast<off_t>(JOURNAL_ENTRY);
  // A journal that cannot be written costs only the clean-up after a kill,
  // and in place the rewrite, which says so.
  (void)write_entry(r, 0, JOURNAL_HOLDER, NO_NAME, static_cast<uintmax_t>(getpid()),
                    static_cast<uintmax_t>(time(nullptr)), 0);
  (void)!ftruncate(r->journal, r->journal_end);
  return 1;
}

// The holder that the journal of lock file `fd` names: its entry, or an
// empty one while none is named.
journal_entry holder_of(int fd) {
  char text[JOURNAL_ENTRY];
  journal_entry e = {};
  if (pread(fd, text, sizeof text, 0) != static_cast<ssize_t>(sizeof text) || !read_entry(text, &e) ||
      strcmp(e.kind, JOURNAL_HOLDER) != 0)
    e = journal_entry();
  return e;
}

int try_flock(int fd) { return flock(fd, LOCK_EX | LOCK_NB); }

// A lock a run waits for: how it is taken without waiting, the call that
// names its failure, and whether the file's journal names its holder.
struct lock_kind {
  int (*take)(int fd);
  const char *call;
  bool names_holder;
};
constexpr lock_kind TURN = {try_flock, "flock", true};
constexpr lock_kind FILE_ITSELF = {try_flock, "flock", false};
constexpr lock_kind REWRITE = {platform_lock_rewrite, "fcntl", false};

// Takes the exclusive lock of `kind` on `fd`, waiting for another holder
// until `deadline`, and saying once that it waits. Where the journal names
// the holder, the deadline counts from the last change of holder, so that a
// long queue of runs is no reason to give up. FAILED is reported.
lock_result wait_for_lock(replacement *r, int fd, timespec deadline, const lock_kind &kind) {
  journal_entry seen = kind.names_holder ? holder_of(fd) : journal_entry();
  for (;;) {
    if (kind.take(fd) == 0) return lock_result::LOCKED;
    int error = errno;
    if (lock_unsupported(error)) return lock_result::UNSUPPORTED;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) {
      perror(kind.call);
      return lock_result::FAILED;
    }
    if (r->lock_state == lock_said::GIVEN_UP) return lock_result::TIMED_OUT;
    if (r->lock_state == lock_said::NOTHING) {
      fprintf(stderr, "Waiting for the lock on %s\n", r->shown);
      r->lock_state = lock_said::WAITING;
    }
    if (kind.names_holder) {
      journal_entry now = holder_of(fd);
      if (now.a != seen.a || now.b != seen.b) deadline = deadline_after(TURN_WAIT_SECONDS);
      seen = now;
    }
    if (milliseconds_until(deadline) == 0) {
      r->lock_state = lock_said::GIVEN_UP;
      return lock_result::TIMED_OUT;
    }
    const timespec pause = {0, LOCK_RETRY_NS};
    nanosleep(&pause, nullptr);
  }
}

// Says who holds the lock file `fd` that the run gave up waiting for, as
// its journal names the holder.
void tell_holder(int fd) {
  journal_entry holder = holder_of(fd);
  if (holder.a == 0) return;
  unsigned long long now = static_cast<unsigned long long>(time(nullptr));
  fprintf(stderr, "Process %llu has held it for %llu seconds\n", holder.a,
          now > holder.b ? now - holder.b : 0ULL);
}

}  // namespace

void journal_name(replacement *r, owned_name *n, const char *kind, const struct stat *st, int fd) {
  if (r->journal == -1) return;
  if (n->entry == -1) {
    n->entry = r->journal_end;
    r->journal_end += static_cast<off_t>(JOURNAL_ENTRY);
  }
  const char *six = n->name + strlen(n->name) - 6;
  (void)write_entry(r, n->entry, kind, six, st == nullptr ? 0 : static_cast<uintmax_t>(st->st_dev),
                    st == nullptr ? 0 : static_cast<uintmax_t>(st->st_ino),
                    fd == -1 ? 0 : platform_birth(fd, ""));
}

int journal_rewrite(replacement *r, const struct stat *backup, const char *backup_name) {
  if (r->journal == -1) return 1;
  if (!write_entry(r, r->journal_end, JOURNAL_REWRITE, NO_NAME,
                   static_cast<uintmax_t>(backup->st_dev), static_cast<uintmax_t>(backup->st_ino),
                   platform_birth(r->dir, backup_name)))
    return report("write");
  r->journal_end += static_cast<off_t>(JOURNAL_ENTRY);
  return flush(r->journal);
}

void end_journal(replacement *r) {
  if (r->journal != -1 && !r->journal_kept) (void)!ftruncate(r->journal, 0);
}

bool lock_unsupported(int error) {
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
  return wait_for_lock(r, fd, deadline, FILE_ITSELF);
}

int took_rewrite_lock(replacement *r, int fd) {
  switch (wait_for_lock(r, fd, deadline_after(r->lock_wait_seconds), REWRITE)) {
    case lock_result::LOCKED:
    case lock_result::UNSUPPORTED:
      return 1;
    case lock_result::TIMED_OUT:
      return gave_up_without_lock(r);
    case lock_result::FAILED:
      break;
  }
  return 0;
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

// Opens `name` beside the file, created open to the writer alone, and
// trusts it only as a regular file of the writer's own with one link that
// gives nobody else any permission, whatever the directory: then nobody but
// the writer, or root, can have written what it holds. Returns the
// descriptor, or -1 with errno set; *untrusted says whether the file was
// there but not such a file.
int open_private(const replacement *r, const char *name, bool *untrusted) {
  *untrusted = false;
  int fd = openat(r->dir, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
                  S_IRUSR | S_IWUSR);
  struct stat st;
  if (fd == -1 || fstat(fd, &st) != 0) {
    int error = errno;
    if (fd != -1) close(fd);
    errno = error;
    return -1;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
      (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    close(fd);
    *untrusted = true;
    return -1;
  }
  return fd;
}

// Opens the lock file `lock_name` beside the file, trusted as open_private
// trusts a file, and only in a directory that nobody else may write: nobody
// but the file's writers can then hold it, nor put another in its place.
// Where no such lock file can be had, runs are to take turns on the file
// itself, which this says and r->lock_itself records. Returns the lock
// file's descriptor, or -1 when there is none: then either runs lock the
// file itself, or the failure has been reported.
int open_lock_file(replacement *r, const char *lock_name) {
  struct stat st;
  if (fstat(r->dir, &st) != 0) {
    report("fstat");
    return -1;
  }
  if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    lock_the_file(r, lock_name, "its directory is not this user's alone");
    return -1;
  }
  bool untrusted;
  int fd = open_private(r, lock_name, &untrusted);
  if (fd == -1 && untrusted) {
    lock_the_file(r, lock_name, "not a private file of this user");
  } else if (fd == -1 && (errno == EMFILE || errno == ENFILE || errno == ENOMEM)) {
    report("open");
  } else if (fd == -1) {
    lock_the_file(r, lock_name, strerror(errno));
  }
  return fd;
}

// `.NAME` followed by `ending`, in memory from malloc, or null after
// reporting.
char *hidden_name(const replacement *r, const char *ending) {
  char *name = joined(".", r->base);
  char *whole = name == nullptr ? nullptr : joined(name, ending);
  free(name);
  return whole;
}

}  // namespace

// Waits for this run's turn on the lock file beside the file, for as long as
// a run ahead may take: only one that is stuck makes this one give up.
// Returns 1, or 0 after reporting.
int take_turn(replacement *r) {
  char *lock_name = hidden_name(r, ".lock");
  int fd = lock_name == nullptr ? -1 : open_lock_file(r, lock_name);
  int ok = fd != -1 || r->lock_itself;
  if (fd != -1) {
    switch (wait_for_lock(r, fd, deadline_after(TURN_WAIT_SECONDS), TURN)) {
      case lock_result::LOCKED:
        r->turn = r->journal = fd;
        fd = -1;
        ok = begin_journal(r);
        break;
      case lock_result::UNSUPPORTED:
        break;
      case lock_result::TIMED_OUT:
        ok = gave_up_without_lock(r);
        tell_holder(fd);
        break;
      case lock_result::FAILED:
        ok = 0;
        break;
    }
    r->lock_state = lock_said::NOTHING;
  }
  if (fd != -1) close(fd);
  free(lock_name);
  return ok;
}

// A journal file where runs lock the file itself: it holds no lock, and a
// directory that others may write lets them take it away, which costs only
// the clean-up after a kill; what it says, only this user can have written.
int take_journal(replacement *r) {
  if (r->journal != -1) return 1;
  char *name = hidden_name(r, ".journal");
  if (name == nullptr) return 0;
  bool untrusted;
  r->journal = open_private(r, name, &untrusted);
  free(name);
  if (r->journal == -1) return 1;
  return begin_journal(r) && (fstat(r->in, &r->read) == 0 || report("fstat"));
}

}  // namespace replacing
