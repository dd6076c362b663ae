// SPDX-License-Identifier: MIT
// What differs between the systems the tool runs on: extended attributes,
// ACLs and reserving disk space. Everything else is plain POSIX.
#ifndef UNITFIND_PLATFORM_H_
#define UNITFIND_PLATFORM_H_

#include <sys/types.h>

/// Gives `to` every extended attribute and the ACL of `from` (Linux and
/// NetBSD extended attributes, macOS extended attributes and ACL, FreeBSD
/// user and system attributes and ACL; nothing where a system has none). A
/// file system without extended attributes counts as having none. Returns 1,
/// or 0 after reporting the failed call on stderr.
int platform_copy_attributes(int from, int to);

/// Removes from `fd`, a file just created, the ACL entries it inherited from
/// its directory's default ACL, so that it grants nobody more than its mode;
/// does nothing where the system or file system has no such ACLs. Returns 1,
/// or 0 after reporting the failed call on stderr.
int platform_clear_attributes(int fd);

/// Reserves disk space for the first `length` bytes of `fd`, so that writing
/// them cannot run out of room; where the system or file system cannot
/// reserve space, does nothing. Returns 1, or 0 after reporting the failed
/// call on stderr, in which case the file may have grown.
int platform_reserve(int fd, off_t length);

/// Whether `error` says that an operation is not supported: ENOTSUP and
/// EOPNOTSUPP are the same value on Linux only.
int platform_unsupported(int error);

#endif  // UNITFIND_PLATFORM_H_
