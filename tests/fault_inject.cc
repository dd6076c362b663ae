// SPDX-License-Identifier: MIT
// Preloaded into the tool by the end-to-end tests to make one file-system
// call fail on cue. UNITFIND_FAULTS lists the failures as CALL:N:ERRNO,
// separated by commas: "rename:2:5" makes the second rename fail with EIO.
// Calls that are not named pass through to the C library.
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct fault {
  const char *call;
  int count;  // calls of this kind seen so far
};

fault faults[] = {{"link", 0}, {"rename", 0}, {"fsync", 0}};

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
      if (*rest == ':' && nth == seen) return static_cast<int>(strtol(rest + 1, nullptr, 10));
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

}  // namespace

extern "C" {

int link(const char *from, const char *to) {
  if (int error = injected("link")) {
    errno = error;
    return -1;
  }
  return next<int (*)(const char *, const char *)>("link")(from, to);
}

int rename(const char *from, const char *to) {
  if (int error = injected("rename")) {
    errno = error;
    return -1;
  }
  return next<int (*)(const char *, const char *)>("rename")(from, to);
}

int fsync(int fd) {
  if (int error = injected("fsync")) {
    errno = error;
    return -1;
  }
  return next<int (*)(int)>("fsync")(fd);
}

}  // extern "C"
