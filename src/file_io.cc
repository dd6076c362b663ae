// SPDX-License-Identifier: MIT
#include "file_io.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Copies go through a buffer of this size: few system calls, little memory.
constexpr size_t COPY_BLOCK = 256 << 10;

// Writes all `length` bytes at `data` to `fd`, at file offset `at` unless it
// is -1. Returns 1, or 0 after reporting.
int write_at(int fd, const char *data, size_t length, off_t at) {
  while (length > 0) {
    ssize_t written = at == -1 ? write(fd, data, length) : pwrite(fd, data, length, at);
    if (written == -1) {
      if (errno == EINTR) continue;
      perror("write");
      return 0;
    }
    data += written;
    length -= static_cast<size_t>(written);
    if (at != -1) at += written;
  }
  return 1;
}

}  // namespace

int write_all(int fd, const void *data, size_t length) {
  return write_at(fd, static_cast<const char *>(data), length, -1);
}

ssize_t read_some(int fd, void *data, size_t length) {
  for (;;) {
    ssize_t got = read(fd, data, length);
    if (got != -1) return got;
    if (errno == EINTR) continue;
    perror("read");
    return -1;
  }
}

int copy_contents(int from, int to) { return copy_contents_from(from, to, 0); }

int copy_contents_from(int from, int to, off_t at) {
  char *buf = static_cast<char *>(malloc(COPY_BLOCK));
  if (buf == nullptr) {
    perror("malloc");
    return 0;
  }
  int ok = 1;
  while (ok) {
    ssize_t got = pread(from, buf, COPY_BLOCK, at);
    if (got == -1) {
      if (errno == EINTR) continue;
      perror("read");
      ok = 0;
    } else if (got == 0) {
      break;
    } else {
      ok = write_at(to, buf, static_cast<size_t>(got), at);
      at += got;
    }
  }
  free(buf);
  return ok;
}
