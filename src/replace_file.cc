// SPDX-License-Identifier: MIT
// The transaction: the file found and held, the run's turn, the new copy
// written, checked against the file as it is at the commit, and swapped in
// with the previous file as its backup, or written again when the file
// changed meanwhile. The mechanisms are in the files replacement.h lists.
#include "replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "deadline.h"
#include "platform.h"
#include "replacement.h"
#include "text.h"

namespace replacing {

namespace {

// Times the file may change under a run before the run gives up.
constexpr int MAX_RESTARTS = 5;

}  // namespace

// Reports the failed `call` in the perror form; returns 0, the failure result.
int report(const char *call) {
  perror(call);
  return 0;
}

bool same_file(const struct stat *a, const struct stat *b) {
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Whether `a` and `b` are the same file with the same contents as far as
// its size says, mode and owner: what the run's own steps leave alone when
// they move the file's times or link count (a second name, a reservation).
bool unchanged_but_times(const struct stat *a, const struct stat *b) {
  return same_file(a, b) && a->st_size == b->st_size && a->st_mode == b->st_mode &&
         a->st_uid == b->st_uid && a->st_gid == b->st_gid;
}

// Whether nothing at all has happened to the file between `a` and `b`: an
// edit, a chmod, a chown or a new ACL each move its change time.
bool unchanged(const struct stat *a, const struct stat *b) {
  return unchanged_but_times(a, b) && a->st_nlink == b->st_nlink &&
         platform_same_times(a, b);
}

// Counts one more start over on a file that changed under the run. Returns
// 1 while the run may start over, 0 after saying that it gives up.
int may_start_over(replacement *r) {
  if (++r->restarts <= MAX_RESTARTS) return 1;
  fprintf(stderr, "%s kept changing during the update\n", r->shown);
  return 0;
}

namespace {

// Holds off, until put back, every signal that would end the process, so
// that none leaves a temporary file behind or the update half done; faults
// of the process itself still end it. A closed pipe or a size limit makes
// writes fail instead of ending the run.
void hold_signals(replacement *r) {
  // A blocked signal stays pending even where it is ignored, and would end
  // the run once unblocked: SIGPIPE and SIGXFSZ are ignored, not blocked.
  static const int PASSED[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
                               SIGABRT, SIGSYS, SIGPIPE, SIGXFSZ};
  sigset_t held_off;
  sigfillset(&held_off);
  for (int passed : PASSED) sigdelset(&held_off, passed);
  sigprocmask(SIG_BLOCK, &held_off, &r->remains->saved_mask);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &r->remains->saved_xfsz);
  sigaction(SIGPIPE, &ignore, &r->remains->saved_pipe);
  r->remains->signals_held = true;
}

// Says which owner and permission bits the file named `shown` and `suffix`
// could not keep.
void tell_owner_change(const char *shown, const char *suffix, const owner_change &o) {
  if (o.uid == o.was_uid && o.gid == o.was_gid) return;
  fprintf(stderr, "Could not keep the owner of %s%s: it is now %lu:%lu, was %lu:%lu", shown, suffix,
          static_cast<unsigned long>(o.uid), static_cast<unsigned long>(o.gid),
          static_cast<unsigned long>(o.was_uid), static_cast<unsigned long>(o.was_gid));
  if (o.cleared != 0) fprintf(stderr, "; cleared permission bits %04o", static_cast<unsigned>(o.cleared));
  fputc('\n', stderr);
}

// Puts the new copy in place when the file is as it was when read.
commit_outcome commit(replacement *r) {
  struct stat now;
  if (fstat(r->in, &now) != 0) {
    report("fstat");
    return commit_outcome::FAILED;
  }
  if (!unchanged(&now, &r->read)) return commit_outcome::START_OVER;
  char *backup = joined(r->base, ".old");
  if (backup == nullptr) return commit_outcome::FAILED;
  // In place, the new copy is only a source of bytes.
  commit_outcome outcome =
      mounted_over(r) ? update_in_place(r, &now, backup) : swap_in(r, &now, backup);
  free(backup);
  return outcome;
}

// Removes the names the run made and still owns, the kept one first.
void drop_names(replacement *r) {
  drop_name(r, &r->kept);
  drop_name(r, &r->new_copy);
}

// Closes the file and the new copy, letting go of any lock on them.
void close_copies(replacement *r) {
  if (r->out != -1) close(r->out);
  r->out = -1;
  if (r->in != -1) close(r->in);
  r->in = -1;
  r->copy_locked = false;
}

// The one way out of a replacement, whatever happened: what the run made and
// still owns is removed, and everything is closed and freed. The journal is
// emptied before the file and the new copy are closed, which lets go of the
// lock on them where runs lock the file itself. The signals stay held until
// the caller has said what happened (forget_remains).
void clean_up(replacement *r) {
  drop_names(r);
  end_journal(r);
  close_copies(r);
  if (r->journal != -1 && r->journal != r->turn) close(r->journal);
  if (r->turn != -1) close(r->turn);
  r->turn = r->journal = -1;
  if (r->dir != -1) close(r->dir);
  r->dir = -1;
  free(r->new_copy.name);
  free(r->kept.name);
  free(r->target);
  r->new_copy.name = r->kept.name = r->target = nullptr;
}

// Begins the replacement: the file held, the run's turn taken, the backup's
// name checked, the signals held off and the new copy made. Returns 1, or 0
// after reporting.
int begin(replacement *r, const char *path) {
  int ok = open_and_find(r, path) && take_turn(r) && reopen_file(r);
  if (ok) {
    char *backup = joined(r->base, ".old");
    struct stat st;
    ok = backup != nullptr;
    if (ok && fstatat(r->dir, backup, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      // Checked now, so that the swap is never undone for it.
      errno = EISDIR;
      ok = report("rename");
    }
    free(backup);
  }
  if (ok) {
    hold_signals(r);
    ok = create_new_copy(r);
  }
  return ok;
}

}  // namespace

}  // namespace replacing

using namespace replacing;

void tell_remains(const replacement_remains *remains) {
  if (remains->left != nullptr) fprintf(stderr, "Files left behind:%s\n", remains->left);
  if (remains->damaged != nullptr)
    fprintf(stderr, "%s may be damaged; its previous contents are in %s.old\n",
            remains->damaged, remains->damaged);
}

void forget_remains(replacement_remains *remains) {
  free(remains->left);
  free(remains->damaged);
  remains->left = remains->damaged = nullptr;
  if (remains->signals_held) {
    sigaction(SIGPIPE, &remains->saved_pipe, nullptr);
    sigaction(SIGXFSZ, &remains->saved_xfsz, nullptr);
    sigprocmask(SIG_SETMASK, &remains->saved_mask, nullptr);
    remains->signals_held = false;
  }
}

int replace_file(const char *path, const char *shown, int lock_wait_seconds,
                 replacement_writer writer, void *context, replacement_remains *remains) {
  *remains = replacement_remains();
  replacement r = {};
  r.shown = shown;
  r.remains = remains;
  r.dir = r.in = r.out = r.turn = r.journal = -1;
  r.lock_state = lock_said::NOTHING;
  r.lock_wait_seconds = lock_wait_seconds;
  r.lock_deadline = deadline_after(lock_wait_seconds);
  commit_outcome outcome = commit_outcome::FAILED;
  if (begin(&r, path)) {
    do {
      outcome = writer(r.in, r.out, context) ? commit(&r) : commit_outcome::FAILED;
      if (outcome != commit_outcome::START_OVER) break;
      drop_names(&r);
      close_copies(&r);
      // The file as it is now, with what changed it kept.
    } while (may_start_over(&r) && reopen_file(&r) && create_new_copy(&r));
    if (outcome == commit_outcome::START_OVER) outcome = commit_outcome::FAILED;
  }
  if (outcome == commit_outcome::REPLACED) {
    tell_owner_change(r.shown, "", r.owner);
    // A copy of the previous file, where no second link could be made, is
    // the backup; its owner is the run's when the run is not root.
    tell_owner_change(r.shown, ".old", r.backup_owner);
  }
  clean_up(&r);
  return outcome == commit_outcome::REPLACED;
}
