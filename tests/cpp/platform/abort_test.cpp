#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/framing.h"
#include "http/request.h"
#include "mem_stream.h"
#include "platform/abort.h"
#include "platform/net.h"
#include "test_net_util.h"

using namespace tarnix;
using tarnix_test::Listener;
using tarnix_test::MemSink;
using tarnix_test::MemSource;
using tarnix_test::u8;

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

bool connect_to(uint16_t port, Stream* out) {
    sockaddr_in a = loopback(port);
    return connect_address(reinterpret_cast<const sockaddr*>(&a), sizeof(a), out);
}

// Runs `call` on a thread whose socket calls go through `gate`, aborts the
// gate after a moment, and returns how long the call took.
template <typename Call>
Clock::duration aborted_call(AbortGate& gate, Call call) {
    auto start = Clock::now();
    std::thread t([&] {
        set_thread_abort_gate(&gate);
        call();
        set_thread_abort_gate(nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(gate.abort());
    t.join();
    return Clock::now() - start;
}

}  // namespace

TEST(AbortGate, WakesABlockedReadAndRefusesEveryLaterCall) {
    Listener server(AF_INET);
    Stream s;
    ASSERT_TRUE(connect_to(server.port, &s));
    int peer = server.accept_one();
    AbortGate gate;
    ssize_t got = 1, again = 1;
    bool sent = true;
    auto took = aborted_call(gate, [&] {
        uint8_t buf[16];
        got = socket_recv(s.fd, buf, sizeof buf, false);
        again = socket_recv(s.fd, buf, sizeof buf, false);
        sent = socket_send_all(s.fd, u8("x"), 1);
    });
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_LE(got, 0);
    EXPECT_EQ(again, -1);
    EXPECT_FALSE(sent);
    EXPECT_FALSE(gate.abort());
    // The peer sees the connection end.
    char c;
    EXPECT_TRUE(tarnix_test::readable_within(peer, 2000));
    EXPECT_LE(recv(peer, &c, 1, 0), 0);
    socket_close(s.fd);
    tarnix_test::close_socket(peer);
}

#ifndef _WIN32
TEST(AbortGate, StopsAConnectInProgress) {
    // A listener whose accept queue is full drops further SYNs: a connect to
    // it stays in progress for minutes.
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof(a);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(listen(lfd, 0), 0);
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(f, reinterpret_cast<sockaddr*>(&a), len);
        fillers.push_back(f);
    }
    AbortGate gate;
    bool connected = true;
    auto took = aborted_call(gate, [&] {
        Stream s;
        connected = connect_to(ntohs(a.sin_port), &s);
    });
    EXPECT_FALSE(connected);
    EXPECT_LT(took, std::chrono::milliseconds(900));  // before the first SYN is sent again
    for (int f : fillers) close(f);
    close(lfd);
}
#endif

TEST(ResponseLimit, CountsHeadAndBodyAsTheyArriveAndStopsReadingPastIt) {
    const std::string endless(65536, 'x');
    struct Case {
        std::string head, rest;
        int max_reads;  // with the smallest limit
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "0123456789", 1},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "5\r\n01234\r\n5\r\n56789\r\n0\r\nT: 1\r\n\r\n", 2},
        {"HTTP/1.0 200 OK\r\n\r\n", "0123456789", 2},
        {"HTTP/1.1 204 No Content\r\nX-Long: 0123456789\r\n\r\n", "", 1},
        // Past the limit: a length refused unread, a body without end.
        {"HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n", endless, 1},
        {"HTTP/1.0 200 OK\r\n\r\n", endless, 3},
    };
    for (const Case& c : cases) {
        const std::string whole = c.head + c.rest;
        for (uint64_t limit : {uint64_t(whole.size()), uint64_t(whole.size() - 1), uint64_t(c.head.size() + 2)}) {
            // Pieces end mid-head; the endless ones go on for 12 MiB.
            std::vector<std::string> pieces{whole.substr(0, 20), whole.substr(20)};
            if (c.rest == endless) pieces.resize(200, endless);
            MemSource src(pieces);
            uint8_t rbuf[65536], wbuf[256];
            BufferedReader reader(&src, rbuf, sizeof rbuf);
            MemSink sink;
            BufferedWriter writer(&sink, wbuf, sizeof wbuf);
            RawResponse raw = send_and_receive(writer, reader, Slice{u8("GET / HTTP/1.1\r\n\r\n"), 18}, nullptr,
                                               METHOD_GET, Slice{}, limit);
            bool fits = c.rest != endless && limit >= whole.size();
            EXPECT_EQ(raw.error, fits ? ErrorKind::None : ErrorKind::ResponseTooLarge) << whole << " " << limit;
            if (fits) {
                EXPECT_EQ(raw.bytes.size(), whole.size());
            }
            if (limit == c.head.size() + 2) {
                EXPECT_LE(src.reads, c.max_reads + 1) << whole;
            }
        }
    }
}
