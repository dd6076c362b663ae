// SPDX-License-Identifier: MIT
// Preloaded into the tool by the end-to-end tests, and into the unit tests
// of the file replacement, to make one file-system call, or the reading of
// the interfaces, fail on cue. UNITFIND_FAULTS lists the failures as
// CALL:N:ERRNO, separated by commas: "rename:2:5" makes the second rename
// fail with EIO. Each process counts its calls from zero, a forked one too.
// In place of ERRNO, "sleepS" holds the call S seconds before it goes ahead,
// first writing the process id into the file that UNITFIND_STALLED names, so
// that a test knows when and whom to signal. Calls that are not named pass
// through to the C library. The *at forms count as the calls they extend:
// "rename" counts rename and renameat alike.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <pthread.h>
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

fault faults[] = {{"link", 0},      {"rename", 0},    {"unlink", 0},
                  {"fsync", 0},     {"flock", 0},     {"fsetxattr", 0},
                  {"ftruncate", 0}, {"posix_fallocate", 0}, {"getifaddrs", 0}};

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
      long nth = strtol(at + length + 1, &rest, 10);
      if (*rest == ':' && nth == seen) {
        if (strncmp(rest + 1, "sleep", 5) != 0) return static_cast<int>(strtol(rest + 1, nullptr, 10));
        stall(rest + 6);
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

// Defines the C library's CALL, with its parameters and the arguments that
// pass them on, to fail on cue as the call NAME.
#define FAULTY_AS(NAME, CALL, PARAMS, ARGS)                 \
  int CALL PARAMS {                                         \
    if (int error = injected(NAME)) {                       \
      errno = error;                                        \
      return -1;                                            \
    }                                                       \
    return next<int(*) PARAMS>(#CALL) ARGS;                 \
  }
#define FAULTY(CALL, PARAMS, ARGS) FAULTY_AS(#CALL, CALL, PARAMS, ARGS)

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

// Returns its error rather than setting errno. Fails as the C library's
// emulation does where the file system cannot reserve: the file has grown to
// the length asked for before the disk turns out to be full.
int posix_fallocate(int fd, off_t offset, off_t length) {
  if (int error = injected("posix_fallocate")) {
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size < offset + length)
      (void)!next<int (*)(int, off_t)>("ftruncate")(fd, offset + length);
    return error;
  }
  return next<int (*)(int, off_t, off_t)>("posix_fallocate")(fd, offset, length);
}

}  // extern "C"
