// SPDX-License-Identifier: MIT
// What the unit tests share: the names of a parameterised test's rows, and
// what a function writes to a stream.
#ifndef UNITFIND_TESTS_SHARED_H_
#define UNITFIND_TESTS_SHARED_H_

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "gtest/gtest.h"

// A row is a record whose `name` names it, so that one row can run alone.
template <typename row> std::string row_name(const ::testing::TestParamInfo<row> &info) {
  return info.param.name;
}

// All that `write` writes to the stream it is given.
template <typename writer> std::string written(writer write) {
  char *text = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&text, &size);
  write(stream);
  fclose(stream);
  std::string out(text, size);
  free(text);
  return out;
}

#endif  // UNITFIND_TESTS_SHARED_H_
