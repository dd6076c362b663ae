// SPDX-License-Identifier: MIT
// Replacing a system file with a new copy written beside it, so that the file
// is never missing, half-written, more open than it was, or without its
// backup, whatever fails and whoever signals.
#ifndef UNITFIND_REPLACE_FILE_H_
#define UNITFIND_REPLACE_FILE_H_

#include <signal.h>
#include <sys/stat.h>

/// One replacement in progress, from begin_replacement to end_replacement.
struct replacement {
  const char *shown;  // the path as given, for messages
  char *target;       // the file that symbolic links lead to
  char *temp;         // the new copy: the target followed by six characters
  int in;             // the previous file, locked, for reading
  int out;            // the new copy, for writing
  struct stat previous;
  sigset_t saved_mask;
};

/// Opens the file that `path` names, following symbolic links, and locks it
/// against other runs, waiting at most `lock_wait_seconds` for one that holds
/// it (with a line on stderr saying so); a file system that cannot lock is
/// used unlocked. Refuses anything but a regular file or a directory (whose
/// read then fails). Then holds off SIGTERM, SIGINT and SIGHUP and creates the
/// new copy, empty and open to its owner alone, beside the target.
/// Returns 1 with `r` filled; 0 after reporting the failed call on stderr,
/// with nothing created, nothing changed and the signal mask as it was.
int begin_replacement(replacement *r, const char *path, int lock_wait_seconds);

/// When `ok`, gives the new copy the previous file's owner, mode and extended
/// attributes, flushes it and puts it in place, the previous file becoming the
/// target followed by ".old"; a file mounted over its name (as in containers)
/// is rewritten in place instead. Either way, or when not `ok`, the temporary
/// files are removed, everything is closed, and a signal held off since
/// begin_replacement takes effect. Returns 1 on success; 0 when not `ok` or
/// after reporting the failed call on stderr, in which case the file and its
/// backup are as they were.
int end_replacement(replacement *r, int ok);

#endif  // UNITFIND_REPLACE_FILE_H_
