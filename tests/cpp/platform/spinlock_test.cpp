// The short lock: mutual exclusion, and waiters that sleep rather than spin
// while a holder is held up (preempted, in practice).
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/spinlock.h"

using namespace tarnix;

namespace {

TEST(SpinLock, ExcludesAndLetsWaitersSleep) {
    SpinLock lock;
    long counter = 0;
    std::atomic<int> arrived{0};
    std::vector<std::atomic<long>> tids(6);
    lock.lock();
    std::vector<std::thread> threads;
    for (size_t t = 0; t < tids.size(); ++t)
        threads.emplace_back([&, t] {
            tids[t] = syscall(SYS_gettid);
            arrived.fetch_add(1);
            for (int i = 0; i < 20000; ++i) {
                SpinGuard guard(lock);
                ++counter;
            }
        });
    while (arrived.load() < int(tids.size())) std::this_thread::yield();
    // Bounded: waiters that only spun would stay runnable throughout.
    auto sleeping = [&] {
        for (auto& tid : tids) {
            std::ifstream stat("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
            std::string line;
            std::getline(stat, line);
            size_t paren = line.rfind(')');
            if (paren == std::string::npos || line.compare(paren + 2, 1, "S") != 0) return false;
        }
        return true;
    };
    bool all_asleep = false;
    for (int i = 0; i < 500 && !(all_asleep = sleeping()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    lock.unlock();
    for (auto& t : threads) t.join();
    EXPECT_TRUE(all_asleep);
    EXPECT_EQ(counter, long(tids.size()) * 20000);
}

}  // namespace
