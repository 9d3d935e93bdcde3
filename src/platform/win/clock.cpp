// Wall clock from the system's precise time (100 ns ticks since 1601).
#include "platform/clock.h"

#include <windows.h>

namespace tarnix {

namespace {

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t UNIX_EPOCH_TICKS = 116444736000000000LL;

int64_t ticks_since_unix_epoch() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return int64_t(ticks) - UNIX_EPOCH_TICKS;
}

}  // namespace

__int128 wall_clock_ns() { return static_cast<__int128>(ticks_since_unix_epoch()) * 100; }

int64_t wall_clock_seconds() {
    int64_t t = ticks_since_unix_epoch();
    // Whole seconds, rounded down also before 1970.
    int64_t s = t / 10000000;
    return (t < 0 && s * 10000000 != t) ? s - 1 : s;
}

uint64_t steady_clock_ns() {
    // Milliseconds since boot, sleep included; fine enough for idle ages.
    return static_cast<uint64_t>(GetTickCount64()) * 1000000u;
}

}  // namespace tarnix
