// The Windows platform layer: Winsock connections and the resolver's
// sources, the address wait, threads, clock, random source and heap.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/net.h"
#include "platform/random.h"
#include "platform/thread.h"
#include "platform/wait.h"

using namespace tarnix;

namespace {

struct WinsockEnv : ::testing::Environment {
    void SetUp() override {
        WSADATA d;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &d), 0);
    }
};
const auto* const g_winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnv);

// A listener on 127.0.0.1 with an ephemeral port.
struct Listener {
    SOCKET s = INVALID_SOCKET;
    uint16_t port = 0;
    Listener() {
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof a;
        if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(s, 16) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~Listener() { closesocket(s); }
    SOCKET accept_one() const { return accept(s, nullptr, nullptr); }
};

// A hosts file of the test's own, with Windows line ends.
class OwnHostsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[MAX_PATH], name[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, dir), 0u);
        ASSERT_NE(GetTempFileNameA(dir, "thf", 0, name), 0u);
        path_ = name;
        const char text[] =
            "# test hosts\r\n127.0.0.1  app.test  alias.test\r\n::1 v6.test\r\n127.0.0.2 shadow.localhost\r\n";
        FILE* f = fopen(path_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text, 1, sizeof text - 1, f);
        fclose(f);
        set_resolver_sources(path_.c_str(), no_dns);
    }
    void TearDown() override {
        set_resolver_sources(nullptr, nullptr);
        DeleteFileA(path_.c_str());
    }
    static size_t no_dns(const char*, uint16_t, sockaddr_storage*, size_t) { return 0; }
    std::string path_;
};

uint32_t v4_of(const sockaddr_storage& a) {
    return ntohl(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr);
}

}  // namespace

TEST(WinHostsFile, SystemFileUnderTheSystemDirectory) {
    wchar_t sys[MAX_PATH];
    UINT n = GetSystemDirectoryW(sys, MAX_PATH);
    ASSERT_GT(n, 0u);
    char expect[MAX_PATH * 3];
    ASSERT_GT(WideCharToMultiByte(CP_UTF8, 0, sys, -1, expect, sizeof expect, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(system_hosts_path()), std::string(expect) + "\\drivers\\etc\\hosts");
}

TEST_F(OwnHostsFile, CrLfLinesThenLoopbackRuleThenDns) {
    sockaddr_storage out[4];
    ASSERT_EQ(resolve_addresses("alias.test", 80, out, 4), 1u);
    EXPECT_EQ(v4_of(out[0]), 0x7f000001u);
    ASSERT_EQ(resolve_addresses("v6.test", 80, out, 4), 1u);
    EXPECT_EQ(out[0].ss_family, AF_INET6);
    // The hosts file wins over the loopback rule.
    ASSERT_EQ(resolve_addresses("shadow.localhost", 80, out, 4), 1u);
    EXPECT_EQ(v4_of(out[0]), 0x7f000002u);
    EXPECT_EQ(resolve_addresses("x.localhost", 80, out, 4), 2u);
    EXPECT_EQ(resolve_addresses("elsewhere.test", 80, out, 4), 0u);
}

TEST_F(OwnHostsFile, ConnectsToTheListenerAndRefusedPortFails) {
    Listener l;
    ASSERT_NE(l.port, 0);
    Stream s;
    ASSERT_EQ(resolve_and_connect("app.test", l.port, &s), ResolveResult::Connected);
    SOCKET peer = l.accept_one();
    ASSERT_NE(peer, INVALID_SOCKET);

    // Nothing sent yet: a no-wait read says so instead of blocking.
    uint8_t buf[16];
    EXPECT_FALSE(socket_has_input(s.fd));
    EXPECT_EQ(socket_recv(s.fd, buf, sizeof buf, true), -2);
    ASSERT_EQ(send(peer, "hello", 5, 0), 5);
    ASSERT_TRUE(socket_send_all(s.fd, reinterpret_cast<const uint8_t*>("ping"), 4));
    char got[4];
    ASSERT_EQ(recv(peer, got, 4, MSG_WAITALL), 4);
    EXPECT_EQ(std::memcmp(got, "ping", 4), 0);
    EXPECT_EQ(socket_recv(s.fd, buf, sizeof buf, false), 5);
    closesocket(peer);
    EXPECT_EQ(socket_recv(s.fd, buf, sizeof buf, false), 0);
    socket_close(s.fd);

    uint16_t refused;
    {
        Listener gone;
        refused = gone.port;
    }
    EXPECT_EQ(resolve_and_connect("app.test", refused, &s), ResolveResult::ConnectFailed);
    EXPECT_EQ(resolve_and_connect("elsewhere.test", l.port, &s), ResolveResult::NoAddress);
}

TEST(WinWait, WakeReleasesTheSleeperAndStaleValueReturnsAtOnce) {
    std::atomic<uint32_t> word{0};
    wait_on_word(&word, 1);  // already different: returns
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
        while (word.load() == 0) wait_on_word(&word, 0);
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    word.store(1);
    wake_word(&word, 1);
    for (int i = 0; i < 5000 && !woke; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(woke.load());
    if (!woke) WakeByAddressAll(&word);  // lets the test end when the wake was lost
    sleeper.join();
}

TEST(WinThreads, EveryDetachedThreadRunsWithItsArgument) {
    constexpr int kThreads = 64;
    std::atomic<uint32_t> done{0};
    for (int i = 0; i < kThreads; i++) {
        ASSERT_TRUE(spawn_detached_thread(
            [](void* p) {
                // Uses well over the default 1 MiB stack.
                volatile char big[4 << 20];
                big[0] = 1;
                big[sizeof big - 1] = big[0];
                auto* d = static_cast<std::atomic<uint32_t>*>(p);
                d->fetch_add(1);
                wake_word(d, 1);
            },
            &done));
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (uint32_t n; (n = done.load()) < kThreads && std::chrono::steady_clock::now() < deadline;) {
        wait_on_word(&done, n);
        yield_processor();
    }
    EXPECT_EQ(done.load(), uint32_t(kThreads));
}

TEST(WinClockRandomHeap, SystemServices) {
    int64_t t = static_cast<int64_t>(time(nullptr));
    EXPECT_LE(std::llabs(wall_clock_seconds() - t), 2);
    __int128 ns = wall_clock_ns();
    EXPECT_LE(std::llabs(static_cast<long long>(ns / 1000000000) - t), 2);

    uint8_t a[64] = {}, b[64] = {};
    ASSERT_TRUE(fill_random(a, sizeof a));
    ASSERT_TRUE(fill_random(b, sizeof b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);

    void* p = heap_alloc(100);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(heap_usable_size(p), 100u);
    std::memset(p, 0x5a, 100);
    p = grow_block(p, 100, 1 << 20);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(p)[99], 0x5a);
    heap_free(p);
}
