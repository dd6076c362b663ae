// SPDX-License-Identifier: MIT
#include "deadline.h"

#include "gtest/gtest.h"

namespace {

TEST(Deadline, NoneBeforeItsTimeAndNegativeOnesAlreadyPassed) {
  const int64_t left_ms = milliseconds_until(deadline_after(2));
  EXPECT_GT(left_ms, 0);
  EXPECT_LE(left_ms, 2000);
  EXPECT_EQ(milliseconds_until(deadline_after(0)), 0);
  EXPECT_EQ(milliseconds_until(deadline_after(-1)), 0);
  EXPECT_EQ(milliseconds_until(deadline_after(INT32_MIN)), 0);
  // The longest -t does not wrap into the past, whatever time_t holds.
  EXPECT_GT(milliseconds_until(deadline_after(INT32_MAX)), int64_t{INT32_MAX} * 1000 / 2);
}

}  // namespace
