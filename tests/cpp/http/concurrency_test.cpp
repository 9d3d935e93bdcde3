// Many I/O threads at once on one pool and on the stack cache: meant to be
// run under ThreadSanitizer as well as plainly, so it keeps every thread busy
// with the shared state rather than with the network.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>


#include "http/pool.h"
#include "platform/spinlock.h"
#include "platform/thread.h"
#include "test_net_util.h"

using namespace tarnix;
using tarnix_test::Listener;

namespace {

// Accepts and closes connections until stopped, so discarded connections
// never fill the listen queue.
struct Acceptor {
    Listener listener{AF_INET};
    std::atomic<bool> stop{false};
    std::thread thread;
    std::vector<int> held;

    Acceptor() {
        thread = std::thread([this] {
            while (!stop.load()) {
                if (tarnix_test::readable_within(listener.fd, 20)) {
                    int fd = listener.accept_one();
                    if (fd >= 0) held.push_back(fd);
                }
            }
        });
    }
    ~Acceptor() {
        stop = true;
        thread.join();
        for (int fd : held) tarnix_test::close_socket(fd);
    }
};

bool wait_for(const std::atomic<int>& n, int target) {
    for (int i = 0; n.load() < target && i < 20000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return n.load() >= target;
}

}  // namespace

TEST(Concurrency, DetachedThreadsShareOnePoolWithinItsLimit) {
    Acceptor acc;
    ASSERT_TRUE(acc.listener.ok());
    Pool* pool = pool_new();
    ASSERT_NE(pool, nullptr);
    ASSERT_TRUE(pool->host.assign_copy("127.0.0.1", 9));
    pool->port = acc.listener.port;
    pool->max_connections = 4;

    struct Shared {
        Pool* pool;
        std::atomic<int> in_use{0}, peak{0}, done{0}, failures{0};
    } sh;
    sh.pool = pool;
    constexpr int kThreads = 24, kRounds = 40;
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_TRUE(spawn_detached_thread(
            [](void* arg) {
                auto* s = static_cast<Shared*>(arg);
                for (int i = 0; i < kRounds; ++i) {
                    Connection c;
                    bool fresh = false;
                    if (acquire_connection(s->pool, &c, &fresh) != ErrorKind::None) {
                        s->failures++;
                        continue;
                    }
                    int now = ++s->in_use;
                    int old = s->peak.load();
                    while (now > old && !s->peak.compare_exchange_weak(old, now)) {
                    }
                    --s->in_use;
                    if (i % 7 == 3)
                        discard_connection(s->pool, c);
                    else
                        return_connection(s->pool, c);
                }
                s->done++;
            },
            &sh));
    }
    ASSERT_TRUE(wait_for(sh.done, kThreads));
    EXPECT_EQ(sh.failures.load(), 0);
    EXPECT_LE(sh.peak.load(), 4);
    {
        SpinGuard g(pool->lock);
        EXPECT_LE(pool->open_connections, 4u);
        EXPECT_EQ(pool->open_connections, pool->idle_plain_len);
    }
    pool_release(pool);
}

TEST(Concurrency, StacksChurnFromManySpawners) {
    // Several spawners at once, each thread writing deep into its stack, so
    // that parking and taking stacks race with threads still running.
    static std::atomic<int> ran{0};
    static std::atomic<int> bad{0};
    ran = 0;
    bad = 0;
    constexpr int kSpawners = 4, kEach = 60;
    std::vector<std::thread> spawners;
    for (int s = 0; s < kSpawners; ++s) {
        spawners.emplace_back([] {
            for (int i = 0; i < kEach; ++i) {
                while (!spawn_detached_thread(
                    [](void* arg) {
                        volatile uint8_t deep[256 * 1024];
                        const uint8_t mark = uint8_t(reinterpret_cast<uintptr_t>(arg));
                        for (size_t k = 0; k < sizeof deep; k += 4096) deep[k] = mark;
                        std::this_thread::yield();
                        for (size_t k = 0; k < sizeof deep; k += 4096)
                            if (deep[k] != mark) bad++;  // another thread wrote on this stack
                        ran++;
                    },
                    reinterpret_cast<void*>(uintptr_t(i + 1))))
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    for (auto& t : spawners) t.join();
    ASSERT_TRUE(wait_for(ran, kSpawners * kEach));
    EXPECT_EQ(bad.load(), 0);
}
