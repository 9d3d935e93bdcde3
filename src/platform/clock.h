// Wall clock.
#pragma once
#include <cstdint>

namespace tarnix {

// Nanoseconds since 1970-01-01 00:00 UTC (signed, wide enough for any date).
__int128 wall_clock_ns();
// Whole seconds since 1970-01-01 00:00 UTC.
int64_t wall_clock_seconds();

}  // namespace tarnix
