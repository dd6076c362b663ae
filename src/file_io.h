// SPDX-License-Identifier: MIT
// Reading, writing and copying whole files through descriptors, the way every
// part of the tool does it: interrupted calls and short writes go on, and a
// failure is reported where it happens.
#ifndef UNITFIND_FILE_IO_H_
#define UNITFIND_FILE_IO_H_

#include <stddef.h>
#include <sys/types.h>

/// Writes the `length` bytes at `data` to `fd`, going on after short writes
/// and interrupted calls. Returns 1, or 0 after reporting the failed "write"
/// on stderr in the perror form.
int write_all(int fd, const void *data, size_t length);

/// Reads as much as `length` allows from `fd`, trying again after an
/// interrupted call. Returns the count, 0 at the end of the file, or -1 after
/// reporting the failed "read" on stderr in the perror form.
ssize_t read_some(int fd, void *data, size_t length);

/// Writes all of `from`, from its start, over the start of `to`; neither
/// descriptor's offset moves, and `to` keeps any bytes past the copy's end.
/// Returns 1, or 0 after reporting the failed "read", "write" or "malloc".
int copy_contents(int from, int to);

/// Writes the bytes of `from` from offset `at` on over the same offsets of
/// `to`, as copy_contents does. Returns 1, or 0 after reporting.
int copy_contents_from(int from, int to, off_t at);

#endif  // UNITFIND_FILE_IO_H_
