// One-byte spin lock: compare-and-swap 0 -> 1, pause between attempts.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/thread.h"

namespace tarnix {

class SpinLock {
public:
    void lock() {
        for (;;) {
            uint8_t expected = 0;
            if (byte_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
            cpu_relax();
        }
    }
    void unlock() { byte_.store(0, std::memory_order_release); }

private:
    std::atomic<uint8_t> byte_{0};
};

class SpinGuard {
public:
    explicit SpinGuard(SpinLock& l) : l_(l) { l_.lock(); }
    ~SpinGuard() { l_.unlock(); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

private:
    SpinLock& l_;
};

}  // namespace tarnix
