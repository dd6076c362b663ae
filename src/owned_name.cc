// SPDX-License-Identifier: MIT
// The names a run makes in the held directory, as git's tempfile keeps them:
// each is removed on the way out unless the run disowned it, and one that
// cannot be removed is named to the user.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform.h"
#include "replacement.h"
#include "text.h"

namespace replacing {

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

// Adds `name`, which the run made and could not remove, to what it tells.
void note_left(replacement *r, const char *name) {
  char *shown = shown_beside(r, name);
  if (shown == nullptr) return;
  const char *before = r->remains->left == nullptr ? "" : r->remains->left;
  size_t length = strlen(before) + strlen(shown) + 2;
  char *left = static_cast<char *>(malloc(length));
  if (left != nullptr) {
    snprintf(left, length, "%s %s", before, shown);
    free(r->remains->left);
    r->remains->left = left;
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

namespace {

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

}  // namespace

// Makes `n` in the held directory with `attempt`, as the file's name and six
// characters chosen at random again while the name is taken (as mkstemp
// does, but beside the file that was read whatever has become of its path).
// Returns what the last attempt returned: -1, with errno set, when none
// succeeded; otherwise the run owns the name.
int make_known_name(replacement *r, owned_name *n, const char *kind, const struct stat *known,
                    int fd, int (*attempt)(const replacement *, const char *)) {
  free(n->name);
  n->name = joined(r->base, "XXXXXX");
  n->entry = -1;
  if (n->name == nullptr) return -1;
  char *six = n->name + strlen(n->name) - 6;
  int result = -1;
  for (int tries = 0; tries < NAME_TRIES; ++tries) {
    fill_unique(six);
    // Named before it exists, so that no kill leaves it unnamed.
    journal_name(r, n, kind, known, fd);
    result = attempt(r, n->name);
    if (result != -1 || errno != EEXIST) break;
  }
  n->owned = result != -1;
  return result;
}

int make_name(replacement *r, owned_name *n,
              int (*attempt)(const replacement *, const char *)) {
  return make_known_name(r, n, JOURNAL_MADE, nullptr, -1, attempt);
}

namespace {

int create_file(const replacement *r, const char *name) {
  return openat(r->dir, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                S_IRUSR | S_IWUSR);
}

}  // namespace

// Creates a new file `n`, open to its owner alone, in the held directory.
// Returns the descriptor, open for reading and writing, or -1 after
// reporting.
int create_unique(replacement *r, owned_name *n) {
  int fd = make_name(r, n, create_file);
  if (fd == -1 && n->name != nullptr) perror("mkstemp");
  struct stat st;
  if (fd != -1 && fstat(fd, &st) == 0) journal_name(r, n, JOURNAL_MADE, &st, fd);
  return fd;
}

}  // namespace replacing
