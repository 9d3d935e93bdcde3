// Wall clock from the system's real-time clock.
#include "platform/clock.h"

#include <time.h>

namespace tarnix {

__int128 wall_clock_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<__int128>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t wall_clock_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

uint64_t steady_clock_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace tarnix
