// SPDX-License-Identifier: MIT
// What the file tests share: a scratch directory of each test's own, a
// file's contents, and a child's wait status read as one failure.
#ifndef UNITFIND_TESTS_SCRATCH_H_
#define UNITFIND_TESTS_SCRATCH_H_

#include <signal.h>
#include <stdlib.h>
#include <dirent.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

// A directory under $TMPDIR (else /tmp) for one test, removed with all it
// holds afterwards.
class ScratchDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *tmp = getenv("TMPDIR");
    work = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/unitfindXXXXXX";
    ASSERT_NE(mkdtemp(&work[0]), nullptr);
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf '" + work + "'").c_str()), 0); }
  std::string work;
};

inline std::string slurp(const std::string &path) {
  std::ostringstream data;
  data << std::ifstream(path).rdbuf();
  return data.str();
}

// The names in `dir`, sorted, each followed by a space, as `ls -A` lists them.
inline std::string names_in(const std::string &dir) {
  std::set<std::string> found;
  if (DIR *d = opendir(dir.c_str())) {
    while (const dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) found.insert(e->d_name);
    closedir(d);
  }
  std::string names;
  for (const std::string &name : found) names += name + " ";
  return names;
}

// What a wait status says, as a person would put it.
inline std::string ended(int status) {
  if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

inline ::testing::AssertionResult exited_with(int status, int code) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == code) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << ended(status) << ", not with " << code;
}

inline ::testing::AssertionResult killed_by(int status, int signal) {
  if (WIFSIGNALED(status) && WTERMSIG(status) == signal) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << ended(status) << ", not by " << strsignal(signal);
}

#endif  // UNITFIND_TESTS_SCRATCH_H_
