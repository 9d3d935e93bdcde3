// Wall clock, and a steady clock for ages.
#pragma once
#include <cstdint>

namespace tarnix {

// Nanoseconds since 1970-01-01 00:00 UTC (signed, wide enough for any date).
__int128 wall_clock_ns();
// Whole seconds since 1970-01-01 00:00 UTC.
int64_t wall_clock_seconds();
// Nanoseconds on a clock that never goes back (not the wall clock: setting
// the date must not expire or revive idle connections).
uint64_t steady_clock_ns();

}  // namespace tarnix
