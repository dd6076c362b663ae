// SPDX-License-Identifier: MIT
// Preloaded into the tool by the end-to-end tests, and into the unit tests
// of the file replacement, to make one file-system call, or the reading of
// the interfaces, fail on cue. UNITFIND_FAULTS lists the failures as
// CALL[@TARGET]:N:ERROR, separated by commas: "rename:2:EIO" makes the
// second rename fail with EIO, "fsync:*:5" every fsync (a number is an
// errno value). TARGET, a shell pattern, picks the calls on a name or a
// descriptor: it is matched against the last component of each name the
// call is given, or of the file a descriptor is open on, a directory's
// ending in "/": "fsync@*/:1:EIO" fails the first fsync of a directory,
// "openat@hosts??????:1:EMFILE" the first openat of a new copy beside
// hosts. N counts the calls that match this entry, in each process from
// zero, a forked one too, so that a row names the call it means however
// many other calls come before it. In place of ERROR, "sleepS" holds the
// call S seconds before it goes ahead, first writing the process id into
// the file that UNITFIND_STALLED names, so that a test knows when and whom
// to signal; "run" runs the shell command UNITFIND_RUN (without this
// library) before the call goes ahead, so that a test can change things at
// that moment. Calls that are not named pass through to the C library. The
// *at and 64-bit forms count as the calls they extend: "rename" counts
// rename and renameat alike (renameat2, the exchange, is a call of its own),
// "pread" pread and pread64. UNITFIND_CLOCK_SPEED speeds the monotonic
// clock up.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <ifaddrs.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// The calls seen so far that matched each entry of UNITFIND_FAULTS, by its
// place in the list.
constexpr int ENTRIES_MAX = 64;
int counts[ENTRIES_MAX];

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

// The errno values a row may name.
const struct {
  const char *name;
  int value;
} ERRNO_NAMES[] = {
    {"EPERM", EPERM},     {"ENOENT", ENOENT},   {"EINTR", EINTR},     {"EIO", EIO},
    {"ENXIO", ENXIO},     {"EBADF", EBADF},     {"EAGAIN", EAGAIN},   {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},   {"EBUSY", EBUSY},     {"EEXIST", EEXIST},   {"EXDEV", EXDEV},
    {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},   {"EINVAL", EINVAL},   {"ENFILE", ENFILE},
    {"EMFILE", EMFILE},   {"EFBIG", EFBIG},     {"ENOSPC", ENOSPC},   {"EROFS", EROFS},
    {"EMLINK", EMLINK},   {"ENOSYS", ENOSYS},   {"ENOLCK", ENOLCK},   {"ELOOP", ELOOP},
    {"ENOTSUP", ENOTSUP}, {"EOPNOTSUPP", EOPNOTSUPP}, {"EDQUOT", EDQUOT},
    {"ENAMETOOLONG", ENAMETOOLONG},
};

// The errno that `text`, up to a comma or its end, names or gives in digits.
int errno_value(const char *text) {
  size_t length = strcspn(text, ",");
  for (const auto &e : ERRNO_NAMES)
    if (strlen(e.name) == length && strncmp(e.name, text, length) == 0) return e.value;
  return static_cast<int>(strtol(text, nullptr, 10));
}

// What a call works on: the names it is given, or a descriptor.
struct target {
  const char *names[2];
  int fd;  // -1 for none
};

// Whether `pattern`, up to the colon that ends it, matches the last
// component of `name`.
bool matches(const char *pattern, size_t length, const char *name) {
  char wanted[256];
  if (name == nullptr || length >= sizeof wanted) return false;
  memcpy(wanted, pattern, length);
  wanted[length] = '\0';
  size_t end = strlen(name);
  while (end > 1 && name[end - 1] == '/') --end;
  const char *slash = static_cast<const char *>(memrchr(name, '/', end));
  const char *base = slash == nullptr ? name : slash + 1;
  char last[PATH_MAX];
  snprintf(last, sizeof last, "%.*s%s", static_cast<int>(name + end - base), base,
           name[end] == '/' ? "/" : "");
  return fnmatch(wanted, last, 0) == 0;
}

// Whether the call's target matches `pattern` of `length` bytes.
bool aimed_at(const char *pattern, size_t length, const target &t) {
  if (t.fd != -1) {
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", t.fd);
    ssize_t size = readlink(link, path, sizeof path - 2);
    if (size <= 0) return false;
    path[size] = '\0';
    char *deleted = strstr(path, " (deleted)");
    if (deleted != nullptr && deleted[10] == '\0') *deleted = '\0';
    struct stat st;
    if (fstat(t.fd, &st) == 0 && S_ISDIR(st.st_mode)) strcat(path, "/");
    return matches(pattern, length, path);
  }
  return matches(pattern, length, t.names[0]) || matches(pattern, length, t.names[1]);
}

// Returns the errno with which this call of `call` on `t` should fail, or 0.
int injected(const char *call, const target &t = {{nullptr, nullptr}, -1}) {
  const char *wanted = getenv("UNITFIND_FAULTS");
  if (wanted == nullptr) return 0;
  size_t length = strlen(call);
  int entry = 0;
  const char *action = nullptr;
  for (const char *at = wanted; at != nullptr && *at != '\0' && entry < ENTRIES_MAX; ++entry) {
    const char *next_entry = strchr(at, ',');
    if (strncmp(at, call, length) == 0 && (at[length] == ':' || at[length] == '@')) {
      const char *count = at + length;
      bool hit = true;
      if (*count == '@') {
        const char *pattern = count + 1;
        count = strchr(pattern, ':');
        hit = count != nullptr && aimed_at(pattern, static_cast<size_t>(count - pattern), t);
      }
      if (hit && count != nullptr) {
        ++count;
        int seen = ++counts[entry];
        char *rest = nullptr;
        long nth = *count == '*' ? seen : strtol(count, &rest, 10);
        if (*count == '*') rest = const_cast<char *>(count + 1);
        if (*rest == ':' && nth == seen && action == nullptr) action = rest + 1;
      }
    }
    at = next_entry == nullptr ? nullptr : next_entry + 1;
  }
  // Every entry has counted this call before the first that names it acts.
  if (action == nullptr) return 0;
  if (strncmp(action, "sleep", 5) == 0)
    stall(action + 5);
  else if (strncmp(action, "run", 3) == 0)
    run_command();
  else
    return errno_value(action);
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
    for (int &count : counts) count = 0;
  });
}

}  // namespace

// Defines the C library's CALL, which returns TYPE, with its parameters and
// the arguments that pass them on, to fail on cue as the call NAME when it
// works on TARGET.
#define FAULTY_TYPED(TYPE, NAME, TARGET, CALL, PARAMS, ARGS) \
  TYPE CALL PARAMS {                                         \
    if (int error = injected(NAME, TARGET)) {                \
      errno = error;                                         \
      return -1;                                             \
    }                                                        \
    return next<TYPE(*) PARAMS>(#CALL) ARGS;                 \
  }
#define ON_NAMES(A, B) (target{{A, B}, -1})
#define ON_FD(FD) (target{{nullptr, nullptr}, FD})
#define ON_NOTHING ON_FD(-1)
#define FAULTY_AS(NAME, TARGET, CALL, PARAMS, ARGS) FAULTY_TYPED(int, NAME, TARGET, CALL, PARAMS, ARGS)
#define FAULTY(CALL, TARGET, PARAMS, ARGS) FAULTY_AS(#CALL, TARGET, CALL, PARAMS, ARGS)
// The calls that return a count.
#define FAULTY_COUNT_AS(NAME, CALL, PARAMS, ARGS) FAULTY_TYPED(ssize_t, NAME, ON_FD(fd), CALL, PARAMS, ARGS)

extern "C" {

FAULTY(link, ON_NAMES(from, to), (const char *from, const char *to), (from, to))
FAULTY(rename, ON_NAMES(from, to), (const char *from, const char *to), (from, to))
FAULTY(unlink, ON_NAMES(name, nullptr), (const char *name), (name))
FAULTY_AS("link", ON_NAMES(from, to), linkat,
          (int from_dir, const char *from, int to_dir, const char *to, int flags),
          (from_dir, from, to_dir, to, flags))
FAULTY_AS("rename", ON_NAMES(from, to), renameat,
          (int from_dir, const char *from, int to_dir, const char *to),
          (from_dir, from, to_dir, to))
FAULTY_AS("renameat2", ON_NAMES(from, to), renameat2,
          (int from_dir, const char *from, int to_dir, const char *to, unsigned flags),
          (from_dir, from, to_dir, to, flags))
FAULTY_AS("unlink", ON_NAMES(name, nullptr), unlinkat, (int dir, const char *name, int flags),
          (dir, name, flags))
FAULTY(fsync, ON_FD(fd), (int fd), (fd))
FAULTY(flock, ON_FD(fd), (int fd, int operation), (fd, operation))
FAULTY(fsetxattr, ON_FD(fd), (int fd, const char *name, const void *value, size_t size, int flags),
       (fd, name, value, size, flags))
FAULTY(ftruncate, ON_FD(fd), (int fd, off_t length), (fd, length))
FAULTY(getifaddrs, ON_NOTHING, (ifaddrs **list), (list))
FAULTY(fallocate, ON_FD(fd), (int fd, int mode, off_t offset, off_t length),
       (fd, mode, offset, length))
FAULTY_AS("fallocate", ON_FD(fd), fallocate64, (int fd, int mode, off_t offset, off_t length),
          (fd, mode, offset, length))
FAULTY(fchmod, ON_FD(fd), (int fd, mode_t mode), (fd, mode))
FAULTY(fchown, ON_FD(fd), (int fd, uid_t owner, gid_t group), (fd, owner, group))

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
FAULTY_TYPED(ssize_t, "getrandom", ON_NOTHING, getrandom, (void *data, size_t length, unsigned flags),
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
  if (int error = injected("openat", ON_NAMES(name, nullptr))) {
    errno = error;
    return -1;
  }
  return next<int (*)(int, const char *, int, ...)>("openat")(dir, name, flags, mode);
}

// UNITFIND_CLOCK_SPEED=N runs the monotonic clock N times as fast from its
// first reading, so that a test sees a wait of a minute in seconds.
int clock_gettime(clockid_t clock, timespec *now) {
  int result = next<int (*)(clockid_t, timespec *)>("clock_gettime")(clock, now);
  const char *speed = getenv("UNITFIND_CLOCK_SPEED");
  if (result != 0 || clock != CLOCK_MONOTONIC || speed == nullptr) return result;
  static long long start = -1;
  long long real = now->tv_sec * 1000000000LL + now->tv_nsec;
  if (start == -1) start = real;
  long long fast = start + (real - start) * strtoll(speed, nullptr, 10);
  now->tv_sec = static_cast<time_t>(fast / 1000000000LL);
  now->tv_nsec = static_cast<long>(fast % 1000000000LL);
  return 0;
}

}  // extern "C"
