// SPDX-License-Identifier: MIT
// Replacing a system file with a new copy written beside it, as one
// transaction: runs take turns on a lock only the file's writer can take
// (where the file system can lock at all), nothing that was read is trusted at the commit, and the file is never
// missing, half-written, more open than it was, or without its backup,
// whatever fails and whoever signals. The file is found once, walking its
// path as the kernel would, and every later step works on the directory that
// holds it, so that no link, mount or rename made meanwhile can redirect the
// update.
#ifndef UNITFIND_REPLACE_FILE_H_
#define UNITFIND_REPLACE_FILE_H_

#include <signal.h>

/// What a replacement leaves for its caller: the files it made and could
/// not remove, a file that a failed rewrite in place may have damaged, and
/// the signals it held off, which wait until the caller has said what it
/// has to say.
struct replacement_remains {
  char *left;     // each file the run made and could not remove, as " <path>"
  char *damaged;  // the file, when a failed rewrite in place may have damaged
                  // it; its previous contents are then in its backup
  bool signals_held;  // whether the signals below are to be put back
  sigset_t saved_mask;
  struct sigaction saved_xfsz, saved_pipe;
};

/// Says what `remains` holds, a line for each part, on stderr.
void tell_remains(const replacement_remains *remains);

/// Frees what `remains` holds, leaving it empty, and lets through the
/// signals that were held off: a signal that came meanwhile takes effect
/// now, once everything has been said.
void forget_remains(replacement_remains *remains);

/// Writes the new contents of the file into `out` from its present contents
/// in `in`, both open at their start, for `context`. Called again, with an
/// empty `out`, when the file changed meanwhile. Returns 1, or 0 after
/// reporting the failure on stderr.
using replacement_writer = int (*)(int in, int out, void *context);

/// Replaces the file that `path` names (`shown` is the path escaped, for
/// messages) with what `writer` writes from it, keeping the previous file as
/// the file's name followed by ".old". The path is walked as the kernel
/// would walk it, but a step from a directory or link that one user other
/// than root owns to something another user owns is refused, so that no link
/// another user planted leads the run elsewhere. Runs take turns on a lock
/// file beside the file that only the writer can take, waiting as long as a
/// run ahead may take, or, where no such lock file can be had, on a lock on
/// the file itself, for at most `lock_wait_seconds` before going on without
/// it where that is safe, with a line for each. Where the file system cannot
/// lock at all (flock is not supported there), a run goes on without a turn
/// and without a journal, and says nothing of it. Otherwise the lock file is
/// the run's journal: a later run finishes what a run that died left. Anything but a
/// regular file is refused. A file that changed in any way since it was read
/// is read again, at most a few times; the new file gets the file's owner,
/// extended attributes and mode as they are at the commit, never more open,
/// and is flushed before it takes the file's name. A file mounted over its
/// name (as in containers) is rewritten in place instead, after a flushed
/// copy of it has become the backup. Every signal that would end the process
/// is held off from the first file made, and stays held for the caller.
/// Returns 1 when the new file is in place; 0 after reporting the failure on
/// stderr, with the file and its backup as they were except where `remains`
/// says otherwise. Either way `remains` is to be told (after the caller's own
/// line) and forgotten.
int replace_file(const char *path, const char *shown, int lock_wait_seconds,
                 replacement_writer writer, void *context, replacement_remains *remains);

#endif  // UNITFIND_REPLACE_FILE_H_
