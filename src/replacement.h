// SPDX-License-Identifier: MIT
// The parts of replace_file that work together, and the one record they
// share: private to the files that make up replace_file, each of which holds
// one mechanism.
//   owned_name.cc  the names the run makes, and removes unless it disowns them
//   held_file.cc   the file found and held, with the directory that holds it
//   turns.cc       taking turns on the lock file, and the run's journal
//   copies.cc      the new copy and the copy of the previous file, attributes
//   swap.cc        putting the new copy in place, the previous file its backup
//   in_place.cc    rewriting a file mounted over its name
//   replace_file.cc  the transaction itself
#ifndef UNITFIND_REPLACEMENT_H_
#define UNITFIND_REPLACEMENT_H_

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include "replace_file.h"

namespace replacing {

// Unique names tried before giving up: each try creates nothing when the
// name is taken, so a directory that refuses removals cannot fill up. Also
// the most times a run reopens a file that runs ahead of it replaced.
constexpr int NAME_TRIES = 100;

/// What the run has said of the lock it waits for.
enum class lock_said {
  NOTHING,
  WAITING,   // that it waits for the lock
  GIVEN_UP,  // that it gave up waiting
};

/// A name in the held directory that the run made. It is removed on the way
/// out unless it was disowned: put in place, or handed to the user.
struct owned_name {
  char *name;  // from malloc; null until made
  bool owned;
  off_t entry;  // where the journal names it, or -1
};

/// The owner and permission bits that the new file could not keep; none while
/// the owners are the same.
struct owner_change {
  uid_t uid, was_uid;
  gid_t gid, was_gid;
  mode_t cleared;  // permission bits cleared as they would have given more
};

/// One replacement in progress.
struct replacement {
  const char *shown;   // the path as given, escaped, for messages
  char *target;        // the file that links lead to; its last component,
  const char *base;    // `base`, is its name in `dir`
  owned_name new_copy;  // the new copy, base and six characters
  owned_name kept;     // a second name of the previous file, to become the backup
  int dir;             // the directory that holds the file
  int in;              // the previous file, for reading
  int out;             // the new copy, for reading and writing
  int turn;            // the lock file on which runs take turns, or -1
  int journal;         // the file that keeps the journal: the lock file, the
                       // journal file where runs lock the file itself, or -1
  bool lock_itself;    // whether runs take turns on a lock on the file itself
  bool copy_locked;    // whether `in`, and so `out`, are locked (lock_itself)
  bool no_exchange;    // whether exchanging two names was refused here
  int restarts;        // times the file changed under the run
  lock_said lock_state;
  int lock_wait_seconds;  // the time the user gave to wait for a lock anyone may hold
  struct timespec lock_deadline;  // for a lock on the file itself
  struct stat read;    // the file as it was when its contents were read
  owner_change owner;
  owner_change backup_owner;  // of the previous file's copy, where it is the backup
  off_t journal_end;    // the length of the journal
  bool journal_kept;    // whether the journal must outlast the run
  replacement_remains *remains;
};

// replace_file.cc

/// Reports the failed `call` in the perror form; returns 0, the failure result.
int report(const char *call);

/// Whether `a` and `b` are the same file.
bool same_file(const struct stat *a, const struct stat *b);

/// Whether `a` and `b` are the same file with the same contents as far as
/// its size says, mode and owner: what the run's own steps leave alone when
/// they move the file's times or link count (a second name, a reservation).
bool unchanged_but_times(const struct stat *a, const struct stat *b);

/// Whether nothing at all has happened to the file between `a` and `b`: an
/// edit, a chmod, a chown or a new ACL each move its change time.
bool unchanged(const struct stat *a, const struct stat *b);

/// Counts one more start over on a file that changed under the run. Returns
/// 1 while the run may start over, 0 after saying that it gives up.
int may_start_over(replacement *r);

// owned_name.cc

/// Returns `head` followed by `tail` in memory from malloc, or null after
/// reporting the failure.
char *joined(const char *head, const char *tail);

/// Returns the path of `name` in the directory of `path` (up to its last
/// slash), in memory from malloc, or null after reporting the failure.
char *beside(const char *path, const char *name);

/// Returns the path of `name` beside the file, escaped for a message, in
/// memory from malloc, or null after reporting the failure.
char *shown_beside(const replacement *r, const char *name);

/// Adds `name`, which the run made and could not remove, to what it tells.
void note_left(replacement *r, const char *name);

/// The name is the run's no longer: it was put in place or handed over.
void disown_name(owned_name *n);

/// Removes `n` from the held directory if the run still owns it, reporting
/// a failure other than its absence and noting the name as left. Keeps errno
/// as it was, since it runs on the way out of failures.
void drop_name(replacement *r, owned_name *n);

/// Makes `n` in the held directory with `attempt`, as the file's name and six
/// characters chosen at random again while the name is taken (as mkstemp
/// does, but beside the file that was read whatever has become of its path).
/// Returns what the last attempt returned: -1, with errno set, when none
/// succeeded; otherwise the run owns the name.
int make_name(replacement *r, owned_name *n, int (*attempt)(const replacement *, const char *));

/// Makes `n` as make_name does with `attempt`, a second name of the file that
/// `known` describes, open as `fd`, naming it in the journal as `kind` first.
int make_known_name(replacement *r, owned_name *n, const char *kind, const struct stat *known,
                    int fd, int (*attempt)(const replacement *, const char *));

/// Creates a new file `n`, open to its owner alone, in the held directory.
/// Returns the descriptor, open for reading and writing, or -1 after
/// reporting.
int create_unique(replacement *r, owned_name *n);

// held_file.cc

/// Opens the file that `path` names and finds its directory entry, setting
/// r->dir, r->target and r->base. Returns 1 with r->in open, or 0 after
/// reporting.
int open_and_find(replacement *r, const char *path);

/// Opens the file that r->base names in the held directory afresh, for the
/// runs ahead may have replaced it, and, where runs take turns on the file
/// itself, locks it, waiting at most the time the user gave and then going on
/// without, and once locked takes over the journal (take_journal). Records
/// how the file is now in r->read. Returns 1, or 0 after reporting.
int reopen_file(replacement *r);

// turns.cc

/// Whether `error` from flock says that the file system cannot lock.
bool lock_unsupported(int error);

/// What lock_waiting found.
enum class lock_result { LOCKED, UNSUPPORTED, TIMED_OUT, FAILED };

/// Takes the exclusive lock on `fd`, waiting for another holder until
/// `deadline`, and saying once that it waits. FAILED is reported.
lock_result lock_waiting(replacement *r, int fd, const timespec &deadline);

/// Takes the lock that every run rewriting the file in place takes on the
/// file itself, open for writing as `fd`, whatever name or lock file it came
/// by (another mount of the file, another container's), waiting at most the
/// time the user gave: nothing checks an overwrite after the fact. Where the
/// system has no such lock, runs through other names take no turns. Returns
/// 1, or 0 after reporting.
int took_rewrite_lock(replacement *r, int fd);

/// Waits for this run's turn on the lock file beside the file, for as long as
/// a run ahead may take, or finds that runs lock the file itself. Returns 1,
/// or 0 after reporting.
int take_turn(replacement *r);

/// Where runs lock the file itself and this run holds that lock on r->in,
/// opens the journal file beside the file, `.NAME.journal`, and takes it
/// over as take_turn does the lock file's: a run that died holding the lock
/// has its business finished first, and r->read is the file as it is then.
/// Where no such file of the run's own can be had, the run keeps no
/// journal. Returns 1, or 0 after reporting.
int take_journal(replacement *r);

/// Says that the run gave up waiting for the lock, which the file cannot be
/// updated without. Returns 0, the failure result.
int gave_up_without_lock(const replacement *r);

/// The kinds of journal entries: a file the run made, to be removed if it is
/// still that file; a file that holds the previous contents, to become the
/// backup once the file is another; an in-place rewrite under way, whose
/// backup holds the contents from before it.
constexpr const char JOURNAL_MADE[] = "made";
constexpr const char JOURNAL_KEPT[] = "kept";
constexpr const char JOURNAL_REWRITE[] = "rewrite";

/// Names `n`, which the run made or is about to make, in the journal as
/// `kind`, with the identity of the file `st` describes, open as `fd` (none
/// yet when null and -1), in its own entry, written over when it is named
/// again. Does nothing where the run keeps no journal.
void journal_name(replacement *r, owned_name *n, const char *kind, const struct stat *st, int fd);

/// Says in the journal that the file is about to be rewritten in place, its
/// previous contents in the backup that `backup` describes, and makes that
/// durable before the first byte changes: `backup_name` in the held
/// directory. Returns 1, or 0 after reporting.
int journal_rewrite(replacement *r, const struct stat *backup, const char *backup_name);

/// Leaves the journal empty at the end of the run, unless it must outlast
/// the run: a rewrite in place that failed to write back, or a dead run's
/// business that could not be finished.
void end_journal(replacement *r);

// copies.cc

/// Gives `to` the owner, extended attributes and mode of `from`, as
/// `from_stat` says they are, noting in `noted` (unless null) the owner and
/// bits that could not be kept. Returns 1, or 0 after reporting the failure.
int copy_attributes(int from, const struct stat *from_stat, int to, owner_change *noted);

/// Flushes `fd`. Returns 1, or 0 after reporting.
int flush(int fd);

/// Makes the names in the held directory durable. Returns 1, or 0 after
/// reporting; a directory that cannot be synced is not a failure.
int sync_directory(const replacement *r);

/// Writes a flushed copy of the previous file, as `st` describes it, with its
/// attributes, under `n`. Returns the descriptor, or -1 after reporting.
int copy_previous(replacement *r, owned_name *n, const struct stat *st);

/// As copy_previous, but where the attributes cannot be carried over the copy
/// is left open to its owner alone instead of failing: for a file rewritten
/// in place, whose new contents lack them too.
int copy_previous_else_private(replacement *r, owned_name *n, const struct stat *st);

/// Keeps the previous file, as `st` describes it, under a new unique name
/// beside it, r->kept, storing how the file is then in `now`. Returns 1, or 0
/// after reporting.
int keep_previous(replacement *r, const struct stat *st, struct stat *now);

/// Creates the new copy beside the file, locked when the file is. Returns 1,
/// or 0 after reporting.
int create_new_copy(replacement *r);

// in_place.cc

/// Whether the file is mounted over its name, so that no rename can replace it.
bool mounted_over(const replacement *r);

/// The outcome of a commit.
enum class commit_outcome {
  REPLACED,    // the new file is in place, the previous one its backup
  FAILED,      // reported; see r->remains
  START_OVER,  // the file changed since it was read: write it again
};

/// Rewrites the file in place with the new copy's contents, the file being
/// as `expected` says, after its copy has become `backup`.
commit_outcome update_in_place(replacement *r, const struct stat *expected, const char *backup);

// swap.cc

/// Puts the flushed new copy in place of the file, which `read` describes
/// as it was read, keeping the previous file as `backup`; a file that
/// changed meanwhile starts the run over, and a mounted one is rewritten in
/// place.
commit_outcome swap_in(replacement *r, const struct stat *read, const char *backup);

}  // namespace replacing

#endif  // UNITFIND_REPLACEMENT_H_
