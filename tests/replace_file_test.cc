// SPDX-License-Identifier: MIT
// The file replacement with chosen calls failing: CTest preloads the fault
// library, and each case updates a file in a child process of its own.
#include "replace_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "shared.h"
#include "scratch.h"
#include "search.h"

namespace {

const std::string ORIGINAL = "127.0.0.1\tlocalhost\n# keep this comment\n", OLDER = "older\n";
const std::string LINE =
    "10.77.0.11 player.lan # Empeg: Serial=30100123 Name=Living room [EMPEG-30100123-EMPEG]\n";
const std::string ENTRY = "\n" + LINE;
const std::string UPDATED = ORIGINAL + ENTRY;
// An earlier run's entry amid other lines, longer than the one that replaces it.
const std::string EARLIER =
    "a\n10.77.0.9 player.lan # Empeg: Serial=30100123 Name=Hall cupboard [EMPEG-30100123-EMPEG]\nb\n";

// The names of the extended attributes of `path`, an ACL among them.
std::string attributes(const std::string &path) {
  char names[4096];
  ssize_t size = listxattr(path.c_str(), names, sizeof names);
  return size <= 0 ? "" : std::string(names, static_cast<size_t>(size));
}

// A hosts file and an older backup alone in a directory; the child's
// standard error and the fault library's stall notice go beside it.
class Replacement : public ScratchDirectory {
 protected:
  void SetUp() override {
    const char *preload = getenv("LD_PRELOAD");
    ASSERT_TRUE(preload != nullptr && strstr(preload, "fault_inject") != nullptr)
        << "run with the fault library preloaded, as ctest does";
    ScratchDirectory::SetUp();
    if (HasFatalFailure()) return;
    hosts = work + "/etc/hosts";
    ASSERT_EQ(mkdir((work + "/etc").c_str(), 0755), 0);
    std::ofstream(hosts) << ORIGINAL;
    std::ofstream(hosts + ".old") << OLDER;
    chmod(hosts.c_str(), 0640);
  }
  // Runs the tool's hosts update in a child with UNITFIND_FAULTS set to
  // `faults` (and UNITFIND_RUN to `run`, with $H the hosts file and $W the
  // scratch directory), after `before` there, keeping its standard error in
  // `err`; once the fault library stalls a call, calls `meanwhile`. Returns
  // the wait status.
  int update(const char *faults, const std::function<void()> &before = nullptr,
             const std::function<void(pid_t)> &meanwhile = nullptr, const char *run = nullptr) {
    std::string stalled = work + "/stalled";
    unlink(stalled.c_str());
    pid_t pid = fork();
    if (pid == 0) {
      dup2(open((work + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      setenv("UNITFIND_FAULTS", faults, 1);
      setenv("UNITFIND_STALLED", stalled.c_str(), 1);
      setenv("UNITFIND_RUN", run == nullptr ? "" : run, 1);
      setenv("H", hosts.c_str(), 1);
      setenv("W", work.c_str(), 1);
      if (before) before();
      empeg_info unit = {"Living room", 30100123, {10, 77, 0, 11}};
      replacement_remains remains = {};
      // As the tool reports it.
      int ok = update_hosts_file(hosts.c_str(), &unit, "player.lan", lock_wait, &remains);
      if (!ok) fprintf(stderr, "Unable to modify %s\n", hosts.c_str());
      tell_remains(&remains);
      forget_remains(&remains);
      _exit(ok);
    }
    int status = 0;
    pid_t ended = 0;
    while (meanwhile && access(stalled.c_str(), F_OK) != 0 &&
           (ended = waitpid(pid, &status, WNOHANG)) == 0)
      usleep(10000);
    if (meanwhile && ended == 0) meanwhile(pid);
    if (ended == 0) waitpid(pid, &status, 0);
    err = slurp(work + "/err");
    return status;
  }

  // What `text` says with $H standing for the hosts file, $A and $M for the
  // line that announces the entry, and $U for the line of a failed update.
  std::string shown(std::string text) const {
    const struct {
      const char *code, *line;
    } codes[] = {{"$A", "Appending entry for player.lan to $H\n"},
                 {"$M", "Modifying entry for player.lan in $H\n"},
                 {"$U", "Unable to modify $H\n"},
                 {"$H", nullptr}};
    for (const auto &c : codes)
      for (size_t at; (at = text.find(c.code)) != std::string::npos;)
        text.replace(at, 2, c.line == nullptr ? hosts : c.line);
    return text;
  }

  std::string left() const { return names_in(work + "/etc"); }

  std::string hosts, err;
  int lock_wait = 1;  // -t, the wait for a lock on the file itself
};

enum outcome {
  UNTOUCHED,     // failed: the file and its backup as they were
  UPDATE,        // the file updated, the previous contents its backup
  WRITTEN_BACK,  // failed in place: the file as it was, and its backup
  DAMAGED,       // failed in place: the previous contents are the backup
};

struct fault_case {
  const char *name, *faults;
  const char *report;  // all of standard error
  outcome result;
  bool in_place = false;  // rewritten in place, the backup a copy
  void (*setup)(const std::string &hosts) = nullptr;
  const char *start = nullptr;  // the hosts file it starts with, ORIGINAL when null
  const char *run = nullptr;    // the command a "run" fault runs
  const char *seen = nullptr;   // what that command wrote to $W/seen
  mode_t mode = 0;              // the file's mode after, when not as before
  const char *left = nullptr;   // the hosts file's directory after, when not the usual
  mode_t backup_mode = 0;       // the backup's mode, when not the file's before

  // What a row adds to the plain case, one thing at a time.
  fault_case rewritten_in_place() const { fault_case c = *this; c.in_place = true; return c; }
  fault_case after(void (*how)(const std::string &)) const { fault_case c = *this; c.setup = how; return c; }
  fault_case starting_with(const char *file) const { fault_case c = *this; c.start = file; return c; }
  fault_case running(const char *command, const char *saw = nullptr) const {
    fault_case c = *this;
    c.run = command;
    c.seen = saw;
    return c;
  }
  fault_case leaving_mode(mode_t after) const { fault_case c = *this; c.mode = after; return c; }
  fault_case leaving(const char *names) const { fault_case c = *this; c.left = names; return c; }
  fault_case leaving_backup_mode(mode_t m) const { fault_case c = *this; c.backup_mode = m; return c; }
};

// The plain cases by their outcome: `faults` as UNITFIND_FAULTS takes them,
// `report` all of standard error.
fault_case untouched(const char *name, const char *faults, const char *report) {
  return {name, faults, report, UNTOUCHED};
}
fault_case updated(const char *name, const char *faults, const char *report) {
  return {name, faults, report, UPDATE};
}
fault_case written_back(const char *name, const char *faults, const char *report) {
  return fault_case{name, faults, report, WRITTEN_BACK}.rewritten_in_place();
}
fault_case damaged(const char *name, const char *faults, const char *report) {
  return fault_case{name, faults, report, DAMAGED}.rewritten_in_place();
}

void PrintTo(const fault_case &c, std::ostream *out) { *out << c.name; }

void sh(const std::string &command) { ASSERT_EQ(system(command.c_str()), 0) << command; }

void backup_is_directory(const std::string &hosts) {
  ASSERT_EQ(unlink((hosts + ".old").c_str()) | mkdir((hosts + ".old").c_str(), 0755), 0);
}

// An ACL is an extended attribute that every file system here keeps.
void with_attribute(const std::string &hosts) {
  if (system(("setfacl -m u:nobody:r '" + hosts + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no setfacl, or no ACLs here";
}

void inheriting_acl(const std::string &hosts) {
  if (system(("setfacl -d -m u:nobody:rw \"$(dirname '" + hosts + "')\" 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no setfacl, or no default ACLs here";
}

void open_to_all(const std::string &hosts) { sh("chmod 0644 '" + hosts + "'"); }
void owned_by_others(const std::string &hosts) { sh("chown 1234:5678 '" + hosts + "'"); }
void directory_open_to_others(const std::string &hosts) { sh("chmod 0777 \"$(dirname '" + hosts + "')\""); }
void directory_open_to_group(const std::string &hosts) { sh("chmod 0775 \"$(dirname '" + hosts + "')\""); }
void lock_file_a_link(const std::string &hosts) { sh("ln -s /dev/null \"$(dirname '" + hosts + "')/.hosts.lock\""); }
void lock_file_open(const std::string &hosts) {
  sh("install -m 0644 /dev/null \"$(dirname '" + hosts + "')/.hosts.lock\"");
}
void lock_file_linked(const std::string &hosts) {
  sh("cd \"$(dirname '" + hosts + "')\" && install -m 0600 /dev/null .hosts.lock && ln .hosts.lock ../lock");
}

#define NOT_PRIVATE "Locking $H itself, not .hosts.lock: "
// Where runs lock the file itself, the journal has a file of its own.
#define JOURNAL_AND_LOCK ".hosts.journal .hosts.lock hosts hosts.old "

// EBUSY from the swap makes the update go in place, as for a mounted file.
const fault_case FAULT_CASES[] = {
    untouched("fsync", "fsync:1:EIO", "$Afsync: Input/output error\n$U"),
    untouched("rename", "renameat2:1:EACCES", "$Arename: Permission denied\n$U"),
    untouched("rename_backup", "rename@hosts.old:1:EIO", "$Arename: Input/output error\n$U"),
    updated("exchange_refused", "renameat2:1:EINVAL", "$A"),
    untouched("exchange_refused_rename", "renameat2:1:EINVAL,rename:1:EACCES",
              "$Arename: Permission denied\n$U"),
    untouched("link", "renameat2:1:EINVAL,link:1:EIO", "$Alink: Input/output error\n$U"),
    untouched("no_links_no_rename", "renameat2:1:EINVAL,link:1:EPERM,rename@hosts.old:1:EIO",
              "$Arename: Input/output error\n$U"),
    untouched("backup_is_directory", "", "rename: Is a directory\n$U").after(backup_is_directory),
    untouched("flock", "flock:1:EIO", "flock: Input/output error\n$U"),
    untouched("attribute_refused", "fsetxattr:1:EOPNOTSUPP", "$Afsetxattr: Operation not supported\n$U")
        .after(with_attribute),
    untouched("read", "read:1:EIO", "read: Input/output error\n$U"),
    untouched("fchmod", "fchmod:1:EPERM", "$Afchmod: Operation not permitted\n$U"),
    untouched("too_many_files", "openat:1:EMFILE", "open: Too many open files\n$U").leaving("hosts hosts.old "),
    // Every look finds the file changed: the run gives up, saying so.
    untouched("restart_bound", "fsync:*:run", "$A$H kept changing during the update\n$U")
        .running("touch \"$H\""),
    // Changed at each of the first five flushes of the copy: the sixth pass,
    // the fifth start over, goes through.
    updated("restart_bound_reached", "fsync@hosts??????:*:run", "$A")
        .running("n=$(cat \"$W/n\" 2>/dev/null || echo 0); [ $n -ge 5 ] || touch \"$H\"; "
                 "echo $((n + 1)) >\"$W/n\"; cat \"$W/n\" >\"$W/seen\"", "6\n"),
    written_back("in_place_write", "renameat2:1:EBUSY,ftruncate@hosts:1:EIO",
                 "$Aftruncate: Input/output error\nWrote the previous contents back to $H\n$U"),
    written_back("in_place_entry_mid_file", "renameat2:1:EBUSY,ftruncate@hosts:1:EIO",
                 "$Mftruncate: Input/output error\nWrote the previous contents back to $H\n$U")
        .starting_with(EARLIER.c_str()),
    untouched("in_place_no_room", "renameat2:1:EBUSY,fallocate:1:ENOSPC",
              "$Afallocate: No space left on device\n$U").rewritten_in_place(),
    damaged("in_place_write_back", "renameat2:1:EBUSY,pwrite@hosts:*:EIO,ftruncate@hosts:*:EIO",
            "$Awrite: Input/output error\nftruncate: Input/output error\n$U"
            "$H may be damaged; its previous contents are in $H.old\n"),
    updated("in_place", "renameat2:1:EBUSY", "$A").rewritten_in_place(),
    updated("no_locks", "flock:1:ENOLCK", "$A"),
    updated("no_links", "renameat2:1:EINVAL,link:1:EPERM", "$A"),
    updated("no_random_bytes", "getrandom:*:EAGAIN", "$A"),
    updated("directory_sync", "fsync@*/:1:EIO", "$Afsync: Input/output error\n"),
    updated("copy_private_while_written", "write:1:run", "$A")
        .after(open_to_all)
        .running("stat -c %a \"$H\"?????? >\"$W/seen\"", "600\n"),
    updated("inherited_acl", "", "$A").after(inheriting_acl),
    updated("owner_not_kept", "fchown:*:EPERM",
            "$ACould not keep the owner of $H: it is now 0:0, was 1234:5678; cleared permission bits 0040\n")
        .after(owned_by_others)
        .leaving_mode(0600),
    // Where no second link can be made, the backup is a copy, the run's own.
    updated("backup_owner_not_kept", "renameat2:1:EINVAL,link:1:EPERM,fchown:*:EPERM",
            "$ACould not keep the owner of $H: it is now 0:0, was 1234:5678; cleared permission bits 0040\n"
            "Could not keep the owner of $H.old: it is now 0:0, was 1234:5678; cleared permission bits 0040\n")
        .after(owned_by_others)
        .leaving_mode(0600)
        .leaving_backup_mode(0600),
    updated("directory_open", "", NOT_PRIVATE "its directory is not this user's alone\n$A")
        .after(directory_open_to_others)
        .leaving(".hosts.journal hosts hosts.old "),
    updated("directory_group_writable", "", NOT_PRIVATE "its directory is not this user's alone\n$A")
        .after(directory_open_to_group)
        .leaving(".hosts.journal hosts hosts.old "),
    updated("lock_file_a_link", "", NOT_PRIVATE "Too many levels of symbolic links\n$A").after(lock_file_a_link).leaving(JOURNAL_AND_LOCK),
    updated("lock_file_open", "", NOT_PRIVATE "not a private file of this user\n$A").after(lock_file_open).leaving(JOURNAL_AND_LOCK),
    updated("lock_file_linked", "", NOT_PRIVATE "not a private file of this user\n$A").after(lock_file_linked).leaving(JOURNAL_AND_LOCK),
};

class Faults : public Replacement, public ::testing::WithParamInterface<fault_case> {};

TEST_P(Faults, KeepTheFileWholeAndItsBackup) {
  const fault_case &c = GetParam();
  if (getuid() != 0 && (c.setup == owned_by_others || c.setup == lock_file_linked))
    GTEST_SKIP() << "needs root";
  const std::string start = c.start == nullptr ? ORIGINAL : c.start;
  std::ofstream(hosts) << start;
  if (c.setup != nullptr) c.setup(hosts);
  if (IsSkipped()) return;
  struct stat before, after, backup;
  ASSERT_EQ(stat(hosts.c_str(), &before), 0);
  const std::string acl = attributes(hosts);
  EXPECT_TRUE(exited_with(update(c.faults, nullptr, nullptr, c.run), c.result == UPDATE));
  EXPECT_EQ(err, shown(c.report));
  EXPECT_EQ(left(), c.left == nullptr ? ".hosts.lock hosts hosts.old " : c.left);
  if (c.result != DAMAGED) {
    EXPECT_EQ(slurp(work + "/etc/.hosts.lock"), "");
  }
  if (c.seen != nullptr) {
    EXPECT_EQ(slurp(work + "/seen"), c.seen);
  }
  ASSERT_EQ(stat(hosts.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, c.mode != 0 ? c.mode : before.st_mode & 07777);
  EXPECT_EQ(attributes(hosts), acl);
  if (c.in_place || c.result == UPDATE) {
    EXPECT_EQ(after.st_ino == before.st_ino, c.in_place);
  }
  if (c.result == UPDATE) {
    EXPECT_EQ(slurp(hosts), start == ORIGINAL ? UPDATED : start);
  } else if (c.result != DAMAGED) {
    EXPECT_EQ(slurp(hosts), start);
  }
  if (c.result == UNTOUCHED) {
    EXPECT_EQ(c.setup == backup_is_directory ? OLDER : slurp(hosts + ".old"), OLDER);
    return;
  }
  EXPECT_EQ(slurp(hosts + ".old"), start);
  ASSERT_EQ(stat((hosts + ".old").c_str(), &backup), 0);
  EXPECT_NE(backup.st_ino, after.st_ino);
  EXPECT_EQ(backup.st_mode & S_IFMT, S_IFREG);
  EXPECT_EQ(backup.st_mode & 07777, c.backup_mode != 0 ? c.backup_mode : before.st_mode & 07777);
}

INSTANTIATE_TEST_SUITE_P(Replace, Faults, ::testing::ValuesIn(FAULT_CASES), row_name<fault_case>);

// A missing file, or a directory in its place, fails and leaves nothing.
TEST_F(Replacement, FailuresLeaveEverythingAsItWas) {
  sh("rm '" + hosts + "' '" + hosts + ".old'");
  EXPECT_TRUE(exited_with(update(""), 0));
  EXPECT_EQ(left(), "");
  sh("mkdir '" + hosts + "' && echo backup >'" + hosts + ".old'");
  EXPECT_TRUE(exited_with(update(""), 0));
  EXPECT_EQ(left(), "hosts hosts.old ");
  EXPECT_EQ(slurp(hosts + ".old"), "backup\n");
}

TEST_F(Replacement, SignalWaitsForTheUpdate) {
  int status = update("fsync:1:sleep1", nullptr, [](pid_t pid) { kill(pid, SIGTERM); });
  EXPECT_TRUE(killed_by(status, SIGTERM));
  EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old") + left(),
            UPDATED + ORIGINAL + ".hosts.lock hosts hosts.old ");
}

// A signal that came during an update that then failed takes effect only
// once the failure and what it left have been said.
TEST_F(Replacement, FailureReportedBeforeTheSignal) {
  int status = update("fsync:1:sleep1,renameat2:1:EIO", nullptr, [](pid_t pid) { kill(pid, SIGTERM); });
  EXPECT_TRUE(killed_by(status, SIGTERM));
  EXPECT_EQ(err, shown("$Arename: Input/output error\n$U"));
  EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old") + left(), ORIGINAL + OLDER + ".hosts.lock hosts hosts.old ");
}

// A run killed at any step leaves in the lock file what the next run needs
// to finish its business: the names it made are removed, the previous file
// becomes the backup once the new one is in place, and a rewrite in place
// (here damaged after the kill) is undone from the backup, saying so.
struct kill_case {
  const char *name, *faults, *report;
  bool lock_itself = false;  // in a directory others may write
};

void PrintTo(const kill_case &c, std::ostream *out) { *out << c.name; }

const kill_case KILLS[] = {
    {"flushing_the_copy", "fsync:1:sleep5", "$A"},
    {"exchanging", "renameat2:1:sleep5", "$A"},
    {"making_the_backup", "rename@hosts.old:1:sleep5", "$M"},
    {"renaming", "renameat2:1:EINVAL,rename:1:sleep5", "$A"},
    {"renaming_without_links", "renameat2:1:EINVAL,link:1:EPERM,rename:1:sleep5", "$A"},
    {"renaming_the_backup", "renameat2:1:EINVAL,rename@hosts.old:1:sleep5", "$M"},
    {"rewriting_in_place", "renameat2:1:EBUSY,pwrite@hosts:1:sleep5",
     "Wrote the previous contents of $H back from $H.old: a run ended while it rewrote them\n$A"},
    {"flushing_the_copy_of_a_locked_file", "fsync:1:sleep5", "$A", true},
    {"exchanging_a_locked_file", "renameat2:1:sleep5", "$A", true},
    {"renaming_a_locked_file", "renameat2:1:EINVAL,rename:1:sleep5", "$A", true},
    {"rewriting_a_locked_file_in_place", "renameat2:1:EBUSY,pwrite@hosts:1:sleep5",
     "Wrote the previous contents of $H back from $H.old: a run ended while it rewrote them\n$A", true},
};

class KilledRunFinishedByTheNext : public Replacement, public ::testing::WithParamInterface<kill_case> {};

TEST_P(KilledRunFinishedByTheNext, NothingLeftAndTheBackupMade) {
  const kill_case &k = GetParam();
  std::ofstream(hosts) << ORIGINAL;
  if (k.lock_itself) directory_open_to_others(hosts);
  const std::string journal = work + (k.lock_itself ? "/etc/.hosts.journal" : "/etc/.hosts.lock");
  int status = update(k.faults, nullptr, [](pid_t pid) { kill(pid, SIGKILL); });
  EXPECT_TRUE(killed_by(status, SIGKILL));
  if (strstr(k.faults, "pwrite") != nullptr) {
    EXPECT_EQ(slurp(hosts + ".old"), ORIGINAL);
    std::ofstream(hosts, std::ios::app) << "half-written";
  }
  EXPECT_TRUE(exited_with(update(""), 1));
  EXPECT_EQ(err, shown((k.lock_itself ? NOT_PRIVATE "its directory is not this user's alone\n" : "") +
                       std::string(k.report)));
  EXPECT_EQ(slurp(hosts) + left(), UPDATED + journal.substr(journal.rfind('/') + 1) + " hosts hosts.old ");
  EXPECT_EQ(slurp(journal), "");
}

INSTANTIATE_TEST_SUITE_P(Replace, KilledRunFinishedByTheNext, ::testing::ValuesIn(KILLS), row_name<kill_case>);

// Where runs lock the file itself, the new copy is locked before it takes
// the file's name, until the run has made the backup: a run that waits for
// the lock then reads the new file, never one half put in place.
TEST_F(Replacement, NewCopyLockedWhereRunsLockTheFile) {
  directory_open_to_others(hosts);
  update("rename@hosts.old:1:sleep2", nullptr, [&](pid_t) {
    EXPECT_NE(system(("flock -n '" + hosts + "' true").c_str()), 0);
  });
  EXPECT_EQ(slurp(hosts), UPDATED);
}

// A run ahead that replaced the file while this one waited for the lock on
// it: this one reads the file that is there once it has the lock, and
// writes one copy, not a second after finding out at the commit.
TEST_F(Replacement, FileReplacedWhileWaitingForItsLock) {
  lock_wait = 60;
  for (const char *faults : {"openat@hosts??????:*:run", "renameat2:*:EINVAL,openat@hosts??????:*:run"}) {
    unlink((work + "/copies").c_str());
    std::ofstream(hosts) << ORIGINAL;
    unlink((work + "/err").c_str());
    directory_open_to_others(hosts);
    pid_t holder = fork();
    if (holder == 0) {
      execl("/bin/sh", "sh", "-c",
            "exec 3<\"$0\" && flock 3 && touch \"$0.held\" && "
            "until grep -q Waiting \"$1\" 2>/dev/null; do sleep 0.05; done && "
            "printf 'new\\n' >\"$0.n\" && mv \"$0.n\" \"$0\"",
            hosts.c_str(), (work + "/err").c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    while (access((hosts + ".held").c_str(), F_OK) != 0) usleep(10000);
    unlink((hosts + ".held").c_str());
    update(faults, nullptr, nullptr, "echo >>\"$W/copies\"");
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(slurp(work + "/copies"), "\n") << faults;
    EXPECT_EQ(err, shown(NOT_PRIVATE "its directory is not this user's alone\nWaiting for the lock on $H\n$A"))
        << faults;
    EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old"), "new\n" + ENTRY + "new\n") << faults;
  }
}

// A run that went on without the lock on the file, held by another, may
// only exchange names, which it checks after the fact: a rename it cannot
// check is not made.
TEST_F(Replacement, WithoutTheLockOnlyAnExchange) {
  directory_open_to_others(hosts);
  pid_t holder = fork();
  if (holder == 0) {
    execl("/bin/sh", "sh", "-c", "exec 3<\"$0\" && flock 3 && touch \"$0.held\" && exec sleep 60",
          hosts.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  while (access((hosts + ".held").c_str(), F_OK) != 0) usleep(10000);
  unlink((hosts + ".held").c_str());
  int status = update("renameat2:*:EINVAL");
  kill(holder, SIGTERM);
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(exited_with(status, 0));
  EXPECT_EQ(err, shown(NOT_PRIVATE "its directory is not this user's alone\nWaiting for the lock on $H\n"
                                   "Going on without the lock on $H\n$AGave up waiting for the lock on $H\n$U"));
  EXPECT_EQ(slurp(hosts), ORIGINAL);
  EXPECT_EQ(left(), "hosts hosts.old ");
}

// The wait for a turn counts its minute from the last change of holder, so
// that a long queue is no reason to give up, then names the holder. The
// clock runs ten times as fast: a minute in six seconds.
TEST_F(Replacement, TurnGivenUpAMinuteAfterItLastChangedHands) {
  int fd = open((work + "/etc/.hosts.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_NE(fd, -1);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  auto hand_on = [fd](unsigned holder) {
    char entry[79];
    snprintf(entry, sizeof entry, "%-7s ------ %20u %20llu %20u\n", "holder", holder,
             static_cast<unsigned long long>(time(nullptr)), 0u);
    EXPECT_EQ(pwrite(fd, entry, 78, 0), 78);
  };
  hand_on(1000);
  int status = update(
      "flock@.hosts.lock:1:sleep0", [] { setenv("UNITFIND_CLOCK_SPEED", "10", 1); },
      [&](pid_t pid) {
        // Eighty seconds of the run's clock, the lock handed on every ten.
        for (unsigned holder = 1001; holder <= 1008; ++holder) {
          sleep(1);
          hand_on(holder);
        }
        siginfo_t ended = {};
        EXPECT_EQ(waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT), 0);
        EXPECT_EQ(ended.si_pid, 0) << "gave up while the lock changed hands";
      });
  close(fd);
  EXPECT_TRUE(exited_with(status, 0));
  size_t held = err.find(" seconds\n");
  ASSERT_NE(held, std::string::npos) << err;
  size_t digits = err.find_last_not_of("0123456789", held - 1) + 1;
  EXPECT_EQ(err.substr(0, digits) + err.substr(held),
            shown("Waiting for the lock on $H\nGave up waiting for the lock on $H\n"
                  "Process 1008 has held it for  seconds\n$U"));
  // Six seconds here, less the clock's granularity.
  EXPECT_GE(atoi(err.c_str() + digits), 5);
}

// A half-rewritten file whose backup was replaced since cannot be put back,
// and gets no new backup either: runs leave it alone until it is seen to.
TEST_F(Replacement, KilledInPlaceBackupGone) {
  update("renameat2:1:EBUSY,pwrite@hosts:1:sleep5", nullptr, [](pid_t pid) { kill(pid, SIGKILL); });
  std::ofstream(hosts + ".new") << OLDER;
  ASSERT_EQ(rename((hosts + ".new").c_str(), (hosts + ".old").c_str()), 0);
  for (int run = 0; run < 2; ++run) {
    EXPECT_TRUE(exited_with(update(""), 0));
    EXPECT_EQ(err, shown("$H may be damaged: a run ended while it rewrote it, and its backup is gone\n$U"));
    EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old"), ORIGINAL + OLDER);
  }
  EXPECT_EQ(left(), ".hosts.lock hosts hosts.old ");
}

// A name the dead run made and someone replaced since is not the run's to
// remove.
TEST_F(Replacement, KilledRunsNamesReplacedMeanwhile) {
  update("fsync:1:sleep5", nullptr, [](pid_t pid) { kill(pid, SIGKILL); });
  sh("cd '" + work + "/etc' && for f in hosts??????; do rm \"$f\" && echo mine >\"$f\" && echo \"$f\"; done >../replaced");
  const std::string replaced = slurp(work + "/replaced");
  ASSERT_EQ(replaced.size(), 12u);
  EXPECT_TRUE(exited_with(update(""), 1));
  EXPECT_EQ(slurp(work + "/etc/" + replaced.substr(0, 11)), "mine\n");
  EXPECT_EQ(slurp(hosts), UPDATED);
}

// Up to the one call that swaps it, exchanging or renaming, the file is whole.
TEST_F(Replacement, FileThereUpToTheSwap) {
  for (const char *faults : {"renameat2:1:sleep2", "renameat2:1:EINVAL,link:1:EPERM,rename:1:sleep2"}) {
    std::ofstream(hosts) << ORIGINAL;
    update(faults, nullptr, [&](pid_t) { EXPECT_EQ(slurp(hosts), ORIGINAL) << faults; });
    EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old") + left(),
              UPDATED + ORIGINAL + ".hosts.lock hosts hosts.old ") << faults;
  }
}

// The directory swapped for a link elsewhere: the file found is updated.
TEST_F(Replacement, DirectoryReplacedMeanwhile) {
  ASSERT_EQ(mkdir((work + "/other").c_str(), 0755), 0);
  std::ofstream(work + "/other/hosts") << OLDER;
  update("fsync:1:sleep2", nullptr, [&](pid_t) {
    EXPECT_EQ(system(("cd '" + work + "' && mv etc moved && ln -s other etc").c_str()), 0);
  });
  EXPECT_EQ(slurp(work + "/moved/hosts") + slurp(work + "/etc/hosts") + left(), UPDATED + OLDER + "hosts ");
}

// The file replaced meanwhile, or edited, or made more private: the run
// starts over, keeping what was done, and announces its entry once.
struct change_case {
  const char *name, *faults, *change, *after;
  mode_t mode;
};

void PrintTo(const change_case &c, std::ostream *out) { *out << c.name; }

const change_case CHANGES[] = {
    {"replaced", "fsync:1:run", "printf 'new\\n' >\"$H.new\" && chmod 0604 \"$H.new\" && mv \"$H.new\" \"$H\"",
     "new\n", 0604},
    {"appended", "fsync:1:run", "echo added >>\"$H\"", "127.0.0.1\tlocalhost\n# keep this comment\nadded\n", 0640},
    {"made_private", "fsync:1:run", "chmod 0600 \"$H\"", "127.0.0.1\tlocalhost\n# keep this comment\n", 0600},
    // Right before the exchange, after every look: found in what it took out.
    {"appended_before_the_exchange", "renameat2:1:run", "echo added >>\"$H\"", "127.0.0.1\tlocalhost\n# keep this comment\nadded\n",
     0640},
    {"replaced_before_the_exchange", "renameat2:1:run", "printf 'new\\n' >\"$H.new\" && mv \"$H.new\" \"$H\"", "new\n", 0644},
    // The same size, mode and owner: only the times tell.
    {"same_size_while_written", "write:1:run", "printf 8 | dd of=\"$H\" conv=notrunc status=none",
     "827.0.0.1\tlocalhost\n# keep this comment\n", 0640},
    {"same_size_before_the_exchange", "renameat2:1:run", "printf 8 | dd of=\"$H\" conv=notrunc status=none",
     "827.0.0.1\tlocalhost\n# keep this comment\n", 0640},
    // Where names cannot be exchanged, the check before the commit is the
    // one that sees it.
    {"same_size_without_exchange", "renameat2:*:EINVAL,write:1:run", "printf 8 | dd of=\"$H\" conv=notrunc status=none",
     "827.0.0.1\tlocalhost\n# keep this comment\n", 0640},
    // In place, right before the reservation: the first look there sees it.
    {"appended_in_place", "renameat2:1:EBUSY,openat@hosts:3:run", "echo added >>\"$H\"",
     "127.0.0.1\tlocalhost\n# keep this comment\nadded\n", 0640},
};

class FileChangedMeanwhile : public Replacement, public ::testing::WithParamInterface<change_case> {};

TEST_P(FileChangedMeanwhile, StartsOverKeepingTheChange) {
  const change_case &c = GetParam();
  std::ofstream(hosts) << ORIGINAL;
  chmod(hosts.c_str(), 0640);
  update(c.faults, nullptr, nullptr, c.change);
  struct stat st;
  ASSERT_EQ(stat(hosts.c_str(), &st), 0);
  EXPECT_EQ(err, shown("$A"));
  EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old") + left(),
            c.after + ENTRY + c.after + ".hosts.lock hosts hosts.old ");
  EXPECT_EQ(st.st_mode & 07777, c.mode);
}

INSTANTIATE_TEST_SUITE_P(Replace, FileChangedMeanwhile, ::testing::ValuesIn(CHANGES), row_name<change_case>);

// Links are followed as the kernel follows them, up to 40, but a step from
// what one user other than root owns to what another owns is refused before
// anything is made: root follows no link that another user planted.
struct link_case {
  const char *name, *setup, *report;  // `report`: all of standard error
};

void PrintTo(const link_case &c, std::ostream *out) { *out << c.name; }

#define REFUSED "Refusing $H: its path steps from what user 1234 owns to what user 0 owns\n$U"
#define FORTY_LINKS \
  "mv etc/hosts etc/h40 && for i in $(seq 39 -1 1); do ln -s h$((i + 1)) etc/h$i; done && " \
  "ln -s h1 etc/hosts && mv etc/hosts.old etc/h40.old"

const link_case LINKS[] = {
    {"to_what_root_owns", "chown 1234 etc && mv etc/hosts secret && ln -s ../secret etc/hosts", REFUSED},
    {"a_users_link", "chown 1234 etc && mv etc/hosts secret && ln -s ../secret etc/hosts && chown -h 1234 etc/hosts",
     REFUSED},
    {"a_users_absolute_link",
     "chown 1234 etc && mv etc/hosts secret && ln -s \"$PWD/secret\" etc/hosts && chown -h 1234 etc/hosts", REFUSED},
    // Where another user may write, root locks the file itself.
    {"a_users_directory", "chown 1234 etc etc/hosts etc/hosts.old",
     NOT_PRIVATE "its directory is not this user's alone\n$A"},
    {"a_users_link_to_the_users_file",
     "mkdir etc/real && mv etc/hosts etc/real/ && ln -s real/hosts etc/hosts && chown -hR 1234 etc",
     NOT_PRIVATE "its directory is not this user's alone\n$A"},
    {"roots_link", "mkdir real && mv etc/hosts real/ && ln -s ../real/hosts etc/hosts", "$A"},
    // Forty links in a row, as many as the kernel follows, and one more.
    {"forty_links", FORTY_LINKS, "$A"},
    {"forty_one_links", FORTY_LINKS " && rm etc/hosts && ln -s h1 etc/h0 && ln -s h0 etc/hosts",
     "fopen: Too many levels of symbolic links\n$U"},
};

class LinksOfOtherUsers : public Replacement, public ::testing::WithParamInterface<link_case> {};

TEST_P(LinksOfOtherUsers, FollowedUnlessAnotherUserPlantedThem) {
  if (getuid() != 0) GTEST_SKIP() << "needs root";
  const link_case &c = GetParam();
  sh("cd '" + work + "' && rm -rf etc && mkdir etc && printf '" + ORIGINAL + "' >etc/hosts && printf '" +
     OLDER + "' >etc/hosts.old && " + c.setup);
  const std::string before = left();
  const bool updated = strstr(c.report, "$U") == nullptr;
  EXPECT_TRUE(exited_with(update(""), updated));
  EXPECT_EQ(err, shown(c.report));
  if (updated) {
    EXPECT_EQ(slurp(hosts), UPDATED);
  } else if (strncmp(c.report, "Refusing", 8) == 0) {
    EXPECT_EQ(left(), before);
    EXPECT_EQ(slurp(hosts), ORIGINAL);
  }
}

INSTANTIATE_TEST_SUITE_P(Replace, LinksOfOtherUsers, ::testing::ValuesIn(LINKS), row_name<link_case>);

// Renamed between its opening and the look at its directory: the file the
// path then leads to is updated.
TEST_F(Replacement, FileRenamedBeforeItsDirectoryIsFound) {
  update("openat:1:run", nullptr, nullptr, "mv \"$H\" \"$H.moved\" && printf 'new\\n' >\"$H\"");
  EXPECT_EQ(err, shown("$A"));
  EXPECT_EQ(slurp(hosts) + slurp(hosts + ".moved"), "new\n" + ENTRY + ORIGINAL);
}

TEST_F(Replacement, SizeLimitFailsTheWrite) {
  std::ofstream(hosts, std::ios::app) << std::string(1100, '#');
  int status = update("", [] {
    const rlimit limit = {1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
  });
  EXPECT_TRUE(exited_with(status, 0));
  EXPECT_EQ(err, shown("write: File too large\n$U"));
  EXPECT_EQ(slurp(hosts) + left(), ORIGINAL + std::string(1100, '#') + ".hosts.lock hosts hosts.old ");
}

// The signals stay held until the caller has said what happened, and are
// then as they were, the actions of SIGXFSZ and SIGPIPE too: the new copy's
// openat fails once they are held.
TEST_F(Replacement, FailureHoldsSignalsUntilForgotten) {
  int status = update("openat@hosts??????:1:EIO", [&] {
    sigset_t mask, held, now;
    sigemptyset(&mask);
    sigaddset(&mask, SIGUSR1);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    replacement_remains remains;
    empeg_info unit = {"Living room", 30100123, {10, 77, 0, 11}};
    int failed = !update_hosts_file(hosts.c_str(), &unit, "player.lan", 1, &remains);
    sigprocmask(SIG_SETMASK, nullptr, &held);
    forget_remains(&remains);
    sigprocmask(SIG_SETMASK, nullptr, &now);
    struct sigaction xfsz, pipe;
    sigaction(SIGXFSZ, nullptr, &xfsz);
    sigaction(SIGPIPE, nullptr, &pipe);
    int kept = sigismember(&now, SIGUSR1) == 1;
    sigdelset(&now, SIGUSR1);
    _exit(failed && sigismember(&held, SIGTERM) == 1 && kept && sigisemptyset(&now) &&
                  xfsz.sa_handler == SIG_DFL && pipe.sa_handler == SIG_DFL ? 7 : 1);
  });
  EXPECT_TRUE(exited_with(status, 7));
  EXPECT_EQ(err, "mkstemp: Input/output error\n");
  EXPECT_EQ(left(), ".hosts.lock hosts hosts.old ");
}

}  // namespace
