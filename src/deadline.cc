// SPDX-License-Identifier: MIT
#include "deadline.h"

timespec deadline_after(int32_t seconds) {
  timespec deadline = {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const int64_t latest = sizeof(time_t) < sizeof(int64_t) ? INT32_MAX : INT64_MAX;
  const int64_t now = deadline.tv_sec;
  deadline.tv_sec = static_cast<time_t>(seconds > latest - now ? latest : now + seconds);
  return deadline;
}

int64_t milliseconds_until(const timespec &deadline) {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t nanoseconds = (static_cast<int64_t>(deadline.tv_sec) - now.tv_sec) * 1000000000 +
                        (deadline.tv_nsec - now.tv_nsec);
  return nanoseconds <= 0 ? 0 : (nanoseconds + 999999) / 1000000;
}

int64_t monotonic_ms() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
