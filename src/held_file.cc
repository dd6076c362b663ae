// SPDX-License-Identifier: MIT
// Finding the file and the directory that holds it, and holding both by
// descriptor, so that every later step is relative to that directory.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform.h"
#include "replacement.h"

namespace replacing {

namespace {

// Symbolic links followed to find the file's directory entry, as the kernel
// follows at most 40.
constexpr int LINK_HOPS = 40;

// Opens directory `name` relative to `at`, never through a link. A
// directory that may be searched but not read is still held, by a
// descriptor that cannot be synced.
int open_directory(int at, const char *name) {
  int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd == -1 && errno == EACCES) fd = platform_open_searchable(at, name);
  return fd;
}

// Reads symbolic link `name` in `dir` into memory from malloc, or returns
// null with errno set.
char *read_link(int dir, const char *name) {
  char *text = static_cast<char *>(malloc(PATH_MAX));
  if (text == nullptr) return nullptr;
  ssize_t length = readlinkat(dir, name, text, PATH_MAX);
  if (length <= 0 || length >= PATH_MAX) {
    if (length >= 0) errno = length == 0 ? ENOENT : ENAMETOOLONG;
    free(text);
    return nullptr;
  }
  text[length] = '\0';
  return text;
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

// A path being walked, as systemd's chase() walks it with CHASE_SAFE.
struct walk {
  int dir;             // the directory reached so far
  struct stat dir_st;  // that directory
  char *where;         // its path as text, empty or ending in a slash
  char *todo;          // what is left of the path
  int hops;            // symbolic links followed so far
};

// Whether the step from `from` to `to`, owned by other users, is one that a
// user other than root could have planted: a directory or link of one user
// leading to what another owns.
bool unsafe_step(const struct stat *from, const struct stat *to) {
  return from->st_uid != 0 && from->st_uid != to->st_uid;
}

// Refuses the path, for that step. Returns 0, the failure result.
int refuse_step(const replacement *r, const struct stat *from, const struct stat *to) {
  fprintf(stderr, "Refusing %s: its path steps from what user %lu owns to what user %lu owns\n",
          r->shown, static_cast<unsigned long>(from->st_uid), static_cast<unsigned long>(to->st_uid));
  return 0;
}

// Goes on from directory `fd`, which `st` describes, with `where` as its
// path. Returns 1, or 0 after reporting.
int enter(walk *w, int fd, const struct stat *st, char *where) {
  if (w->dir != -1) close(w->dir);
  free(w->where);
  w->dir = fd;
  w->dir_st = *st;
  w->where = where;
  return fd != -1 && where != nullptr;
}

// Starts the walk again at the root directory, as an absolute link does,
// coming from `from`. Returns 1, or 0 after reporting.
int restart_at_root(const replacement *r, walk *w, const struct stat *from) {
  int fd = open_directory(AT_FDCWD, "/");
  struct stat st;
  if (fd == -1 || fstat(fd, &st) != 0) {
    // Reported before the close, which could change errno.
    const int failed = report("open");
    if (fd != -1) close(fd);
    return failed;
  }
  if (unsafe_step(from, &st)) {
    close(fd);
    return refuse_step(r, from, &st);
  }
  return enter(w, fd, &st, strdup("/"));
}

// Follows the symbolic link `name`, which `st` describes, in the walk's
// directory, `rest` being what follows it: its text takes its place.
// Returns 1, or 0 after reporting.
int follow_link(const replacement *r, walk *w, const char *name, const struct stat *st,
                const char *rest) {
  if (++w->hops > LINK_HOPS) {
    errno = ELOOP;
    return report("fopen");
  }
  char *text = read_link(w->dir, name);
  if (text == nullptr) return report("fopen");
  char *todo = *rest == '\0' ? text : joined(text, "/");
  char *whole = todo == nullptr || *rest == '\0' ? todo : joined(todo, rest);
  if (todo != text) free(text);
  if (whole != todo) free(todo);
  free(w->todo);
  w->todo = whole;
  if (whole == nullptr) return 0;
  return whole[0] != '/' || restart_at_root(r, w, st);
}

// Opens the file `name` that `st` describes in the walk's directory, the
// last step. Returns 1 with r->in, r->dir, r->target and r->base, or 0 after
// reporting.
int open_found(replacement *r, walk *w, const char *name, const struct stat *st) {
  if (!regular_file(r, st)) return 0;
  r->in = openat(w->dir, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (r->in == -1) return report("fopen");
  r->target = joined(w->where, name);
  if (r->target == nullptr) return 0;
  r->dir = w->dir;
  w->dir = -1;
  const char *slash = strrchr(r->target, '/');
  r->base = slash == nullptr ? r->target : slash + 1;
  return 1;
}

// Takes the next step of the walk. Returns 1 to go on, 0 after reporting,
// and sets *found once r->in is open.
int step(replacement *r, walk *w, bool *found) {
  char *name = w->todo;
  while (*name == '/') ++name;
  if (*name == '\0') {
    // The path ends in a directory: the file is that directory.
    errno = EISDIR;
    return report("read");
  }
  char *slash = strchr(name, '/');
  if (slash != nullptr) *slash = '\0';
  const char *rest = slash == nullptr ? "" : slash + 1;
  bool last = slash == nullptr;
  struct stat st;
  int ok = 1;
  if (strcmp(name, ".") == 0) {
    // Nothing to step over.
  } else if (fstatat(w->dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    ok = report("fopen");
  } else if (unsafe_step(&w->dir_st, &st)) {
    ok = refuse_step(r, &w->dir_st, &st);
  } else if (S_ISLNK(st.st_mode) && platform_kernel_links(w->dir)) {
    // A link of the system's own (/proc/PID/root) leads where the system
    // says, which no text tells.
    int fd = last ? -1 : openat(w->dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat next;
    if (last) {
      fprintf(stderr, "Unable to find the directory that holds %s\n", r->shown);
      ok = 0;
    } else if (fd == -1 || fstat(fd, &next) != 0) {
      ok = report("fopen");
    } else if (unsafe_step(&st, &next)) {
      ok = refuse_step(r, &st, &next);
    } else {
      char *where = joined(w->where, name), *entered = where == nullptr ? nullptr : joined(where, "/");
      free(where);
      ok = enter(w, fd, &next, entered);
      fd = -1;
    }
    if (fd != -1) close(fd);
  } else if (S_ISLNK(st.st_mode)) {
    char *tail = strdup(rest);
    ok = tail != nullptr && follow_link(r, w, name, &st, tail);
    free(tail);
    return ok;
  } else if (last) {
    ok = open_found(r, w, name, &st);
    *found = ok;
  } else if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    ok = report("fopen");
  } else {
    int fd = open_directory(w->dir, name);
    struct stat next;
    if (fd == -1 || fstat(fd, &next) != 0) {
      ok = report("open");
      if (fd != -1) close(fd);
    } else if (unsafe_step(&w->dir_st, &next)) {
      close(fd);
      ok = refuse_step(r, &w->dir_st, &next);
    } else {
      char *where = joined(w->where, name), *entered = where == nullptr ? nullptr : joined(where, "/");
      free(where);
      ok = enter(w, fd, &next, entered);
    }
  }
  if (ok && !*found) {
    char *todo = strdup(rest);
    free(w->todo);
    w->todo = todo;
    ok = todo != nullptr;
  }
  return ok;
}

}  // namespace

// Walks `path` as the kernel would, but a step from a directory or link that
// a user other than root owns to something that another user owns is
// refused: root follows no link another user planted. Each step opens the
// next directory without following links, so the walk ends holding the
// directory that holds the file, whatever becomes of the path meanwhile.
// Returns 1 with r->in open, or 0 after reporting.
int open_and_find(replacement *r, const char *path) {
  walk w = {-1, {}, nullptr, strdup(path), 0};
  int ok = w.todo != nullptr;
  if (ok && path[0] != '/') {
    int fd = open_directory(AT_FDCWD, ".");
    struct stat st;
    if (fd != -1 && fstat(fd, &st) == 0) {
      ok = enter(&w, fd, &st, strdup(""));
    } else {
      ok = report("open");
      if (fd != -1) close(fd);
    }
  } else if (ok) {
    struct stat none = {};
    ok = restart_at_root(r, &w, &none);
  }
  bool found = false;
  while (ok && !found) ok = step(r, &w, &found);
  if (w.dir != -1) close(w.dir);
  free(w.where);
  free(w.todo);
  return ok;
}

// Opens the file that r->base names in the held directory afresh, for the
// runs ahead may have replaced it, and, where runs take turns on the file
// itself, locks it, waiting at most the time the user gave and then going on
// without (a lock anyone who can read the file may take must not stop the
// update). Records how the file is now in r->read. Returns 1, or 0 after
// reporting.
int reopen_file(replacement *r) {
  for (int tries = 0; tries < NAME_TRIES; ++tries) {
    if (r->in != -1) close(r->in);
    r->in = openat(r->dir, r->base,
                   O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (r->in == -1) return report("fopen");
    if (fstat(r->in, &r->read) != 0) return report("fstat");
    if (!regular_file(r, &r->read)) return 0;
    if (!r->lock_itself || r->lock_state == lock_said::GIVEN_UP) return 1;
    switch (lock_waiting(r, r->in, r->lock_deadline)) {
      case lock_result::LOCKED:
        r->copy_locked = true;
        break;
      case lock_result::TIMED_OUT:
        // Only an exchange, checked after the fact, is safe without it.
        if (mounted_over(r)) return gave_up_without_lock(r);
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
      return take_journal(r);
    r->copy_locked = false;
  }
  fprintf(stderr, "%s kept changing during the update\n", r->shown);
  return 0;
}

}  // namespace replacing
