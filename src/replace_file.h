// SPDX-License-Identifier: MIT
// Replacing a system file with a new copy written beside it, so that the file
// is never missing, half-written, more open than it was, or without its
// backup, whatever fails and whoever signals. The file is found once, by the
// kernel, and every later step works on the directory that holds it, so that
// no link, mount or rename made meanwhile can redirect the update.
#ifndef UNITFIND_REPLACE_FILE_H_
#define UNITFIND_REPLACE_FILE_H_

#include <signal.h>
#include <sys/stat.h>
#include <time.h>

/// One replacement in progress, from begin_replacement to end_replacement.
struct replacement {
  const char *shown;  // the path as given, for messages
  char *target;       // the file that links lead to, for messages; its last
                      // component, `base`, is its name in `dir`
  const char *base;
  char *temp;         // the new copy's name in `dir`: base and six characters
  char *kept;         // a second name of the previous file in `dir`, made
                      // just before the swap, to become the backup
  bool owns_copy;     // whether `temp` names the new copy, for the run to
                      // remove unless it was put in place
  bool owns_kept;     // whether `kept` names the previous file, for the run
                      // to remove unless it became the backup
  bool signals_held;  // whether the signals are held off, to be put back
  int dir;            // the directory that holds the file
  int in;             // the previous file, for reading
  int out;            // the new copy, for reading and writing
  int locked;         // whether `in` and `out` are locked against other runs
  int restarts;       // times the file was replaced by someone else meanwhile
  int lock_state;     // whether the run waited for the lock, or gave it up
  struct timespec lock_deadline;
  struct stat previous;
  sigset_t saved_mask;
  struct sigaction saved_xfsz;
};

/// Opens the file that `path` names as any program would (the kernel follows
/// links, with its protections), finds and holds the directory entry that
/// leads to it, and locks it against other runs, waiting at most
/// `lock_wait_seconds` for one that holds it (with a line on stderr saying
/// so) and then going on without the lock (with another). A file system that
/// cannot lock is used unlocked. Refuses anything but a regular file, and a
/// file whose directory cannot be found. Then holds off SIGTERM, SIGINT and
/// SIGHUP, ignores SIGXFSZ, and creates the new copy, empty and open to its
/// owner alone, beside the file.
/// Returns 1 with `r` filled; 0 after reporting the failure on stderr, with
/// nothing created, nothing changed and the signals as they were.
int begin_replacement(replacement *r, const char *path, int lock_wait_seconds);

/// When `ok`, gives the new copy the previous file's owner, mode and extended
/// attributes, flushes it and puts it in place, the previous file becoming the
/// file's name followed by ".old"; a file mounted over its name (as in
/// containers) is rewritten in place instead, after a flushed copy of it has
/// been made for the backup. Returns 1 on success, with the new file in place
/// (if its backup could not be named, a line says where the previous contents
/// are). Returns -1 when the file was replaced by another program since it was
/// read: `r` then holds the new file and an empty new copy, to be written and
/// ended again (a bounded number of times). Otherwise the temporary files are
/// removed (a failed removal is reported), everything is closed, the signals
/// are as they were, and it returns 0 when not `ok` or after reporting the
/// failure on stderr, in which case the file and its backup are as they were.
int end_replacement(replacement *r, int ok);

#endif  // UNITFIND_REPLACE_FILE_H_
