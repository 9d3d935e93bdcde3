// A short lock for a few instructions of bookkeeping: spins briefly, then
// sleeps on the word. With thousands of threads on a few processors a holder
// is often preempted, and waiters that only spun would burn their whole time
// slices waiting for it.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/thread.h"
#include "platform/wait.h"

namespace tarnix {

class SpinLock {
public:
    void lock() {
        uint32_t seen = FREE;
        if (word_.compare_exchange_strong(seen, HELD, std::memory_order_acquire, std::memory_order_relaxed)) return;
        for (int i = 0; i < SPINS; ++i) {
            cpu_relax();
            seen = FREE;
            if (word_.load(std::memory_order_relaxed) == FREE &&
                word_.compare_exchange_weak(seen, HELD, std::memory_order_acquire, std::memory_order_relaxed))
                return;
        }
        // Marked as having sleepers, so the holder's unlock wakes one.
        while (word_.exchange(CONTENDED, std::memory_order_acquire) != FREE) wait_on_word(&word_, CONTENDED);
    }
    void unlock() {
        if (word_.exchange(FREE, std::memory_order_release) == CONTENDED) wake_word(&word_, 1);
    }

private:
    static constexpr uint32_t FREE = 0, HELD = 1, CONTENDED = 2;
    static constexpr int SPINS = 64;
    std::atomic<uint32_t> word_{FREE};
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
