// SPDX-License-Identifier: MIT
// Deadlines on the monotonic clock, which a change of the system time does
// not move: the reply wait and the lock wait both end at one.
#ifndef UNITFIND_DEADLINE_H_
#define UNITFIND_DEADLINE_H_

#include <stdint.h>
#include <time.h>

/// The moment `seconds` from now; for 0 or a negative `seconds` (a negative
/// -t) one that has already passed. Where time_t has 32 bits a long wait
/// would wrap into the past, so the deadline stops at the latest time there
/// is instead.
timespec deadline_after(int32_t seconds);

/// Milliseconds until `deadline`, rounded up so that a wait never ends before
/// it; 0 once it has passed.
int64_t milliseconds_until(const timespec &deadline);

/// Milliseconds on the monotonic clock, for measuring how old something is.
int64_t monotonic_ms();

#endif  // UNITFIND_DEADLINE_H_
