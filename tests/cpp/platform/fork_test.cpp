// A forked child has only the thread that forked: whatever the parent's
// other threads held must be free in the child, and the parent's idle
// connections are not the child's to use.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "http/pool.h"
#include "platform/thread.h"
#include "test_net_util.h"
#include "test_pki.h"
#include "tls/exit_gate.h"
#include "tls/library.h"
#include "tls/verify.h"

using namespace tarnix;
using namespace testpki;
using tarnix_test::Listener;

namespace {

// Runs `body` in a forked child that an alarm ends should it hang. 0 when
// it returned true; 128 + the signal when it was killed.
int in_child(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(5);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Pool* plain_pool(uint16_t port, uint32_t max) {
    Pool* pool = pool_new();
    if (pool != nullptr) {
        pool->host.assign_copy("127.0.0.1", 9);
        pool->port = port;
        pool->max_connections = max;
    }
    return pool;
}

struct LockCase {
    const char* name;
    std::function<void()> hammer;      // takes and drops the lock, over and over
    std::function<bool()> child_use;   // must finish in the child
    bool allocates;                    // the hammer allocates memory as it goes
};

// This toolchain's address sanitizer keeps its allocator's locks across a
// fork: a child can inherit one held by a thread that was allocating (seen
// stuck there), which says nothing about our own locks.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kForkSafeAllocator = false;
#else
constexpr bool kForkSafeAllocator = true;
#endif

std::string describe(int status) {
    if (status == 128 + SIGALRM) return "hung";
    if (status > 128) return "killed by signal " + std::to_string(status - 128);
    return status < 0 ? "fork failed" : "exit " + std::to_string(status);
}

}  // namespace

TEST(Fork, LocksHeldByOtherThreadsAreFreeInTheChild) {
    Key key = ec_key();
    Cert root = make_cert({"Fork Test Root", "tarnix tests", 1, 0, 0, true}, key.get(), nullptr, nullptr);
    Cert other = make_cert({"Fork Other Root", "tarnix tests", 2, 0, 0, true}, key.get(), nullptr, nullptr);
    ASSERT_TRUE(root && other);
    // Two store contents of different lengths: each write makes the next
    // reader parse the file again, under the cache lock.
    const std::string one = pem(root.get()), two = one + pem(other.get());
    const std::string store = tarnix_test::temp_file_with(one);
    ASSERT_FALSE(store.empty());
    const int64_t now = int64_t(time(nullptr));
    Pool* pool = pool_new();
    ASSERT_NE(pool, nullptr);
    std::atomic<unsigned> turn{0};

    const LockCase cases[] = {
        {"trust-store cache",
         [&] {
             write_file(store, (turn.fetch_add(1) & 1) ? one : two);
             // As in a handshake: library code, the bundle's freeing
             // included, runs inside the gate.
             TlsGate gate;
             CaBundle bundle;
             RwLock lock;
             rescan_roots_from_store(store.c_str(), &bundle, &lock, now);
         },
         [&] {
             CaBundle bundle;
             RwLock lock;
             return rescan_roots_from_store(store.c_str(), &bundle, &lock, now);
         },
         true},
        {"pool lock and CA lock",
         [&] {
             { SpinGuard g(pool->lock); }
             { ExclusiveGuard g(pool->ca_lock); }
             SharedGuard g(pool->ca_lock);
             for (int i = 0; i < 50; ++i) cpu_relax();
         },
         [&] {
             { SpinGuard g(pool->lock); }
             ExclusiveGuard g(pool->ca_lock);
             return true;
         },
         false},
    };
    // Set up as in a process that has made requests already: the children
    // then parse under the locks the threads were taking, rather than
    // building the library's state from scratch.
    ASSERT_NE(tls_library_context(), nullptr);
    tls_gate_install();
    for (const LockCase& c : cases) {
        if (c.allocates && !kForkSafeAllocator) continue;
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&] {
                while (!stop) c.hammer();
            });
        std::string failures;
        for (int i = 0; i < 20; ++i) {
            const int status = in_child(c.child_use);
            if (status != 0) failures += " " + describe(status);
        }
        stop = true;
        for (auto& t : threads) t.join();
        EXPECT_EQ(failures, "") << c.name;
    }
    pool_release(pool);
    unlink(store.c_str());
}

// The child closes its copies of the parent's idle connections without a
// byte on them, and opens its own; the parent keeps using its connection.
TEST(Fork, ChildLeavesTheParentsIdleConnectionsAlone) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    Pool* pool = plain_pool(l.port, 1);
    ASSERT_NE(pool, nullptr);
    Connection c;
    bool fresh = false;
    ASSERT_EQ(acquire_connection(pool, &c, &fresh), ErrorKind::None);
    const int parents = c.plain.stream.fd;
    return_connection(pool, c);
    const int peer = l.accept_one();
    ASSERT_GE(peer, 0);

    EXPECT_EQ(in_child([&] {
                  Connection mine;
                  bool mine_fresh = false;
                  // At the parent's limit of one: the inherited connection
                  // must not count against the child.
                  if (acquire_connection(pool, &mine, &mine_fresh) != ErrorKind::None || !mine_fresh) return false;
                  return_connection(pool, mine);
                  pool_release(pool);
                  return true;
              }),
              0);
    const int childs = tarnix_test::readable_within(l.fd, 5000) ? l.accept_one() : -1;
    EXPECT_GE(childs, 0);
    // Nothing arrived on the parent's connection, not even an end.
    EXPECT_FALSE(tarnix_test::readable_within(peer, 200));

    ASSERT_EQ(acquire_connection(pool, &c, &fresh), ErrorKind::None);
    EXPECT_FALSE(fresh);
    EXPECT_EQ(c.plain.stream.fd, parents);
    return_connection(pool, c);
    pool_release(pool);
    tarnix_test::close_socket(peer);
    if (childs >= 0) tarnix_test::close_socket(childs);
}
