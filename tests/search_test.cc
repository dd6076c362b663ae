// SPDX-License-Identifier: MIT
#include "search.h"

#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "scratch.h"

namespace {

TEST(RememberUnit, EachSenderAndSerialOnceAndNoMoreThanTheRecordHolds) {
  unit_record heard = {};
  for (uint32_t n = 1; n <= UNITS_MAX; ++n) {
    // Units behind one address (a router, a proxy) are told apart by serial.
    uint32_t address = n % 2 == 0 ? 7 : n;
    EXPECT_TRUE(remember_unit(&heard, address, static_cast<int32_t>(n))) << n;
    EXPECT_FALSE(remember_unit(&heard, address, static_cast<int32_t>(n))) << n;
  }
  EXPECT_FALSE(remember_unit(&heard, UNITS_MAX + 1, 1));
  EXPECT_FALSE(remember_unit(&heard, 1, 1));
}

// Records unit 30100123, called `name`, as player.lan in `hosts` as the tool
// does, in this process. Returns the update's result, with all it said in
// `err`. The file replacement's own cases, with its calls failing, are in
// replace_file_test.cc.
int record(const std::string &hosts, const char *name, std::string *err) {
  empeg_info unit = {{}, 30100123, {10, 77, 0, 11}};
  snprintf(unit.name, sizeof unit.name, "%s", name);
  replacement_remains remains = {};
  testing::internal::CaptureStderr();
  int ok = update_hosts_file(hosts.c_str(), &unit, "player.lan", 1, &remains);
  tell_remains(&remains);
  forget_remains(&remains);
  *err = testing::internal::GetCapturedStderr();
  return ok;
}

class UpdateHostsFile : public ScratchDirectory {};

// The first run appends the entry, the previous file (by its inode) its
// backup, with the file's mode and owner; the second replaces its own line.
TEST_F(UpdateHostsFile, SwapsInTheNewFileAndKeepsTheOldOne) {
  const std::string etc = work + "/etc", hosts = etc + "/hosts";
  const std::string original = "127.0.0.1\tlocalhost\n# keep this comment\n";
  const std::string updated =
      original + "\n10.77.0.11 player.lan # Empeg: Serial=30100123 Name=Living room [EMPEG-30100123-EMPEG]\n";
  ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
  std::ofstream(hosts) << original;
  std::ofstream(hosts + ".old") << "older\n";
  chmod(hosts.c_str(), 0640);
  struct stat before, now, backup;
  ASSERT_EQ(stat(hosts.c_str(), &before), 0);
  std::string err;
  EXPECT_EQ(record(hosts, "Living room", &err), 1);
  EXPECT_EQ(err, "Appending entry for player.lan to " + hosts + "\n");
  EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old") + names_in(etc), updated + original + ".hosts.lock hosts hosts.old ");
  ASSERT_EQ(stat(hosts.c_str(), &now) | stat((hosts + ".old").c_str(), &backup), 0);
  EXPECT_EQ(now.st_mode & 07777, 0640u);
  EXPECT_EQ(now.st_uid, before.st_uid);
  EXPECT_EQ(backup.st_ino, before.st_ino);
  EXPECT_EQ(record(hosts, "Moved", &err), 1);
  EXPECT_EQ(err, "Modifying entry for player.lan in " + hosts + "\n");
  EXPECT_EQ(slurp(hosts) + slurp(hosts + ".old"),
            original + "\n10.77.0.11 player.lan # Empeg: Serial=30100123 Name=Moved [EMPEG-30100123-EMPEG]\n" +
                updated);
}

}  // namespace
