// SPDX-License-Identifier: MIT
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Linux and NetBSD share one interface to extended attributes, which macOS
// extends with a position and options; FreeBSD keeps them per namespace.
// OpenBSD and the rest have none.
#if defined(__APPLE__) && !__has_include(<sys/xattr.h>)
// The zig toolchain's macOS headers leave this one out; these are the calls
// as xattr(2) documents them, which the system library has.
extern "C" {
ssize_t flistxattr(int fd, char *names, size_t size, int options);
ssize_t fgetxattr(int fd, const char *name, void *value, size_t size,
                  uint32_t position, int options);
int fsetxattr(int fd, const char *name, const void *value, size_t size,
              uint32_t position, int options);
}
#define UNITFIND_XATTR 1
#elif defined(__linux__) || defined(__NetBSD__) || defined(__APPLE__)
#include <sys/xattr.h>
#define UNITFIND_XATTR 1
#elif defined(__FreeBSD__)
#include <sys/extattr.h>
#define UNITFIND_EXTATTR 1
#endif
#if defined(__APPLE__) || defined(__FreeBSD__)
#include <sys/acl.h>
#endif
#if defined(__linux__)
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#endif
#if !defined(__linux__) && defined(IP_RECVIF)
#include <net/if_dl.h>
#endif
#include <net/if.h>
#include <sys/uio.h>

bool platform_unsupported(int error) {
#if ENOTSUP != EOPNOTSUPP
  if (error == EOPNOTSUPP) return 1;
#endif
  return error == ENOTSUP;
}

namespace {

// Notes `call` as the one that failed, keeping errno; returns 0, the
// failure result.
[[maybe_unused]] int fail(const char **failed, const char *call) {
  *failed = call;
  return 0;
}

#if defined(UNITFIND_XATTR)

// One namespace, the names in their list each ended by a zero byte.
const int SPACES[] = {0};
const char *const LIST_CALL = "flistxattr";
const char *const GET_CALL = "fgetxattr";
const char *const SET_CALL = "fsetxattr";

ssize_t list_names(int fd, int /*space*/, char *names, size_t size) {
#ifdef __APPLE__
  return flistxattr(fd, names, size, 0);
#else
  return flistxattr(fd, names, size);
#endif
}

ssize_t get_value(int fd, int /*space*/, const char *name, char *value, size_t size) {
#ifdef __APPLE__
  return fgetxattr(fd, name, value, size, 0, 0);
#else
  return fgetxattr(fd, name, value, size);
#endif
}

int set_value(int fd, int /*space*/, const char *name, const char *value, size_t size) {
#ifdef __APPLE__
  return fsetxattr(fd, name, value, size, 0, 0);
#else
  return fsetxattr(fd, name, value, size, 0);
#endif
}

int list_refused(int /*space*/, int error) { return platform_unsupported(error); }

// The name at *at in `list`, which ends with an extra zero byte; moves *at
// past it. Returns null after the last one.
const char *next_name(const char *list, ssize_t size, ssize_t *at, char * /*copy*/) {
  if (*at >= size) return nullptr;
  const char *name = list + *at;
  *at += static_cast<ssize_t>(strlen(name)) + 1;
  return name;
}

#elif defined(UNITFIND_EXTATTR)

// The system namespace can be listed by root alone; other users carry over
// what they can read, as they do elsewhere.
const int SPACES[] = {EXTATTR_NAMESPACE_USER, EXTATTR_NAMESPACE_SYSTEM};
const char *const LIST_CALL = "extattr_list_fd";
const char *const GET_CALL = "extattr_get_fd";
const char *const SET_CALL = "extattr_set_fd";

ssize_t list_names(int fd, int space, char *names, size_t size) {
  return extattr_list_fd(fd, space, names, size);
}

ssize_t get_value(int fd, int space, const char *name, char *value, size_t size) {
  return extattr_get_fd(fd, space, name, value, size);
}

int set_value(int fd, int space, const char *name, const char *value, size_t size) {
  return extattr_set_fd(fd, space, name, value, size) == -1 ? -1 : 0;
}

int list_refused(int space, int error) {
  return platform_unsupported(error) ||
         (space == EXTATTR_NAMESPACE_SYSTEM && error == EPERM);
}

// The name at *at in `list`, where each is a length byte followed by that
// many bytes, copied into `copy` (256 bytes) with a zero byte after it;
// moves *at past it. Returns null after the last one. The ACLs the system
// namespace holds are skipped: the ACL calls carry them over.
const char *next_name(const char *list, ssize_t size, ssize_t *at, char *copy) {
  for (;;) {
    if (*at >= size) return nullptr;
    auto length = static_cast<unsigned char>(list[*at]);
    if (length >= size - *at) return nullptr;
    memcpy(copy, list + *at + 1, length);
    copy[length] = '\0';
    *at += length + 1;
    if (strncmp(copy, "posix1e.acl_", 12) != 0 && strcmp(copy, "nfs4.acl") != 0)
      return copy;
  }
}

#endif

#if defined(UNITFIND_XATTR) || defined(UNITFIND_EXTATTR)

// Reads attribute `name` of `fd` in `space` (or the list of names there when
// `name` is null) into memory from malloc, of which *size bytes are used and
// one more is zero. Returns null with *size 0 when there is nothing to read,
// or null with *size -1, errno and *failed set.
char *read_value(int fd, int space, const char *name, ssize_t *size, const char **failed) {
  const char *call = name == nullptr ? LIST_CALL : GET_CALL;
  for (;;) {
    ssize_t needed = name == nullptr ? list_names(fd, space, nullptr, 0)
                                     : get_value(fd, space, name, nullptr, 0);
    if (needed <= 0) {
      // A file system without extended attributes has none to carry over.
      *size = needed == 0 || (name == nullptr && list_refused(space, errno)) ? 0 : -1;
      if (*size == -1) *failed = call;
      return nullptr;
    }
    auto capacity = static_cast<size_t>(needed);
    char *data = static_cast<char *>(malloc(capacity + 1));
    if (data == nullptr) {
      *failed = "malloc";
      *size = -1;
      return nullptr;
    }
    *size = name == nullptr ? list_names(fd, space, data, capacity)
                            : get_value(fd, space, name, data, capacity);
    if (*size >= 0) {
      data[*size] = '\0';
      return data;
    }
    int error = errno;
    free(data);
    // The attribute grew since it was measured.
    if (error == ERANGE) continue;
    errno = error;
    *failed = call;
    return nullptr;
  }
}

// Carries every extended attribute of `from` over to `to`: ACLs and security
// labels live there, and dropping an ACL can widen access.
int copy_extended_attributes(int from, int to, const char **failed) {
  int ok = 1;
  for (const int space : SPACES) {
    ssize_t list_size;
    char *names = read_value(from, space, nullptr, &list_size, failed);
    ok = list_size >= 0;
    char copy[256];
    ssize_t at = 0;
    for (const char *name; ok && (name = next_name(names, list_size, &at, copy));) {
      ssize_t size;
      char *value = read_value(from, space, name, &size, failed);
      ok = size >= 0 && (set_value(to, space, name, value, static_cast<size_t>(size)) == 0 ||
                         fail(failed, SET_CALL));
      free(value);
    }
    free(names);
    if (!ok) break;
  }
  return ok;
}

#else

int copy_extended_attributes(int /*from*/, int /*to*/, const char ** /*failed*/) { return 1; }

#endif

#if defined(__APPLE__)

// Carries the ACL of `from` over to `to`; macOS keeps it apart from the
// extended attributes.
int copy_acl(int from, int to, const char **failed) {
  acl_t acl = acl_get_fd(from);
  // ENOENT: the file has no ACL.
  if (acl == nullptr)
    return errno == ENOENT || platform_unsupported(errno) || fail(failed, "acl_get_fd");
  int ok = acl_set_fd(to, acl) == 0 || fail(failed, "acl_set_fd");
  acl_free(acl);
  return ok;
}

int clear_inherited(int fd, const char **failed) {
  acl_t acl = acl_get_fd(fd);
  if (acl == nullptr)
    return errno == ENOENT || platform_unsupported(errno) || fail(failed, "acl_get_fd");
  acl_free(acl);
  acl_t empty = acl_init(0);
  if (empty == nullptr) return fail(failed, "acl_init");
  int ok = acl_set_fd(fd, empty) == 0 || fail(failed, "acl_set_fd");
  acl_free(empty);
  return ok;
}

#elif defined(__FreeBSD__)

// The kind of ACL that the file system of `fd` keeps, or -1 for none.
int acl_kind(int fd) {
  if (fpathconf(fd, _PC_ACL_NFS4) > 0) return ACL_TYPE_NFS4;
  if (fpathconf(fd, _PC_ACL_EXTENDED) > 0) return ACL_TYPE_ACCESS;
  return -1;
}

// The ACL of `fd` when it says more than the mode does. Returns null with
// *ok 1 when there is none such, or null with *ok 0 and *failed set.
acl_t extended_acl(int fd, int kind, int *ok, const char **failed) {
  *ok = 1;
  if (kind == -1) return nullptr;
  acl_t acl = acl_get_fd_np(fd, kind);
  if (acl == nullptr) {
    *ok = fail(failed, "acl_get_fd_np");
    return nullptr;
  }
  int trivial = 0;
  if (acl_is_trivial_np(acl, &trivial) == -1) *ok = fail(failed, "acl_is_trivial_np");
  if (*ok && !trivial) return acl;
  acl_free(acl);
  return nullptr;
}

int copy_acl(int from, int to, const char **failed) {
  int kind = acl_kind(from), ok;
  acl_t acl = extended_acl(from, kind, &ok, failed);
  if (acl == nullptr) return ok;
  ok = acl_set_fd_np(to, acl, kind) == 0 || fail(failed, "acl_set_fd_np");
  acl_free(acl);
  return ok;
}

int clear_inherited(int fd, const char **failed) {
  int kind = acl_kind(fd), ok;
  acl_t acl = extended_acl(fd, kind, &ok, failed);
  if (acl == nullptr) return ok;
  acl_t stripped = acl_strip_np(acl, 0);
  ok = stripped != nullptr || fail(failed, "acl_strip_np");
  ok = ok && (acl_set_fd_np(fd, stripped, kind) == 0 || fail(failed, "acl_set_fd_np"));
  if (stripped != nullptr) acl_free(stripped);
  acl_free(acl);
  return ok;
}

#elif defined(__linux__)

// The ACL is an extended attribute here, copied with the others.
int copy_acl(int /*from*/, int /*to*/, const char ** /*failed*/) { return 1; }

// A new file gets its directory's default ACL as its access ACL, and may get
// other attributes from its directory too: every one that can be removed
// goes. A security label cannot be; the original's replaces it.
int clear_inherited(int fd, const char **failed) {
  ssize_t list_size;
  char *names = read_value(fd, 0, nullptr, &list_size, failed);
  int ok = list_size >= 0;
  ssize_t at = 0;
  for (const char *name; ok && (name = next_name(names, list_size, &at, nullptr));) {
    ok = fremovexattr(fd, name) == 0 || errno == ENODATA ||
         strncmp(name, "security.", 9) == 0 || fail(failed, "fremovexattr");
  }
  free(names);
  return ok;
}

#else

int copy_acl(int /*from*/, int /*to*/, const char ** /*failed*/) { return 1; }
int clear_inherited(int /*fd*/, const char ** /*failed*/) { return 1; }

#endif

}  // namespace

int platform_copy_attributes(int from, int to, const char **failed) {
  return copy_extended_attributes(from, to, failed) && copy_acl(from, to, failed);
}

int platform_clear_attributes(int fd, const char **failed) { return clear_inherited(fd, failed); }

int platform_reserve(int fd, off_t length, const char **failed) {
#if defined(__linux__)
  // Kept at its length, the file never shows readers the zeros of space
  // reserved but not yet written.
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) == 0 || platform_unsupported(errno) ||
      errno == ENOSYS)
    return 1;
  return fail(failed, "fallocate");
#elif defined(__FreeBSD__)
  int error = posix_fallocate(fd, 0, length);
  if (error == 0) return 1;
  // ZFS cannot reserve space, and says so with EINVAL.
  if (error == EINVAL || platform_unsupported(error)) return 1;
  errno = error;
  return fail(failed, "posix_fallocate");
#elif defined(__APPLE__)
  struct stat st;
  if (fstat(fd, &st) == -1) return fail(failed, "fstat");
  if (length <= st.st_size) return 1;
  // Allocated past the end of the file, which keeps its length.
  fstore_t store = {F_ALLOCATEALL, F_PEOFPOSMODE, 0, length - st.st_size, 0};
  if (fcntl(fd, F_PREALLOCATE, &store) == 0 || platform_unsupported(errno)) return 1;
  return fail(failed, "fcntl");
#else
  (void)fd;
  (void)length;
  (void)failed;
  return 1;
#endif
}

bool platform_same_times(const struct stat *a, const struct stat *b) {
#if defined(__APPLE__)
  const timespec &am = a->st_mtimespec, &bm = b->st_mtimespec;
  const timespec &ac = a->st_ctimespec, &bc = b->st_ctimespec;
#else
  const timespec &am = a->st_mtim, &bm = b->st_mtim;
  const timespec &ac = a->st_ctim, &bc = b->st_ctim;
#endif
  return am.tv_sec == bm.tv_sec && am.tv_nsec == bm.tv_nsec && ac.tv_sec == bc.tv_sec &&
         ac.tv_nsec == bc.tv_nsec;
}

bool platform_same_modification(const struct stat *a, const struct stat *b) {
#if defined(__APPLE__)
  const timespec &am = a->st_mtimespec, &bm = b->st_mtimespec;
#else
  const timespec &am = a->st_mtim, &bm = b->st_mtim;
#endif
  return am.tv_sec == bm.tv_sec && am.tv_nsec == bm.tv_nsec;
}

int platform_exchange(int dir, const char *a, const char *b) {
#if defined(__linux__) && defined(__GLIBC__) && defined(RENAME_EXCHANGE)
  return renameat2(dir, a, dir, b, RENAME_EXCHANGE) == 0;
#elif defined(__linux__) && defined(SYS_renameat2)
  // The C library has no wrapper (musl): the system call is the same.
  constexpr unsigned EXCHANGE = 1U << 1;
  return syscall(SYS_renameat2, dir, a, dir, b, EXCHANGE) == 0;
#elif defined(__APPLE__) && defined(RENAME_SWAP)
  return renameatx_np(dir, a, dir, b, RENAME_SWAP) == 0;
#else
  (void)dir;
  (void)a;
  (void)b;
  errno = ENOSYS;
  return 0;
#endif
}

uintmax_t platform_birth(int dir, const char *name) {
  uintmax_t seconds = 0, nanoseconds = 0;
#if defined(__linux__) && defined(SYS_statx)
  // The system call itself, which musl has no wrapper for; its record is the
  // kernel's, the same on every architecture.
  struct {
    uint32_t mask, block_size;
    uint64_t attributes;
    uint32_t links, uid, gid;
    uint16_t mode, spare;
    uint64_t inode, size, blocks, attributes_mask;
    struct {
      int64_t seconds;
      uint32_t nanoseconds;
      int32_t spare;
    } accessed, born, changed, modified;
    uint32_t rest[32];
  } st = {};
  static_assert(sizeof st == 256, "the kernel's struct statx");
  const unsigned BIRTH = 0x800;  // STATX_BTIME
  int flags = AT_SYMLINK_NOFOLLOW | (*name == '\0' ? AT_EMPTY_PATH : 0);
  if (syscall(SYS_statx, dir, name, flags, BIRTH, &st) != 0 || (st.mask & BIRTH) == 0) return 0;
  seconds = static_cast<uintmax_t>(st.born.seconds);
  nanoseconds = st.born.nanoseconds;
#elif defined(__FreeBSD__) || defined(__NetBSD__) || defined(__APPLE__)
  struct stat st;
  if ((*name == '\0' ? fstat(dir, &st) : fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW)) != 0) return 0;
#if defined(__APPLE__)
  const timespec &birth = st.st_birthtimespec;
#else
  const timespec &birth = st.st_birthtim;
#endif
  if (birth.tv_sec <= 0) return 0;
  seconds = static_cast<uintmax_t>(birth.tv_sec);
  nanoseconds = static_cast<uintmax_t>(birth.tv_nsec);
#else
  (void)dir;
  (void)name;
#endif
  return seconds * 1000000000U + nanoseconds;
}

bool platform_exchange_refused(int error) {
  return error == EINVAL || error == ENOSYS || platform_unsupported(error);
}

int platform_random(void *out, size_t length) {
#if defined(__linux__)
  // Without waiting: early at boot the pool may not be ready yet.
  return getrandom(out, length, GRND_NONBLOCK) == static_cast<ssize_t>(length);
#else
  arc4random_buf(out, length);
  return 1;
#endif
}

int platform_open_searchable(int at, const char *name) {
#ifdef O_PATH
  return openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
#elif defined(O_SEARCH)
  return openat(at, name, O_SEARCH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
#else
  (void)at;
  (void)name;
  errno = EACCES;
  return -1;
#endif
}

bool platform_kernel_links(int dir) {
#if defined(__linux__)
  // PROC_SUPER_MAGIC, from <linux/magic.h>.
  constexpr long PROC_FILE_SYSTEM = 0x9fa0;
  struct statfs st;
  return fstatfs(dir, &st) == 0 && static_cast<long>(st.f_type) == PROC_FILE_SYSTEM;
#else
  (void)dir;
  return 0;
#endif
}

bool platform_mounted_apart(int dir, const char *name) {
#if defined(__linux__)
  // A bind mount of a file from the same file system keeps its device
  // number; the mount id of its handle tells.
  auto *handle = static_cast<file_handle *>(malloc(sizeof(file_handle) + MAX_HANDLE_SZ));
  if (handle == nullptr) return 0;
  int file_mount, dir_mount;
  handle->handle_bytes = MAX_HANDLE_SZ;
  int known = name_to_handle_at(dir, name, handle, &file_mount, 0) == 0;
  handle->handle_bytes = MAX_HANDLE_SZ;
  known = known && name_to_handle_at(dir, "", handle, &dir_mount, AT_EMPTY_PATH) == 0;
  free(handle);
  return known && file_mount != dir_mount;
#else
  (void)dir;
  (void)name;
  return 0;
#endif
}

int platform_lock_rewrite(int fd) {
#if defined(F_OFD_SETLK)
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(sizeof(off_t) < sizeof(int64_t) ? INT32_MAX - 1 : INT64_MAX - 1);
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  if (errno == EACCES) errno = EWOULDBLOCK;
  return -1;
#else
  // A lock of the process's own goes with the first descriptor of the file
  // it closes, whichever that is.
  (void)fd;
  errno = ENOTSUP;
  return -1;
#endif
}

int platform_tell_arrival(int sock, const char **failed) {
  int on = 1;
#if defined(__linux__)
  if (setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == -1)
    return fail(failed, "setsockopt");
#elif defined(IP_RECVIF) && defined(IP_RECVDSTADDR)
  if (setsockopt(sock, IPPROTO_IP, IP_RECVIF, &on, sizeof on) == -1 ||
      setsockopt(sock, IPPROTO_IP, IP_RECVDSTADDR, &on, sizeof on) == -1)
    return fail(failed, "setsockopt");
#else
  (void)sock;
  (void)on;
  (void)failed;
#endif
  return 1;
}

namespace {

// The control message after `c` in `message`, or null. musl's CMSG_NXTHDR
// compares a signed length with an unsigned one, which is harmless there.
cmsghdr *next_header(msghdr *message, cmsghdr *c) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
  return CMSG_NXTHDR(message, c);
#pragma GCC diagnostic pop
}

}  // namespace

void platform_read_arrival(const msghdr *message, unsigned *index, uint32_t *destination) {
  *index = 0;
  *destination = 0;
  // CMSG_NXTHDR takes no const message on every system.
  auto *walked = const_cast<msghdr *>(message);
  for (cmsghdr *c = CMSG_FIRSTHDR(walked); c != nullptr; c = next_header(walked, c)) {
    if (c->cmsg_level != IPPROTO_IP) continue;
#if defined(__linux__)
    if (c->cmsg_type == IP_PKTINFO && c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
      in_pktinfo info;
      memcpy(&info, CMSG_DATA(c), sizeof info);
      *index = static_cast<unsigned>(info.ipi_ifindex);
      *destination = ntohl(info.ipi_addr.s_addr);
    }
#elif defined(IP_RECVIF) && defined(IP_RECVDSTADDR)
    // The link address comes with the interface's name after it; only the
    // fixed part up to the index is read.
    const size_t index_end = offsetof(sockaddr_dl, sdl_index) + sizeof(sockaddr_dl::sdl_index);
    if (c->cmsg_type == IP_RECVIF && c->cmsg_len >= CMSG_LEN(index_end)) {
      sockaddr_dl link = {};
      memcpy(&link, CMSG_DATA(c), index_end);
      *index = link.sdl_index;
    }
    if (c->cmsg_type == IP_RECVDSTADDR && c->cmsg_len >= CMSG_LEN(sizeof(in_addr))) {
      in_addr to;
      memcpy(&to, CMSG_DATA(c), sizeof to);
      *destination = ntohl(to.s_addr);
    }
#endif
  }
}

void platform_address_ends(int *sock, const char *name, unsigned flags, uint32_t address,
                           uint32_t given, uint32_t *broadcast, uint32_t *peer) {
  *broadcast = 0;
  *peer = 0;
#if defined(__linux__)
  // Asked with the address too, the kernel answers for that very address
  // of the label, not for the label's first.
  if (*sock == -1) *sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request = {};
  sockaddr_in own = {};
  own.sin_family = AF_INET;
  own.sin_addr.s_addr = htonl(address);
  snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
  memcpy(&request.ifr_addr, &own, sizeof own);
  ifreq other = request;
  if (*sock != -1 && ioctl(*sock, SIOCGIFBRDADDR, &request) == 0 &&
      ioctl(*sock, SIOCGIFDSTADDR, &other) == 0) {
    sockaddr_in told;
    memcpy(&told, &request.ifr_broadaddr, sizeof told);
    *broadcast = ntohl(told.sin_addr.s_addr);
    memcpy(&told, &other.ifr_dstaddr, sizeof told);
    *peer = ntohl(told.sin_addr.s_addr);
    if (*broadcast == address) *broadcast = 0;
    if (*peer == address) *peer = 0;
    return;
  }
#else
  (void)sock;
  (void)name;
#endif
  if (given == 0 || given == address) return;
  if ((flags & IFF_POINTOPOINT) != 0)
    *peer = given;
  else
    *broadcast = given;
}

namespace {

// Sends with one control message of `size` bytes at `data`, of IPPROTO_IP
// type `type`.
[[maybe_unused]] int send_with(int sock, const void *payload, size_t length,
                               const sockaddr_in *to, int type, const void *data,
                               size_t size) {
  union {
    cmsghdr header;
    char bytes[CMSG_SPACE(sizeof(in_addr) * 3 + sizeof(int))];
  } control = {};
  if (CMSG_SPACE(size) > sizeof control.bytes) {
    errno = EINVAL;
    return 0;
  }
  iovec part = {const_cast<void *>(payload), length};
  msghdr message = {};
  message.msg_name = const_cast<sockaddr_in *>(to);
  message.msg_namelen = sizeof *to;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = CMSG_SPACE(size);
  cmsghdr *c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = type;
  c->cmsg_len = CMSG_LEN(size);
  memcpy(CMSG_DATA(c), data, size);
  return sendmsg(sock, &message, 0) == -1 ? 0 : 1;
}

}  // namespace

int platform_send_out_of(int sock, const void *payload, size_t length, const sockaddr_in *to,
                         unsigned index, uint32_t source) {
#if defined(__linux__) || (defined(__APPLE__) && defined(IP_PKTINFO))
  in_pktinfo info = {};
  info.ipi_ifindex = static_cast<decltype(info.ipi_ifindex)>(index);
  info.ipi_spec_dst.s_addr = htonl(source);
#endif
#if defined(__linux__)
  return send_with(sock, payload, length, to, IP_PKTINFO, &info, sizeof info);
#elif defined(__APPLE__)
  // The binding picks the interface where the source alone may not; it
  // also limits what the socket receives, so it is undone at once.
  int bound = static_cast<int>(index);
  if (setsockopt(sock, IPPROTO_IP, IP_BOUND_IF, &bound, sizeof bound) == -1) return 0;
#if defined(IP_PKTINFO)
  int sent = send_with(sock, payload, length, to, IP_PKTINFO, &info, sizeof info);
#else
  (void)source;
  int sent = sendto(sock, payload, length, 0, reinterpret_cast<const sockaddr *>(to),
                    sizeof *to) != -1;
#endif
  int error = errno;
  int unbound = 0;
  (void)setsockopt(sock, IPPROTO_IP, IP_BOUND_IF, &unbound, sizeof unbound);
  errno = error;
  return sent;
#elif defined(IP_SENDSRCADDR)
  (void)index;
  in_addr from = {};
  from.s_addr = htonl(source);
  return send_with(sock, payload, length, to, IP_SENDSRCADDR, &from, sizeof from);
#else
  (void)index;
  (void)source;
  return sendto(sock, payload, length, 0, reinterpret_cast<const sockaddr *>(to),
                sizeof *to) == -1 ? 0 : 1;
#endif
}
