// SPDX-License-Identifier: MIT
// The file replacement with chosen calls failing: CTest preloads the fault
// library, and each case updates a file in a child process of its own.
#include "replace_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "hosts_file.h"

namespace {

const std::string ORIGINAL = "127.0.0.1\tlocalhost\n# keep this comment\n", OLDER = "older\n";
const std::string ENTRY =
    "\n10.77.0.11 player.lan # Empeg: Serial=30100123 Name=Living room [EMPEG-30100123-EMPEG]\n";
const std::string UPDATED = ORIGINAL + ENTRY;

std::string slurp(const std::string &path) {
  std::ostringstream data;
  data << std::ifstream(path).rdbuf();
  return data.str();
}

// A hosts file and an older backup alone in a directory; the child's
// standard error and the fault library's stall notice go beside it.
class Replacement : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *preload = getenv("LD_PRELOAD");
    ASSERT_TRUE(preload != nullptr && strstr(preload, "fault_inject") != nullptr)
        << "run with the fault library preloaded, as ctest does";
    const char *tmp = getenv("TMPDIR");
    work = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/replaceXXXXXX";
    ASSERT_NE(mkdtemp(&work[0]), nullptr);
    hosts = work + "/etc/hosts";
    ASSERT_EQ(mkdir((work + "/etc").c_str(), 0755), 0);
    std::ofstream(hosts) << ORIGINAL;
    std::ofstream(hosts + ".old") << OLDER;
    chmod(hosts.c_str(), 0640);
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf '" + work + "'").c_str()), 0); }

  // Runs update_hosts_file in a child with UNITFIND_FAULTS set to `faults`,
  // after `before` there, keeping its standard error in `err`; once the fault
  // library stalls a call, calls `meanwhile`. Returns the wait status.
  int update(const char *faults, const std::function<void()> &before = nullptr,
             const std::function<void(pid_t)> &meanwhile = nullptr) {
    std::string stalled = work + "/stalled";
    pid_t pid = fork();
    if (pid == 0) {
      dup2(open((work + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      setenv("UNITFIND_FAULTS", faults, 1);
      setenv("UNITFIND_STALLED", stalled.c_str(), 1);
      if (before) before();
      empeg_info unit = {"Living room", 30100123, {10, 77, 0, 11}};
      _exit(update_hosts_file(hosts.c_str(), &unit, "player.lan", 1));
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

  // What `text` says with $H standing for the hosts file and $A for the line
  // that announces the entry.
  std::string shown(std::string text) const {
    for (size_t at; (at = text.find("$A")) != std::string::npos;)
      text.replace(at, 2, "Appending entry for player.lan to $H\n");
    for (size_t at; (at = text.find("$H")) != std::string::npos;) text.replace(at, 2, hosts);
    return text;
  }

  std::string left() const {
    std::string list = work + "/left";
    EXPECT_EQ(system(("ls -A '" + work + "/etc' | tr '\\n' ' ' >'" + list + "'").c_str()), 0);
    return slurp(list);
  }

  std::string work, hosts, err;
};

enum outcome { UNTOUCHED, UPDATE, KEPT_AS_BACKUP };

struct fault_case {
  const char *name, *faults, *report;  // the report is all of standard error
  outcome result;  // KEPT_AS_BACKUP: failed, the previous contents now the backup
  bool in_place;   // rewritten in place, the backup a copy
  void (*setup)(const std::string &hosts);
};

void PrintTo(const fault_case &c, std::ostream *out) { *out << c.name; }

void backup_is_directory(const std::string &hosts) {
  ASSERT_EQ(unlink((hosts + ".old").c_str()) | mkdir((hosts + ".old").c_str(), 0755), 0);
}

// An ACL is an extended attribute that every file system here keeps.
void with_attribute(const std::string &hosts) {
  if (system(("setfacl -m u:nobody:r '" + hosts + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no setfacl, or no ACLs here";
}

// EBUSY from the swap makes the update go in place, as for a mounted file.
const fault_case FAULT_CASES[] = {
    {"fsync", "fsync:1:5", "$Afsync: Input/output error\n", UNTOUCHED, false, nullptr},
    {"rename", "rename:1:13", "$Arename: Permission denied\n", UNTOUCHED, false, nullptr},
    {"link", "link:1:5", "$Alink: Input/output error\n", UNTOUCHED, false, nullptr},
    {"no_links_no_rename", "link:1:1,rename:2:5", "$Arename: Input/output error\n", UNTOUCHED, false, nullptr},
    {"backup_is_directory", "", "rename: Is a directory\n", UNTOUCHED, false, backup_is_directory},
    {"flock", "flock:1:5", "flock: Input/output error\n", UNTOUCHED, false, nullptr},
    {"attribute_refused", "fsetxattr:1:95", "$Afsetxattr: Operation not supported\n", UNTOUCHED, false,
     with_attribute},
    {"in_place_write", "rename:1:16,ftruncate:1:5",
     "$Aftruncate: Input/output error\nWrote the previous contents back to $H\n", UNTOUCHED, true, nullptr},
    {"in_place_no_room", "rename:1:16,posix_fallocate:1:28", "$Aposix_fallocate: No space left on device\n",
     UNTOUCHED, true, nullptr},
    {"in_place_write_back", "rename:1:16,ftruncate:1:5,ftruncate:2:5",
     "$Aftruncate: Input/output error\nftruncate: Input/output error\n"
     "The previous contents of $H are in $H.old\n", KEPT_AS_BACKUP, true, nullptr},
    {"in_place", "rename:1:16", "$A", UPDATE, true, nullptr},
    {"no_locks", "flock:1:37", "$A", UPDATE, false, nullptr},
    {"no_links", "link:1:1", "$A", UPDATE, false, nullptr},
};

class Faults : public Replacement, public ::testing::WithParamInterface<fault_case> {};

TEST_P(Faults, KeepTheFileWholeAndItsBackup) {
  const fault_case &c = GetParam();
  if (c.setup != nullptr) c.setup(hosts);
  if (IsSkipped()) return;
  struct stat before, after, backup;
  ASSERT_EQ(stat(hosts.c_str(), &before), 0);
  int status = update(c.faults);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (c.result == UPDATE)) << status;
  EXPECT_EQ(err, shown(c.report));
  EXPECT_EQ(left(), "hosts hosts.old ");
  ASSERT_EQ(stat(hosts.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  if (c.in_place || c.result == UPDATE) {
    EXPECT_EQ(after.st_ino == before.st_ino, c.in_place);
  }
  if (c.result != KEPT_AS_BACKUP) {
    EXPECT_EQ(slurp(hosts), c.result == UPDATE ? UPDATED : ORIGINAL);
  }
  if (c.result == UNTOUCHED) {
    EXPECT_EQ(c.setup == backup_is_directory ? OLDER : slurp(hosts + ".old"), OLDER);
    return;
  }
  EXPECT_EQ(slurp(hosts + ".old"), ORIGINAL);
  ASSERT_EQ(stat((hosts + ".old").c_str(), &backup), 0);
  EXPECT_NE(backup.st_ino, after.st_ino);
  EXPECT_EQ(backup.st_mode, before.st_mode);
}

INSTANTIATE_TEST_SUITE_P(Replace, Faults, ::testing::ValuesIn(FAULT_CASES),
                         [](const ::testing::TestParamInfo<fault_case> &info) { return info.param.name; });

TEST_F(Replacement, SignalWaitsForTheUpdate) {
  int status = update("fsync:1:sleep1", nullptr, [](pid_t pid) { kill(pid, SIGTERM); });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old") + left(), UPDATED + ORIGINAL + "hosts hosts.old ");
}

TEST_F(Replacement, NoLinksKeepTheFileThereDuringTheSwap) {
  update("link:1:1,rename:1:sleep2", nullptr, [&](pid_t) { EXPECT_EQ(slurp(hosts), ORIGINAL); });
  EXPECT_EQ(slurp(hosts), UPDATED);
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

// The file replaced meanwhile: the run starts over, keeping the new lines.
TEST_F(Replacement, FileReplacedMeanwhile) {
  update("fsync:1:sleep2", nullptr, [&](pid_t) {
    std::ofstream(hosts + ".new") << "new\n";
    EXPECT_EQ(rename((hosts + ".new").c_str(), hosts.c_str()), 0);
  });
  EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old") + left(), "new\n" + ENTRY + "new\nhosts hosts.old ");
}

TEST_F(Replacement, SizeLimitFailsTheWrite) {
  std::ofstream(hosts, std::ios::app) << std::string(1100, '#');
  int status = update("", [] {
    const rlimit limit = {1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(err, "write: File too large\n");
  EXPECT_EQ(slurp(hosts) + left(), ORIGINAL + std::string(1100, '#') + "hosts hosts.old ");
}

// Failing once the signals are held off, begin_replacement puts back the
// caller's mask and SIGXFSZ action: the second flock, the new copy's, fails.
TEST_F(Replacement, FailedBeginRestoresSignals) {
  int status = update("flock:2:5", [&] {
    sigset_t mask, now;
    sigemptyset(&mask);
    sigaddset(&mask, SIGUSR1);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    struct sigaction xfsz;
    replacement r;
    int failed = !begin_replacement(&r, hosts.c_str(), 1);
    sigprocmask(SIG_SETMASK, nullptr, &now);
    sigaction(SIGXFSZ, nullptr, &xfsz);
    int kept = sigismember(&now, SIGUSR1) == 1;
    sigdelset(&now, SIGUSR1);
    _exit(failed && kept && sigisemptyset(&now) && xfsz.sa_handler == SIG_DFL ? 7 : 1);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
  EXPECT_EQ(err, "flock: Input/output error\n");
  EXPECT_EQ(left(), "hosts hosts.old ");
}

}  // namespace
