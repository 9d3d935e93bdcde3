// Idle connections: expiry when taken, and the trim the Python layer drives.
#include <gtest/gtest.h>

#include <cstring>

#include "http/pool.h"
#include "platform/clock.h"
#include "test_net_util.h"

using namespace tarnix;
using tarnix_test::Listener;

namespace {

constexpr uint64_t MS = 1000000;
constexpr size_t ALL = SIZE_MAX;

// A pool with three idle connections that went idle at base, base + 100 ms
// and base + 200 ms (all a while ago), and the server's ends of them, oldest
// first.
struct ThreeIdle {
    Listener l{AF_INET};
    Pool* pool = pool_new();
    int peers[3] = {-1, -1, -1};
    uint64_t base = steady_clock_ns() - 1000 * MS;

    ThreeIdle() {
        pool->host.assign_copy("127.0.0.1", 9);
        pool->port = l.port;
        pool->max_connections = 8;
        Connection c[3];
        for (auto& x : c) {
            bool fresh = false;
            EXPECT_EQ(acquire_connection(pool, &x, &fresh), ErrorKind::None);
        }
        for (int i = 0; i < 3; ++i) {
            return_connection(pool, c[i]);
            peers[i] = l.accept_one();
            pool->idle_since[i] = base + uint64_t(i) * 100 * MS;
        }
    }
    ~ThreeIdle() {
        pool_release(pool);
        for (int fd : peers) tarnix_test::close_socket(fd);
    }
    // The client closed its end: the server reads the orderly end at once.
    bool closed(int i) {
        char ch;
        return tarnix_test::readable_within(peers[i], 2000) && recv(peers[i], &ch, 1, 0) == 0;
    }
};

}  // namespace

TEST(PoolIdle, TrimClosesExpiredThenOldestBeyondTheBound) {
    struct Case {
        const char* name;
        uint64_t expiry_ns;
        uint64_t at_ms;  // the trim's clock, after base
        size_t keep;
        size_t left;     // the newest ones stay
    } cases[] = {
        {"nothing expired, no bound", 1000 * MS, 300, ALL, 3},
        {"bound of one keeps the newest", 1000 * MS, 300, 1, 1},
        {"bound of zero closes every one", 1000 * MS, 300, 0, 0},
        {"the two older past the expiry", 150 * MS, 300, ALL, 1},
        {"an age equal to the expiry is kept", 200 * MS, 300, ALL, 2},
        {"all expired", 10 * MS, 5000, ALL, 0},
        {"no expiry", Pool::NO_EXPIRY, 1000000000, ALL, 3},
        {"expiry and bound together", 250 * MS, 300, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThreeIdle t;
        ASSERT_TRUE(t.l.ok());
        t.pool->keepalive_expiry_ns = c.expiry_ns;
        PoolIdleInfo info;
        pool_trim(t.pool, t.base + c.at_ms * MS, c.keep, &info);
        EXPECT_EQ(info.idle, c.left);
        EXPECT_EQ(info.open, c.left);
        EXPECT_EQ(info.oldest_age_ns, c.left == 0 ? 0 : (c.at_ms - (3 - c.left) * 100) * MS);
        for (size_t i = 0; i < 3 - c.left; ++i) EXPECT_TRUE(t.closed(int(i))) << "connection " << i;
        for (size_t i = 3 - c.left; i < 3; ++i) EXPECT_FALSE(tarnix_test::readable_now(t.peers[i])) << i;
    }
}

TEST(PoolIdle, AnExpiredConnectionIsClosedNotReused) {
    ThreeIdle t;
    ASSERT_TRUE(t.l.ok());
    // Every stamp lies in the past, so a zero expiry expires them all.
    t.pool->keepalive_expiry_ns = 0;
    Connection c;
    bool fresh = false;
    ASSERT_EQ(acquire_connection(t.pool, &c, &fresh), ErrorKind::None);
    EXPECT_TRUE(fresh);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(t.closed(i));
    PoolIdleInfo info;
    pool_trim(t.pool, steady_clock_ns(), ALL, &info);
    EXPECT_EQ(info.idle, 0u);
    EXPECT_EQ(info.open, 1u);  // the one in use counts, the expired ones not
    discard_connection(t.pool, c);
}
