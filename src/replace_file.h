// SPDX-License-Identifier: MIT
// Replacing a system file with a new copy written beside it, as one
// transaction: runs take turns on a lock only the file's writer can take,
// nothing that was read is trusted at the commit, and the file is never
// missing, half-written, more open than it was, or without its backup,
// whatever fails and whoever signals. The file is found once, by the kernel,
// and every later step works on the directory that holds it, so that no
// link, mount or rename made meanwhile can redirect the update.
#ifndef UNITFIND_REPLACE_FILE_H_
#define UNITFIND_REPLACE_FILE_H_

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

/// A name in the held directory that the run made. It is removed on the way
/// out unless it was disowned: put in place, or handed to the user.
struct owned_name {
  char *name;  // from malloc; null until made
  bool owned;
};

/// What a failed replacement leaves for its user to see to, told after the
/// caller's own line by tell_remains.
struct replacement_remains {
  char *left;     // each file the run made and could not remove, as " <path>"
  char *damaged;  // the file, when a failed rewrite in place may have damaged
                  // it; its previous contents are then in its backup
};

/// Says what `remains` holds, a line for each part, on stderr.
void tell_remains(const replacement_remains *remains);

/// Frees what `remains` holds, leaving it empty.
void forget_remains(replacement_remains *remains);

/// The owner and permission bits that the new file could not keep; none while
/// the owners are the same.
struct owner_change {
  uid_t uid, was_uid;
  gid_t gid, was_gid;
  mode_t cleared;  // permission bits cleared as they would have given more
};

/// One replacement in progress, from begin_replacement to end_replacement.
struct replacement {
  const char *shown;   // the path as given, escaped, for messages
  char *target;        // the file that links lead to; its last component,
  const char *base;    // `base`, is its name in `dir`
  owned_name copy;     // the new copy, base and six characters
  owned_name kept;     // a second name of the previous file, to become the backup
  bool signals_held;   // whether the signals are held off, to be put back
  int dir;             // the directory that holds the file
  int in;              // the previous file, for reading
  int out;             // the new copy, for reading and writing
  int turn;            // the lock file on which runs take turns, or -1
  bool lock_itself;    // whether runs take turns on a lock on the file itself
  bool copy_locked;    // whether `in`, and so `out`, are locked (lock_itself)
  int restarts;        // times the file changed under the run
  int lock_state;      // whether the run waited for the lock, or gave it up
  struct timespec lock_deadline;  // for a lock on the file itself
  struct stat read;    // the file as it was when its contents were read
  owner_change owner;
  replacement_remains remains;
  sigset_t saved_mask;
  struct sigaction saved_xfsz, saved_pipe;
};

/// Opens the file that `path` names as any program would (the kernel follows
/// links, with its protections), finds and holds the directory entry that
/// leads to it, and waits for this run's turn: on a lock file beside the file
/// that only the writer can take, for as long as a run ahead may take (and
/// the update then fails, saying so); where no such lock file can be had, on
/// a lock on the file itself, for at most `lock_wait_seconds` before going on
/// without it, with a line for each. Refuses anything but a regular file.
/// Then holds off every signal that would end the process (ignoring SIGPIPE
/// and SIGXFSZ, so that a closed pipe or a size limit makes writes fail
/// instead) and creates the new copy, empty and open to its owner alone.
/// `shown` is the path escaped, for messages.
/// Returns 1 with `r` filled; 0 after reporting the failure on stderr, with
/// nothing changed, the signals as they were and r->remains saying what was
/// left, for the caller to tell and forget.
int begin_replacement(replacement *r, const char *path, const char *shown,
                      int lock_wait_seconds);

/// The outcome of end_replacement.
enum class replacement_outcome {
  REPLACED,    // the new file is in place, the previous one its backup
  FAILED,      // reported; see r->remains
  START_OVER,  // the file changed since it was read: write r->out again
};

/// When `ok`, puts the new copy in place of the file, unless the file has
/// changed in any way since it was read (contents, times, mode, owner), in
/// which case `r` holds the file as it is now and an empty new copy, to be
/// written and ended again: at most a few times, then the run gives up. The
/// copy gets the file's owner, extended attributes and mode as they are at
/// that moment, never more open, and is flushed before one rename puts it in
/// place; the previous file becomes the file's name followed by ".old". A
/// file mounted over its name (as in containers) is rewritten in place
/// instead, after a flushed copy of it has become the backup.
/// Otherwise (or when not `ok`) what the run made is removed, everything is
/// closed and the signals are as they were; FAILED comes after reporting the
/// failure on stderr, with the file and its backup as they were except where
/// r->remains says otherwise.
replacement_outcome end_replacement(replacement *r, int ok);

#endif  // UNITFIND_REPLACE_FILE_H_
