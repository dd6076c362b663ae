// SPDX-License-Identifier: MIT
#include "interfaces.h"

#include <errno.h>

#include "gtest/gtest.h"

namespace {

int read_nothing(void *, host_address **, size_t *) {
  errno = EACCES;
  return 0;
}

// A failed read leaves the list empty, counts as a read and is said once.
TEST(CurrentInterfaces, FailedReadReportedOnce) {
  interface_list list = {};
  list.read = read_nothing;
  testing::internal::CaptureStderr();
  EXPECT_EQ(current_interfaces(&list, 0), 0);
  EXPECT_EQ(current_interfaces(&list, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "getifaddrs: Permission denied\n");
  EXPECT_EQ(list.addresses, nullptr);
  EXPECT_EQ(list.generation, 2u);
}

}  // namespace
