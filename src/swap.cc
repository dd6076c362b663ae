// SPDX-License-Identifier: MIT
// Putting the new copy in place of the file: exchanged with it and checked
// after the fact where the system can exchange two names, renamed over it
// with a second name of the previous file where it cannot; either way the
// previous file becomes the backup.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform.h"
#include "replacement.h"

namespace replacing {

namespace {

// Says where the previous contents of the file are, when they could not
// become its backup nor be put back: `name`, beside it.
void tell_kept(const replacement *r, const char *name) {
  char *shown = shown_beside(r, name);
  fprintf(stderr, "The previous contents of %s are in %s\n", r->shown,
          shown == nullptr ? name : shown);
  free(shown);
}

// Whether `swapped`, the file an exchange took out of place, is the file as
// the run read it: the exchange itself moves only its change time.
bool is_file_read(const struct stat *swapped, const struct stat *read) {
  return unchanged_but_times(swapped, read) && swapped->st_nlink == read->st_nlink &&
         platform_same_modification(swapped, read);
}

// Exchanges back the file that r->kept names, which an exchange took out of
// place, with the new copy, provided the new copy is still what the file's
// name leads to: a file that another program renamed over it meanwhile
// stays. Returns 1 when the file taken out is back in place.
int exchange_back(replacement *r) {
  struct stat there, ours;
  if (fstatat(r->dir, r->base, &there, AT_SYMLINK_NOFOLLOW) != 0 || fstat(r->out, &ours) != 0 ||
      !same_file(&there, &ours) || !platform_exchange(r->dir, r->kept.name, r->base))
    return 0;
  // The kept name leads to the new copy again, to be removed with it.
  free(r->new_copy.name);
  r->new_copy = {r->kept.name, true, -1};
  r->kept = {nullptr, false, -1};
  return 1;
}

// After the new copy was exchanged with the file: what came out of place,
// now under the copy's name (the journal's `entry`), becomes `backup` if it is the file as it was
// read; otherwise another program changed it after the last look, and it
// goes back in place, for the run to start over on it. Where the backup
// cannot be had, the update is undone, and if even that fails the new file
// stays, with a line saying where the previous one is.
commit_outcome exchanged(replacement *r, const struct stat *read, const char *backup,
                         off_t entry) {
  // The only name of the previous file, never to be removed.
  r->kept = {r->new_copy.name, false, entry};
  r->new_copy = {nullptr, false, -1};
  struct stat swapped;
  if (fstatat(r->dir, r->kept.name, &swapped, AT_SYMLINK_NOFOLLOW) != 0 ||
      !is_file_read(&swapped, read)) {
    if (exchange_back(r)) return commit_outcome::START_OVER;
    tell_kept(r, r->kept.name);
    return commit_outcome::FAILED;
  }
  if (renameat(r->dir, r->kept.name, r->dir, backup) != 0) {
    perror("rename");
    if (exchange_back(r)) return commit_outcome::FAILED;
    tell_kept(r, r->kept.name);
    return commit_outcome::REPLACED;
  }
  // Where the backup already was that file (a hard link made by hand), the
  // rename did nothing and the kept name is still there.
  r->kept.owned = true;
  drop_name(r, &r->kept);
  (void)sync_directory(r);
  return commit_outcome::REPLACED;
}

// A file that is a mount point on the same file system after all is
// rewritten in place, unless the run went on without the lock.
commit_outcome busy(replacement *r, const struct stat *read, const char *backup) {
  struct stat there;
  if (fstat(r->in, &there) != 0) {
    report("fstat");
    return commit_outcome::FAILED;
  }
  if (!unchanged_but_times(&there, read)) return commit_outcome::START_OVER;
  return update_in_place(r, &there, backup);
}

}  // namespace

// Puts the flushed new copy in place of the file, keeping the previous file
// as `backup`, unless the file changed since `read`. The name always leads to
// a whole file. Where the system can exchange two names in one step, the new
// copy is exchanged with the file, and what came out is checked after the
// fact (exchanged). Elsewhere the previous file first gets a second name,
// the file is checked a last time, one rename swaps the new copy in, and only
// then does the kept previous file replace the backup; if that fails the
// previous file goes back, and if even that fails the new file stays, with a
// line saying where the previous one is. That last check leaves a moment in
// which an edit by a program that takes no lock is lost.
commit_outcome swap_in(replacement *r, const struct stat *read, const char *backup) {
  struct stat kept, there;
  r->owner = owner_change();
  r->backup_owner = owner_change();
  if (!r->no_exchange) {
    // The attributes the file has now, never those of an earlier look.
    if (!copy_attributes(r->in, read, r->out, &r->owner) || !flush(r->out))
      return commit_outcome::FAILED;
    // Should the run end now, the name will lead to the previous file, to
    // become the backup.
    free(r->kept.name);
    r->kept = {nullptr, false, -1};
    owned_name swapped_out = {r->new_copy.name, false, -1};
    journal_name(r, &swapped_out, JOURNAL_KEPT, read, r->in);
    if (platform_exchange(r->dir, r->new_copy.name, r->base))
      return exchanged(r, read, backup, swapped_out.entry);
    if (errno == EBUSY) return busy(r, read, backup);
    if (!platform_exchange_refused(errno)) {
      report("rename");
      return commit_outcome::FAILED;
    }
    r->no_exchange = true;
  }
  // Nothing checks this rename after the fact: another run may be under way
  // on the file that this one could not wait for.
  if (r->lock_state == lock_said::GIVEN_UP) {
    gave_up_without_lock(r);
    return commit_outcome::FAILED;
  }
  if (!keep_previous(r, read, &kept)) return commit_outcome::FAILED;
  // A second link moves the change time: nothing else may have moved.
  if (!unchanged_but_times(&kept, read)) return commit_outcome::START_OVER;
  if (!copy_attributes(r->in, &kept, r->out, &r->owner) || !flush(r->out))
    return commit_outcome::FAILED;
  if (fstatat(r->dir, r->base, &there, AT_SYMLINK_NOFOLLOW) != 0 || !unchanged(&there, &kept))
    return commit_outcome::START_OVER;
  if (renameat(r->dir, r->new_copy.name, r->dir, r->base) != 0) {
    if (errno != EBUSY) {
      report("rename");
      return commit_outcome::FAILED;
    }
    drop_name(r, &r->kept);
    return busy(r, &kept, backup);
  }
  disown_name(&r->new_copy);
  if (renameat(r->dir, r->kept.name, r->dir, backup) != 0) {
    perror("rename");
    // Without its backup the update is undone: the previous file goes back.
    disown_name(&r->kept);
    if (renameat(r->dir, r->kept.name, r->dir, r->base) == 0) return commit_outcome::FAILED;
    tell_kept(r, r->kept.name);
    return commit_outcome::REPLACED;
  }
  // Where the backup already was that file (a hard link made by hand), the
  // rename did nothing and the kept name is still there.
  drop_name(r, &r->kept);
  // Reported when it fails: the swap may not survive a crash.
  (void)sync_directory(r);
  return commit_outcome::REPLACED;
}

}  // namespace replacing
