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

}  // namespace

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
      return 1;
    r->copy_locked = false;
  }
  fprintf(stderr, "%s kept changing during the update\n", r->shown);
  return 0;
}

}  // namespace replacing
