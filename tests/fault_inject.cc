// SPDX-License-Identifier: MIT
// Preloaded into the tool by the end-to-end tests, and into the unit tests
// of the file replacement, to make one file-system call, or the reading of
// the interfaces, fail on cue. UNITFIND_FAULTS lists the failures as
// CALL:N:ERRNO, separated by commas: "rename:2:5" makes the second rename
// fail with EIO, and "fsync:*:5" every fsync. Each process counts its calls
// from zero, a forked one too. In place of ERRNO, "sleepS" holds the call S
// seconds before it goes ahead, first writing the process id into the file
// that UNITFIND_STALLED names, so that a test knows when and whom to signal;
// "run" runs the shell command UNITFIND_RUN (without this library) before
// the call goes ahead, so that a test can change things at that moment.
// Calls that are not named pass through to the C library. The *at and
// 64-bit forms count as the calls they extend: "rename" counts rename and
// renameat alike, "pread" pread and pread64.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct fault {
  const char *call;
  int count;  // calls of this kind seen so far
};

fault faults[] = {{"link", 0},      {"rename", 0},     {"unlink", 0},    {"fsync", 0},
                  {"flock", 0},     {"fsetxattr", 0},  {"ftruncate", 0}, {"fallocate", 0},
                  {"getifaddrs", 0}, {"read", 0},      {"pread", 0},     {"write", 0},
                  {"pwrite", 0},    {"fchmod", 0},     {"fchown", 0},    {"openat", 0},
                  {"getrandom", 0}};

// Runs UNITFIND_RUN with neither this library nor the faults, which are the
// tool's alone.
void run_command() {
  const char *command = getenv("UNITFIND_RUN");
  char *faults = strdup(getenv("UNITFIND_FAULTS"));
  char *preload = getenv("LD_PRELOAD") == nullptr ? nullptr : strdup(getenv("LD_PRELOAD"));
  unsetenv("UNITFIND_FAULTS");
  unsetenv("LD_PRELOAD");
  if (command != nullptr) (void)!system(command);
  setenv("UNITFIND_FAULTS", faults, 1);
  if (preload != nullptr) setenv("LD_PRELOAD", preload, 1);
  free(faults);
  free(preload);
}

void stall(const char *seconds) {
  const char *stalled = getenv("UNITFIND_STALLED");
  int fd = stalled == nullptr ? -1 : open(stalled, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd != -1) {
    dprintf(fd, "%d\n", static_cast<int>(getpid()));
    close(fd);
  }
  sleep(static_cast<unsigned>(strtoul(seconds, nullptr, 10)));
}

// Returns the errno with which this call of `call` should fail, or 0.
int injected(const char *call) {
  int seen = 0;
  for (fault &f : faults)
    if (strcmp(f.call, call) == 0) seen = ++f.count;
  const char *wanted = getenv("UNITFIND_FAULTS");
  if (wanted == nullptr) return 0;
  size_t length = strlen(call);
  for (const char *at = wanted; at != nullptr && *at != '\0';) {
    if (strncmp(at, call, length) == 0 && at[length] == ':') {
      char *rest = nullptr;
      const char *count = at + length + 1;
      long nth = *count == '*' ? seen : strtol(count, &rest, 10);
      if (*count == '*') rest = const_cast<char *>(count + 1);
      if (*rest == ':' && nth == seen) {
        if (strncmp(rest + 1, "sleep", 5) == 0)
          stall(rest + 6);
        else if (strncmp(rest + 1, "run", 3) == 0)
          run_command();
        else
          return static_cast<int>(strtol(rest + 1, nullptr, 10));
        return 0;
      }
    }
    at = strchr(at, ',');
    if (at != nullptr) ++at;
  }
  return 0;
}

template <typename F>
F next(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// A unit test runs each case in a child of its own, which must not inherit
// the calls its parent made.
__attribute__((constructor)) void count_per_process() {
  pthread_atfork(nullptr, nullptr, [] {
    for (fault &f : faults) f.count = 0;
  });
}

}  // namespace

// Defines the C library's CALL, which returns TYPE, with its parameters and
// the arguments that pass them on, to fail on cue as the call NAME.
#define FAULTY_TYPED(TYPE, NAME, CALL, PARAMS, ARGS)        \
  TYPE CALL PARAMS {                                        \
    if (int error = injected(NAME)) {                       \
      errno = error;                                        \
      return -1;                                            \
    }                                                       \
    return next<TYPE(*) PARAMS>(#CALL) ARGS;                \
  }
#define FAULTY_AS(NAME, CALL, PARAMS, ARGS) FAULTY_TYPED(int, NAME, CALL, PARAMS, ARGS)
#define FAULTY(CALL, PARAMS, ARGS) FAULTY_AS(#CALL, CALL, PARAMS, ARGS)
// The calls that return a count.
#define FAULTY_COUNT_AS(NAME, CALL, PARAMS, ARGS) FAULTY_TYPED(ssize_t, NAME, CALL, PARAMS, ARGS)

extern "C" {

FAULTY(link, (const char *from, const char *to), (from, to))
FAULTY(rename, (const char *from, const char *to), (from, to))
FAULTY(unlink, (const char *name), (name))
FAULTY_AS("link", linkat, (int from_dir, const char *from, int to_dir, const char *to, int flags),
          (from_dir, from, to_dir, to, flags))
FAULTY_AS("rename", renameat, (int from_dir, const char *from, int to_dir, const char *to),
          (from_dir, from, to_dir, to))
FAULTY_AS("unlink", unlinkat, (int dir, const char *name, int flags), (dir, name, flags))
FAULTY(fsync, (int fd), (fd))
FAULTY(flock, (int fd, int operation), (fd, operation))
FAULTY(fsetxattr, (int fd, const char *name, const void *value, size_t size, int flags),
       (fd, name, value, size, flags))
FAULTY(ftruncate, (int fd, off_t length), (fd, length))
FAULTY(getifaddrs, (ifaddrs **list), (list))
FAULTY(fallocate, (int fd, int mode, off_t offset, off_t length), (fd, mode, offset, length))
FAULTY_AS("fallocate", fallocate64, (int fd, int mode, off_t offset, off_t length),
          (fd, mode, offset, length))
FAULTY(fchmod, (int fd, mode_t mode), (fd, mode))
FAULTY(fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))

FAULTY_COUNT_AS("read", read, (int fd, void *data, size_t length), (fd, data, length))
FAULTY_COUNT_AS("write", write, (int fd, const void *data, size_t length), (fd, data, length))
FAULTY_COUNT_AS("pread", pread, (int fd, void *data, size_t length, off_t at),
                (fd, data, length, at))
FAULTY_COUNT_AS("pread", pread64, (int fd, void *data, size_t length, off_t at),
                (fd, data, length, at))
FAULTY_COUNT_AS("pwrite", pwrite, (int fd, const void *data, size_t length, off_t at),
                (fd, data, length, at))
FAULTY_COUNT_AS("pwrite", pwrite64, (int fd, const void *data, size_t length, off_t at),
                (fd, data, length, at))
FAULTY_COUNT_AS("getrandom", getrandom, (void *data, size_t length, unsigned flags),
                (data, length, flags))

// The mode is there only when a file may be created.
int openat(int dir, const char *name, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list rest;
    va_start(rest, flags);
    mode = static_cast<mode_t>(va_arg(rest, unsigned));
    va_end(rest);
  }
  if (int error = injected("openat")) {
    errno = error;
    return -1;
  }
  return next<int (*)(int, const char *, int, ...)>("openat")(dir, name, flags, mode);
}

}  // extern "C"
