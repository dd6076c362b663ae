// SPDX-License-Identifier: MIT
// What the tables share: a parameterised test's rows are records whose
// `name` names each row, so that one row can be run alone.
#ifndef UNITFIND_TESTS_ROWS_H_
#define UNITFIND_TESTS_ROWS_H_

#include <string>

#include "gtest/gtest.h"

template <typename row> std::string row_name(const ::testing::TestParamInfo<row> &info) {
  return info.param.name;
}

#endif  // UNITFIND_TESTS_ROWS_H_
