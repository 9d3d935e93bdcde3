// I/O threads run on stacks that are kept and handed to later threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

#include "platform/thread.h"

using namespace tarnix;

namespace {

struct StackRange {
    uintptr_t low = 0;
    size_t size = 0;
};

StackRange own_stack() {
    StackRange r;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        pthread_attr_getstack(&attr, &addr, &r.size);
        r.low = reinterpret_cast<uintptr_t>(addr);
        pthread_attr_destroy(&attr);
    }
    return r;
}

bool wait_for(const std::atomic<int>& counter, int target) {
    for (int i = 0; counter.load() < target && i < 10000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return counter.load() >= target;
}

}  // namespace

// Each thread fills a stretch of its stack with its own number, gives up the
// processor a few times and checks the stretch: a stack handed out again
// while its previous thread still ran would show another thread's bytes. The
// plain path (fresh stacks from the C library, the only one off glibc) runs
// the same checks.
TEST(ThreadStacks, NoStackServesTwoLiveThreads) {
    struct Shared {
        std::atomic<int> done{0};
        std::atomic<int> corrupted{0};
        std::atomic<int> small{0};
        std::atomic<int> live{0};
    };
    static Shared sh;
    constexpr int N = 1500;
    constexpr int MAX_LIVE = 48;
    for (bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "plain threads" : "stack cache");
        use_plain_threads(plain);
        sh.done = 0;
        for (int i = 0; i < N; ++i) {
            while (sh.live.load() >= MAX_LIVE) sched_yield();
            sh.live.fetch_add(1);
            ASSERT_TRUE(spawn_detached_thread(
                [](void* arg) {
                    const auto id = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(arg));
                    volatile uint8_t block[32768];
                    for (size_t k = 0; k < sizeof(block); k += 512) block[k] = id;
                    for (int y = 0; y < 3; ++y) sched_yield();
                    for (size_t k = 0; k < sizeof(block); k += 512)
                        if (block[k] != id) {
                            sh.corrupted.fetch_add(1);
                            break;
                        }
                    if (own_stack().size < IO_THREAD_STACK_SIZE) sh.small.fetch_add(1);
                    sh.live.fetch_sub(1);
                    sh.done.fetch_add(1);
                },
                reinterpret_cast<void*>(uintptr_t(i)))) << i;
        }
        ASSERT_TRUE(wait_for(sh.done, N));
        EXPECT_EQ(sh.corrupted.load(), 0);
        EXPECT_EQ(sh.small.load(), 0);
    }
    use_plain_threads(false);
}

TEST(ThreadStacks, StacksOfFinishedThreadsAreReused) {
    struct Shared {
        std::atomic<int> done{0};
        std::atomic<uintptr_t> lows[200];
    };
    static Shared sh;
    constexpr int N = 200;
    for (int i = 0; i < N; ++i) {
        ASSERT_TRUE(spawn_detached_thread(
            [](void* arg) {
                sh.lows[reinterpret_cast<uintptr_t>(arg)].store(own_stack().low);
                sh.done.fetch_add(1);
            },
            reinterpret_cast<void*>(uintptr_t(i))));
        ASSERT_TRUE(wait_for(sh.done, i + 1));
        // Give the thread time to leave the kernel.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    int reused = 0;
    for (int i = 1; i < N; ++i)
        for (int j = 0; j < i; ++j)
            if (sh.lows[i].load() == sh.lows[j].load()) {
                ++reused;
                break;
            }
    EXPECT_GT(reused, N / 2);
}

// Counts the mappings of exactly one I/O stack and its guard page.
int mapped_stacks() {
    FILE* f = std::fopen("/proc/self/maps", "r");
    if (f == nullptr) return -1;
    int n = 0;
    char line[512];
    const unsigned long want = IO_THREAD_STACK_SIZE;
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        unsigned long lo = 0, hi = 0;
        if (std::sscanf(line, "%lx-%lx", &lo, &hi) == 2 && hi - lo == want) ++n;
    }
    std::fclose(f);
    return n;
}

// A thread whose stack is parked but which has not yet left (its thread-exit
// work still runs on that stack) must not stop the cache from reusing the
// stacks behind it, nor from giving stacks beyond its cap back.
TEST(ThreadStacks, SlowExitingThreadDoesNotStopReuse) {
    struct Shared {
        std::atomic<int> done{0};
        std::atomic<int> slow_left{0};
        std::atomic<int> release{0};
        std::atomic<uintptr_t> lows[300];
        pthread_key_t key;
    };
    static Shared sh;
    ASSERT_EQ(pthread_key_create(&sh.key,
                                 [](void*) {
                                     // Runs after the thread's function returned, on its
                                     // stack; held until the test has looked (at most 20 s).
                                     for (int i = 0; sh.release.load() == 0 && i < 20000; ++i)
                                         std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                     sh.slow_left.store(1);
                                 }),
              0);
    ASSERT_TRUE(spawn_detached_thread(
        [](void*) {
            pthread_setspecific(sh.key, &sh);
            sh.done.fetch_add(1);
        },
        nullptr));
    ASSERT_TRUE(wait_for(sh.done, 1));
    constexpr int N = 300;
    for (int i = 0; i < N; ++i) {
        ASSERT_TRUE(spawn_detached_thread(
            [](void* arg) {
                sh.lows[reinterpret_cast<uintptr_t>(arg)].store(own_stack().low);
                sh.done.fetch_add(1);
            },
            reinterpret_cast<void*>(uintptr_t(i))));
        ASSERT_TRUE(wait_for(sh.done, i + 2));
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    // Measured while the slow thread is still on its way out.
    const bool still_slow = sh.slow_left.load() == 0;
    int distinct = 0;
    for (int i = 0; i < N; ++i) {
        bool seen = false;
        for (int j = 0; j < i && !seen; ++j) seen = sh.lows[i].load() == sh.lows[j].load();
        if (!seen) ++distinct;
    }
    const int mapped = mapped_stacks();
    EXPECT_TRUE(still_slow);
    EXPECT_LT(distinct, 100);  // 300 when the slow thread blocks reuse
    EXPECT_LE(mapped, 66);
    sh.release.store(1);
    ASSERT_TRUE(wait_for(sh.slow_left, 1));
}

TEST(ThreadStacksDeathTest, BelowTheStackIsAGuardPage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::atomic<int> started{0};
            spawn_detached_thread(
                [](void* arg) {
                    static_cast<std::atomic<int>*>(arg)->store(1);
                    auto* below = reinterpret_cast<volatile uint8_t*>(own_stack().low - 1);
                    *below = 1;
                },
                &started);
            for (int i = 0; i < 5000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        "");
}

// The once-only call runs its function exactly once however many threads
// race to it, and none returns before it has finished; the mutex keeps a
// plain counter exact; a forked child's reset frees a mutex left held.
namespace {

std::atomic<int> g_once_runs{0};
std::atomic<bool> g_once_done{false};
OnceFlag g_once;
Mutex g_counter_lock;

void run_once_slowly() {
    g_once_runs.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g_once_done.store(true);
}

}  // namespace

TEST(ThreadSync, OnceFlagAndMutex) {
    long counter = 0;
    std::atomic<int> saw_unfinished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            g_once.run(run_once_slowly);
            if (!g_once_done.load()) saw_unfinished.fetch_add(1);
            for (int i = 0; i < 10000; ++i) {
                MutexGuard guard(g_counter_lock);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(g_once_runs.load(), 1);
    EXPECT_EQ(saw_unfinished.load(), 0);
    EXPECT_EQ(counter, 80000);

    Mutex held;
    held.lock();
    held.reset_after_fork();
    held.lock();  // would never return while still held
    held.unlock();
}
