// SPDX-License-Identifier: MIT
// What differs between the systems the tool runs on: extended attributes,
// ACLs, reserving disk space, random bytes, what the system tells of
// directories and mounts, and sending out of or learning the interface of a
// datagram. Everything else is plain POSIX.
//
// The calls here print nothing: a failure returns 0 with errno set and
// *failed naming the call that failed, for the caller to report or not.
#ifndef UNITFIND_PLATFORM_H_
#define UNITFIND_PLATFORM_H_

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

/// Gives `to` every extended attribute and the ACL of `from` (Linux and
/// NetBSD extended attributes, macOS extended attributes and ACL, FreeBSD
/// user and system attributes and ACL; nothing where a system has none). A
/// file system without extended attributes counts as having none. Returns 1,
/// or 0 with errno and *failed set.
int platform_copy_attributes(int from, int to, const char **failed);

/// Removes from `fd`, a file just created, what it inherited from its
/// directory (the extended attributes that can be removed, a default ACL
/// among them), so that it grants nobody more than its mode; does nothing
/// where the system or file system has no such attributes. Returns 1, or 0
/// with errno and *failed set.
int platform_clear_attributes(int fd, const char **failed);

/// Reserves disk space for the first `length` bytes of `fd`, so that writing
/// them cannot run out of room, without changing the file's length where the
/// system can (Linux, macOS; elsewhere the file may grow to `length`); where
/// the system or file system cannot reserve space, does nothing. The file's
/// times may move. Returns 1, or 0 with errno and *failed set, in which case
/// the file may have grown.
int platform_reserve(int fd, off_t length, const char **failed);

/// Whether `a` and `b` have the same modification and change times, to the
/// nanosecond.
bool platform_same_times(const struct stat *a, const struct stat *b);

/// Whether `a` and `b` have the same modification time, to the nanosecond.
bool platform_same_modification(const struct stat *a, const struct stat *b);

/// Exchanges the files that `a` and `b` name in directory `dir` in one step,
/// so that each name leads to the other's file (Linux renameat2 with
/// RENAME_EXCHANGE, macOS renameatx_np with RENAME_SWAP). Returns 1, or 0
/// with errno set; platform_exchange_refused tells a system or file system
/// that cannot exchange.
int platform_exchange(int dir, const char *a, const char *b);

/// Whether `error` from platform_exchange says that exchange is not to be had
/// here, rather than that this one failed.
bool platform_exchange_refused(int error);

/// When the file `name` in directory `dir` (or, for an empty `name`, the
/// file open as `dir`) was created, in nanoseconds, without following a
/// link: statx on Linux, the birth time of BSD and macOS. Returns 0 where the
/// system or file system does not say.
uintmax_t platform_birth(int dir, const char *name);

/// Whether `error` says that an operation is not supported: ENOTSUP and
/// EOPNOTSUPP are the same value on Linux only.
bool platform_unsupported(int error);

/// Fills `length` bytes at `out` with random bytes from the system. Returns
/// 1, or 0 when the system has none to give yet (early at boot).
int platform_random(void *out, size_t length);

/// Opens directory `name` relative to `at`, not through a link, for use as a
/// directory descriptor only, where the system allows that without read
/// permission. Returns the
/// descriptor, or -1 with errno set.
int platform_open_searchable(int at, const char *name);

/// Whether the symbolic links in directory `dir` are the system's own, which
/// lead where the system says rather than where their text does (Linux's
/// /proc, whose PID/root leads into another process's mounts).
bool platform_kernel_links(int dir);

/// Whether `name` in directory `dir` is known to be a mount of its own (a
/// file bind-mounted over its name) where its device number does not say
/// so. Returns 0 when it is not, or when the system cannot tell.
bool platform_mounted_apart(int dir, const char *name);

/// Takes, without waiting, the lock that runs rewriting a file in place take
/// on it through `fd`, open for writing, whatever name they reached it by: a
/// write lock on one byte far past any end of the file, which a reader's
/// flock of the file never meets, held by the open file rather than the
/// process, so that closing another descriptor of the file keeps it.
/// Returns 0, or -1 with errno set: EWOULDBLOCK while another holds it,
/// ENOTSUP where the system has no such lock.
int platform_lock_rewrite(int fd);

/// Room for the control data that platform_tell_arrival asks for.
constexpr size_t PLATFORM_ARRIVAL_SIZE = 128;

/// Asks the system to add to each datagram that `sock` receives the index of
/// the interface it came in on and the address it was sent to (IP_PKTINFO,
/// or IP_RECVIF and IP_RECVDSTADDR); does nothing where it cannot. Returns
/// 1, or 0 with errno and *failed set.
int platform_tell_arrival(int sock, const char **failed);

/// Reads from the control data of `message`, received on a socket that
/// platform_tell_arrival prepared, the interface index and the destination
/// address (host byte order); each stays 0 where the data does not say.
void platform_read_arrival(const msghdr *message, unsigned *index, uint32_t *destination);

/// Splits `given`, the one address getifaddrs gives for the broadcast
/// address and the peer of address `address` (host byte order) of
/// interface `name`, into `*broadcast` and `*peer`, each 0 for none and
/// never the address itself. Linux keeps both in one field there and says
/// which is which only when asked (SIOCGIFBRDADDR, SIOCGIFDSTADDR), through
/// `*sock`, a datagram socket opened on first use (-1 before, for the
/// caller to close after); elsewhere, and where that fails, a
/// point-to-point interface (`flags`) has a peer and any other a broadcast
/// address.
void platform_address_ends(int *sock, const char *name, unsigned flags, uint32_t address,
                           uint32_t given, uint32_t *broadcast, uint32_t *peer);

/// Sends `length` bytes of `payload` to `to` out of interface `index`, whose
/// address `source` (host byte order) the datagram carries: both given with
/// IP_PKTINFO (Linux), the interface with IP_BOUND_IF and the source with
/// IP_PKTINFO (macOS), elsewhere the source with IP_SENDSRCADDR, which picks
/// the interface. Returns 1, or 0 with errno set.
int platform_send_out_of(int sock, const void *payload, size_t length, const sockaddr_in *to,
                         unsigned index, uint32_t source);

#endif  // UNITFIND_PLATFORM_H_
