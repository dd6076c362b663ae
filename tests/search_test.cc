// SPDX-License-Identifier: MIT
#include "search.h"

#include "gtest/gtest.h"

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

}  // namespace
