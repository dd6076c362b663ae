// SPDX-License-Identifier: MIT
#include "file_io.h"

#include <sys/mman.h>
#include <unistd.h>

#include "gtest/gtest.h"

namespace {

// The copy goes over the start of the target, the tail kept, and neither
// descriptor's offset moves.
TEST(CopyContents, OverTheTargetKeepingOffsetsAndTheTail) {
  int from = memfd_create("from", 0), to = memfd_create("to", 0);
  ASSERT_EQ(write_all(from, "new text", 8) + write_all(to, "old text and more", 17), 2);
  ASSERT_EQ(lseek(from, 3, SEEK_SET), 3);
  EXPECT_EQ(copy_contents(from, to), 1);
  char data[18] = {};
  EXPECT_EQ(pread(to, data, 17, 0), 17);
  EXPECT_STREQ(data, "new text and more");
  EXPECT_EQ(lseek(from, 0, SEEK_CUR) + lseek(to, 0, SEEK_CUR), 3 + 17);
  close(from);
  close(to);
}

TEST(FileIo, FailuresAreReportedAsTheCallThatFailed) {
  char byte = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_all(-1, "x", 1), 0);
  EXPECT_EQ(read_some(-1, &byte, 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "write: Bad file descriptor\nread: Bad file descriptor\n");
}

}  // namespace
