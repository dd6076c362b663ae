// SPDX-License-Identifier: MIT
// The new copy beside the file, the copies of the previous file, and the
// attributes each gets.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include "file_io.h"
#include "platform.h"
#include "replacement.h"

namespace replacing {

namespace {

// Gives `to` the owner, extended attributes and mode of `from`, as `from_stat`
// says they are, in that order: a change of owner clears set-id bits, and
// with an ACL the group bits of the mode are its mask, which the group itself
// would get for a moment if the mode came before the ACL. Bits for an owner
// or a group that cannot be kept are cleared, and noted in `noted` unless it
// is null. Attributes the new file got from its directory (a default ACL,
// which would open it to others) go first, so that it ends up with exactly
// the original's. Returns whether it did; `*failed` names the call that
// failed otherwise.
bool attributes_copied(int from, const struct stat *from_stat, int to, owner_change *noted,
                       const char **failed) {
  // Failing to change the owner is expected when not running as root; the
  // group can still be kept by a member of it.
  if (fchown(to, from_stat->st_uid, from_stat->st_gid) != 0)
    (void)!fchown(to, static_cast<uid_t>(-1), from_stat->st_gid);
  *failed = "fstat";
  struct stat now;
  bool ok = fstat(to, &now) == 0;
  if (ok) {
    mode_t mode = from_stat->st_mode & 07777, cleared = 0;
    if (now.st_gid != from_stat->st_gid) cleared |= mode & (S_IRWXG | S_ISGID);
    if (now.st_uid != from_stat->st_uid) cleared |= mode & S_ISUID;
    if (noted != nullptr && (now.st_uid != from_stat->st_uid || now.st_gid != from_stat->st_gid))
      *noted = {now.st_uid, from_stat->st_uid, now.st_gid, from_stat->st_gid, cleared};
    ok = platform_clear_attributes(to, failed) && platform_copy_attributes(from, to, failed);
    if (ok && fchmod(to, mode & ~cleared) != 0) {
      *failed = "fchmod";
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int copy_attributes(int from, const struct stat *from_stat, int to, owner_change *noted) {
  const char *failed = nullptr;
  return attributes_copied(from, from_stat, to, noted, &failed) || report(failed);
}

int flush(int fd) { return fsync(fd) == 0 || report("fsync"); }

// Makes the names in the held directory durable. A directory held without
// read access, or a file system that cannot sync one, is not a failure.
int sync_directory(const replacement *r) {
  return fsync(r->dir) == 0 || errno == EBADF || errno == EINVAL ||
         report("fsync");
}

namespace {

bool link_refused(int error) {
  return error == EPERM || platform_unsupported(error) || error == EMLINK ||
         error == ENOSYS || error == EXDEV;
}

int link_previous(const replacement *r, const char *name) {
  return linkat(r->dir, r->base, r->dir, name, 0);
}

// Writes a flushed copy of the previous file, as `st` describes it, with its
// bytes under `n`, and its attributes as `attributes` gives them, an owner it
// could not keep noted in r->backup_owner. Returns the descriptor, or -1
// after reporting, with nothing left but what drop_name could not remove.
int copy_previous_with(replacement *r, owned_name *n, const struct stat *st,
                       int (*attributes)(int from, const struct stat *st, int to,
                                         owner_change *noted)) {
  int fd = create_unique(r, n);
  if (fd == -1) return -1;
  r->backup_owner = owner_change();
  if (copy_contents(r->in, fd) && attributes(r->in, st, fd, &r->backup_owner) && flush(fd))
    return fd;
  close(fd);
  drop_name(r, n);
  return -1;
}

int attributes_else_private(int from, const struct stat *st, int to, owner_change *noted) {
  const char *failed = nullptr;
  return attributes_copied(from, st, to, noted, &failed) ||
         fchmod(to, st->st_mode & S_IRWXU) == 0 || report("fchmod");
}

}  // namespace

int copy_previous(replacement *r, owned_name *n, const struct stat *st) {
  return copy_previous_with(r, n, st, copy_attributes);
}

int copy_previous_else_private(replacement *r, owned_name *n, const struct stat *st) {
  return copy_previous_with(r, n, st, attributes_else_private);
}

// Keeps the previous file, as `st` describes it, under a new unique name
// beside it, r->kept, to become the backup once the new file is in place: a
// second link where the file system allows one, otherwise a flushed copy.
// Stores how the file is then in `now`. Returns 1, or 0 after reporting.
int keep_previous(replacement *r, const struct stat *st, struct stat *now) {
  if (make_known_name(r, &r->kept, JOURNAL_KEPT, st, r->in, link_previous) == -1) {
    if (r->kept.name == nullptr) return 0;
    if (!link_refused(errno)) return report("link");
    int fd = copy_previous(r, &r->kept, st);
    if (fd == -1) return 0;
    // Whole and flushed: the copy can now stand for the previous file.
    struct stat copy;
    if (fstat(fd, &copy) == 0) journal_name(r, &r->kept, JOURNAL_KEPT, &copy, fd);
    close(fd);
  }
  return fstat(r->in, now) == 0 || report("fstat");
}

// Creates the new copy beside the file and, when the file is locked, locks it
// too: once renamed into place it is the file that the next run waits for,
// until this run has also renamed the backup. Returns 1, or 0 after reporting.
int create_new_copy(replacement *r) {
  r->out = create_unique(r, &r->new_copy);
  if (r->out == -1) return 0;
  return !r->copy_locked || flock(r->out, LOCK_EX | LOCK_NB) == 0 ||
         lock_unsupported(errno) || report("flock");
}

}  // namespace replacing
