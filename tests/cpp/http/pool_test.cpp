#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "http/pool.h"
#include "platform/thread.h"
#include "test_net_util.h"

using namespace tarnix;
using tarnix_test::Listener;

namespace {

struct PoolHandle {
    Pool* pool;
    PoolHandle(const char* host, uint16_t port, uint32_t max) : pool(pool_new()) {
        pool->host.assign_copy(host, std::strlen(host));
        pool->port = port;
        pool->max_connections = max;
    }
    ~PoolHandle() { pool_release(pool); }
    uint32_t open() {
        SpinGuard g(pool->lock);
        return pool->open_connections;
    }
};

Connection acquire(Pool* pool, bool expect_fresh) {
    Connection c;
    bool fresh = !expect_fresh;
    EXPECT_EQ(acquire_connection(pool, &c, &fresh), ErrorKind::None);
    EXPECT_EQ(fresh, expect_fresh);
    return c;
}

}  // namespace

TEST(Pool, IdleConnectionsAreReusedLastInFirstOut) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    PoolHandle p("127.0.0.1", l.port, 4);
    Connection a = acquire(p.pool, true), b = acquire(p.pool, true);
    int fa = a.plain.stream.fd, fb = b.plain.stream.fd;
    return_connection(p.pool, a);
    return_connection(p.pool, b);
    EXPECT_EQ(p.open(), 2u);
    Connection first = acquire(p.pool, false), second = acquire(p.pool, false);
    EXPECT_EQ(first.plain.stream.fd, fb);
    EXPECT_EQ(second.plain.stream.fd, fa);
    discard_connection(p.pool, second);
    EXPECT_EQ(p.open(), 1u);
    return_connection(p.pool, first);
}

TEST(Pool, ManyReturnsGrowTheIdleArray) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    PoolHandle p("127.0.0.1", l.port, 40);
    Connection c[40];
    for (auto& x : c) x = acquire(p.pool, true);
    for (auto& x : c) return_connection(p.pool, x);
    EXPECT_EQ(p.pool->idle_plain_len, 40u);
    EXPECT_EQ(p.open(), 40u);
}

TEST(Pool, FailedOpenRestoresTheCount) {
    PoolHandle refused("127.0.0.1", tarnix_test::refused_port(AF_INET), 1);
    Connection c;
    bool fresh = false;
    EXPECT_EQ(acquire_connection(refused.pool, &c, &fresh), ErrorKind::ConnectFailed);
    EXPECT_EQ(refused.open(), 0u);
    // The slot is free again: a second failure, not a wait.
    EXPECT_EQ(acquire_connection(refused.pool, &c, &fresh), ErrorKind::ConnectFailed);

    PoolHandle bad("bad host", 80, 1);
    EXPECT_EQ(acquire_connection(bad.pool, &c, &fresh), ErrorKind::ResolveFailed);
    EXPECT_EQ(bad.open(), 0u);
}

TEST(Pool, AcquireAtTheLimitWaitsForAReturn) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    PoolHandle p("127.0.0.1", l.port, 1);
    Connection first = acquire(p.pool, true);
    const int first_fd = first.plain.stream.fd;

    std::atomic<bool> got{false};
    Connection second;
    bool second_fresh = true;
    std::thread waiter([&] {
        EXPECT_EQ(acquire_connection(p.pool, &second, &second_fresh), ErrorKind::None);
        got = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got.load());
    EXPECT_EQ(p.open(), 1u);
    return_connection(p.pool, first);
    waiter.join();
    EXPECT_FALSE(second_fresh);
    EXPECT_EQ(second.plain.stream.fd, first_fd);

    // A discard frees the slot too; the waiter then opens a new connection.
    got = false;
    std::thread waiter2([&] {
        EXPECT_EQ(acquire_connection(p.pool, &first, &second_fresh), ErrorKind::None);
        got = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(got.load());
    discard_connection(p.pool, second);
    waiter2.join();
    EXPECT_TRUE(second_fresh);
    EXPECT_EQ(p.open(), 1u);
    return_connection(p.pool, first);
}

// Threads that find the pool full sleep: however long the slot stays taken
// they burn next to no processor time, and each goes on once a connection is
// handed back or dropped.
TEST(Pool, WaitersSleepUntilASlotIsFreed) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    PoolHandle p("127.0.0.1", l.port, 1);
    Connection held = acquire(p.pool, true);

    constexpr int N = 3;
    std::atomic<int> done{0};
    std::atomic<long> cpu_us[N];
    std::thread waiters[N];
    for (int i = 0; i < N; ++i) {
        waiters[i] = std::thread([&, i] {
            timespec a{}, b{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
            Connection c;
            bool fresh = false;
            EXPECT_EQ(acquire_connection(p.pool, &c, &fresh), ErrorKind::None);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
            cpu_us[i] = (b.tv_sec - a.tv_sec) * 1000000L + (b.tv_nsec - a.tv_nsec) / 1000;
            ++done;
            return_connection(p.pool, c);  // the next waiter takes it
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(done.load(), 0);
    discard_connection(p.pool, held);

    for (int ms = 0; done.load() < N && ms < 10000; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (done.load() < N) {
        // A waiter never woke; joining would hang.
        std::fprintf(stderr, "waiters left asleep after the slot was freed\n");
        std::_Exit(1);
    }
    for (auto& t : waiters) t.join();
    for (auto& us : cpu_us) EXPECT_LT(us.load(), 15000) << "a waiter used the processor while waiting";
    EXPECT_EQ(p.open(), 1u);
    EXPECT_EQ(p.pool->idle_plain_len, 1u);
}

// A retry wants a new connection: idle ones are passed over, and at the
// limit one of them is closed to make room instead of waiting for ever.
TEST(Pool, NewOnlyPassesOverIdleConnections) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    PoolHandle p("127.0.0.1", l.port, 2);
    Connection a = acquire(p.pool, true);
    return_connection(p.pool, a);
    Connection b, c;
    bool fresh = false;
    ASSERT_EQ(acquire_connection(p.pool, &b, &fresh, true), ErrorKind::None);
    EXPECT_TRUE(fresh);
    EXPECT_EQ(p.pool->idle_plain_len, 1u);  // below the limit the idle one stays
    ASSERT_EQ(acquire_connection(p.pool, &c, &fresh, true), ErrorKind::None);
    EXPECT_TRUE(fresh);
    EXPECT_EQ(p.open(), 2u);
    EXPECT_EQ(p.pool->idle_plain_len, 0u);
    int peer = l.accept_one();  // a's server side sees it closed
    ASSERT_TRUE(tarnix_test::readable_within(peer, 5000));
    char ch;
    EXPECT_EQ(recv(peer, &ch, 1, 0), 0);
    tarnix_test::close_socket(peer);
    discard_connection(p.pool, b);
    discard_connection(p.pool, c);
}

TEST(Pool, ManyThreadsNeverExceedTheLimit) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    PoolHandle p("127.0.0.1", l.port, 3);
    std::atomic<int> in_use{0}, peak{0};
    std::thread threads[8];
    for (auto& t : threads) {
        t = std::thread([&] {
            for (int i = 0; i < 20; ++i) {
                Connection c;
                bool fresh;
                ASSERT_EQ(acquire_connection(p.pool, &c, &fresh), ErrorKind::None);
                int now = ++in_use;
                int old = peak.load();
                while (now > old && !peak.compare_exchange_weak(old, now)) {
                }
                --in_use;
                if (i % 5 == 4)
                    discard_connection(p.pool, c);
                else
                    return_connection(p.pool, c);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_LE(peak.load(), 3);
    EXPECT_LE(p.open(), 3u);
    EXPECT_EQ(p.open(), p.pool->idle_plain_len);
}

TEST(Pool, ReleaseClosesIdleConnections) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    Pool* pool = pool_new();
    ASSERT_NE(pool, nullptr);
    ASSERT_TRUE(pool->host.assign_copy("127.0.0.1", 9));
    pool->port = l.port;
    pool->max_connections = 2;
    Connection a = acquire(pool, true), b = acquire(pool, true);
    return_connection(pool, a);
    return_connection(pool, b);
    int peers[2] = {l.accept_one(), l.accept_one()};
    pool_release(pool);
    for (int fd : peers) {
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(tarnix_test::readable_within(fd, 5000));
        char ch;
        EXPECT_EQ(recv(fd, &ch, 1, 0), 0);  // orderly end: our side closed
        tarnix_test::close_socket(fd);
    }
}

TEST(Thread, SpawnRunsTheFunctionOnALargeStack) {
    struct Shared {
        std::atomic<int> ran{0};
        std::atomic<size_t> min_stack{SIZE_MAX};
    };
    static Shared shared;
    constexpr int N = 50;
    for (int i = 0; i < N; ++i) {
        ASSERT_TRUE(spawn_detached_thread(
            [](void* arg) {
                auto* sh = static_cast<Shared*>(arg);
                size_t size = 0;
#ifdef _WIN32
                ULONG_PTR low = 0, high = 0;
                GetCurrentThreadStackLimits(&low, &high);
                size = size_t(high - low);
#else
                pthread_attr_t attr;
                if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                    pthread_attr_getstacksize(&attr, &size);
                    pthread_attr_destroy(&attr);
                }
#endif
                size_t cur = sh->min_stack.load();
                while (size < cur && !sh->min_stack.compare_exchange_weak(cur, size)) {
                }
                sh->ran.fetch_add(1);
            },
            &shared));
    }
    for (int spins = 0; shared.ran.load() < N && spins < 5000; ++spins)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(shared.ran.load(), N);
    EXPECT_GE(shared.min_stack.load(), IO_THREAD_STACK_SIZE);
}
