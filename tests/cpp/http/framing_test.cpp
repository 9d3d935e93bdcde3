#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "http/framing.h"
#include "http/request.h"
#include "mem_stream.h"
#include "test_net_util.h"

using namespace tarnix;
using tarnix_test::MemSink;
using tarnix_test::MemSource;
using tarnix_test::str;
using tarnix_test::u8;

namespace {

std::vector<std::string> bytewise(const std::string& s) {
    std::vector<std::string> v;
    for (char c : s) v.emplace_back(1, c);
    return v;
}

struct Exchange {
    MemSource src;
    std::vector<uint8_t> rbuf;
    BufferedReader reader;
    MemSink sink;
    uint8_t wbuf[8192];

    explicit Exchange(std::vector<std::string> pieces, size_t cap = 65536, bool fail_at_end = false)
        : src(std::move(pieces), fail_at_end), rbuf(cap), reader(&src, rbuf.data(), cap) {}
    explicit Exchange(const std::string& all, size_t cap = 65536) : Exchange(std::vector<std::string>{all}, cap) {}

    RawResponse run(uint8_t method = METHOD_GET, const std::string& request = "GET / HTTP/1.1\r\n\r\n") {
        BufferedWriter w(&sink, wbuf, sizeof(wbuf));
        return send_and_receive(w, reader, Slice{u8(request), request.size()}, nullptr, method);
    }
    // What is still unread after the response.
    std::string rest() {
        std::string out;
        while (reader.buffered() != 0) {
            Slice s;
            if (reader.peek_line(&s) != IoStatus::Ok) break;
            out += str(s.ptr, s.len);
            reader.discard(s.len);
        }
        ByteBuf b;
        EXPECT_EQ(int(reader.append_to_end(b)), int(IoStatus::Ok));
        return out + str(b.data(), b.size());
    }
};

std::string bytes(const RawResponse& r) { return str(r.bytes.data(), r.bytes.size()); }

bool reusable_for(const std::string& head) {
    Exchange ex(head + "Content-Length: 0\r\n\r\n");
    RawResponse r = ex.run();
    EXPECT_EQ(int(r.error), int(ErrorKind::None)) << head;
    return r.reusable;
}

ErrorKind error_for(const std::string& response, bool fail_at_end = false) {
    Exchange ex(std::vector<std::string>{response}, 65536, fail_at_end);
    RawResponse r = ex.run();
    if (r.error != ErrorKind::None) {
        EXPECT_TRUE(r.bytes.empty());
    }
    return r.error;
}

}  // namespace

TEST(Framing, ContentLengthLeavesPipelinedBytes) {
    const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    const std::string second = "HTTP/1.1 404 Not Found\r\ncontent-length: 0\r\n\r\n";
    Exchange ex(first + second + "tail\n");
    RawResponse r = ex.run();
    ASSERT_EQ(int(r.error), int(ErrorKind::None));
    EXPECT_EQ(bytes(r), first);
    EXPECT_EQ(r.head_len, first.size() - 5);
    EXPECT_TRUE(r.has_body);
    EXPECT_TRUE(r.reusable);
    EXPECT_EQ(ex.sink.data, "GET / HTTP/1.1\r\n\r\n");

    RawResponse r2 = ex.run();
    ASSERT_EQ(int(r2.error), int(ErrorKind::None));
    EXPECT_EQ(bytes(r2), second);
    EXPECT_EQ(ex.rest(), "tail\n");
}

TEST(Framing, ReuseVerdict) {
    EXPECT_FALSE(reusable_for("HTTP/1.0 200 OK\r\n"));
    EXPECT_TRUE(reusable_for("HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n"));
    EXPECT_TRUE(reusable_for("HTTP/1.1 200 OK\r\n"));
    EXPECT_FALSE(reusable_for("HTTP/1.1 200 OK\r\nConnection: close\r\n"));
    EXPECT_FALSE(reusable_for("HTTP/1.1 200 OK\r\nConnection: keep-alive, close\r\n"));
    EXPECT_FALSE(reusable_for("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nconnection:\tCLOSED \r\n"));
    EXPECT_FALSE(reusable_for("HTTP/1.0\r\n"));
    EXPECT_TRUE(reusable_for("http/1.0 200 OK\r\n"));
    EXPECT_TRUE(reusable_for("HTTP/1.\r\n"));
    // Bare line feeds end lines too.
    EXPECT_FALSE(reusable_for("HTTP/1.0 200 OK\nConnection: x\n"));
}

TEST(Framing, ChunkedCapturesEveryByte) {
    const std::string resp =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\nContent-Length: 10\r\n\r\n"
        "1A;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n"
        " \t1a\t \r\nABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n"
        "3\nxyzQQ"  // the two bytes after the data are not checked here
        "0;last\r\nX-Trailer: 1\r\nY: 2\n\r\n";
    for (size_t cap : {size_t(65536), size_t(40)}) {
        Exchange ex(bytewise(resp + "NEXT"), cap);
        RawResponse r = ex.run();
        ASSERT_EQ(int(r.error), int(ErrorKind::None)) << cap;
        EXPECT_EQ(bytes(r), resp);
        EXPECT_TRUE(r.reusable);
        EXPECT_EQ(ex.rest(), "NEXT");
    }
}

TEST(Framing, TrailerSectionMayEndInABareLineFeed) {
    const std::string resp = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\nT: 1\n\n";
    Exchange ex(resp + "NEXT");
    RawResponse r = ex.run();
    ASSERT_EQ(int(r.error), int(ErrorKind::None));
    EXPECT_EQ(bytes(r), resp);
    EXPECT_EQ(ex.rest(), "NEXT");
}

// Over a real socket the bytes after a body are already there when the body
// is read: the read must stop at its end, and must not wait for more.
#ifndef _WIN32  // Linux sockets; Windows reads are covered by its own tests
TEST(Framing, LargeBodiesOverASocketStopAtTheirEnd) {
    tarnix_test::Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(l.port);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int server = l.accept_one();
    ASSERT_GE(server, 0);
    timeval limit{5, 0};  // a read that waits for bytes that never come fails instead of hanging
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    std::string body(100 * 1024, '\0');
    for (size_t i = 0; i < body.size(); i++) body[i] = char('a' + i % 26);
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n19000\r\n" + body + "\r\n0\r\n\r\n";
    const std::string sized = "HTTP/1.1 200 OK\r\nContent-Length: 102400\r\n\r\n" + body;
    const std::string all = chunked + sized + "NEXT";
    std::thread writer([&] { send(server, all.data(), all.size(), MSG_NOSIGNAL); });  // stays open
    struct Finish {
        std::thread& t;
        int client, server;
        ~Finish() {
            shutdown(server, SHUT_RDWR);  // unblocks the writer when a read went wrong
            t.join();
            close(client);
            close(server);
        }
    } finish{writer, client, server};

    std::vector<uint8_t> rbuf(65536);
    FdSource source(client);
    BufferedReader reader(&source, rbuf.data(), rbuf.size());
    for (const std::string* expected : {&chunked, &sized}) {
        MemSink sink;
        RawResponse r = send_and_receive(sink, reader, Slice{u8("R"), 1}, nullptr, METHOD_GET);
        ASSERT_EQ(int(r.error), int(ErrorKind::None));
        EXPECT_TRUE(bytes(r) == *expected);
        EXPECT_TRUE(r.reusable);
    }
    uint8_t rest[8];
    EXPECT_EQ(reader.read_some(rest, sizeof rest), 4);
}
#endif

TEST(Framing, ChunkedFailures) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    EXPECT_EQ(int(error_for(head + "\r\n")), int(ErrorKind::MalformedFraming));
    EXPECT_EQ(int(error_for(head + "zz\r\n")), int(ErrorKind::MalformedFraming));
    EXPECT_EQ(int(error_for(head + "5\r\nhel")), int(ErrorKind::ConnectionReset));
    EXPECT_EQ(int(error_for(head + "5\r\nhello")), int(ErrorKind::ConnectionReset));  // line ending missing
    EXPECT_EQ(int(error_for(head + "0\r\nTrailer: x\r\n")), int(ErrorKind::ConnectionReset));
    EXPECT_EQ(int(error_for(head + "ffffffffffffffff\r\n")), int(ErrorKind::OutOfMemory));
    // A bad Content-Length fails even when chunked framing would not use it.
    EXPECT_EQ(int(error_for("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: abc\r\n\r\n0\r\n\r\n")),
              int(ErrorKind::MalformedFraming));
}

TEST(Framing, ContentLengthValues) {
    struct {
        const char* value;
        size_t body;
    } good[] = {{"+5", 5}, {"1_0", 10}, {"-0", 0}, {" \t7 ", 7}, {"5, 5", 5}, {"5 ,\t+5", 5}};
    for (const auto& g : good) {
        std::string head = "HTTP/1.1 200 OK\r\nContent-Length:" + std::string(g.value) + "\r\n\r\n";
        Exchange ex(head + std::string(20, 'b'));
        RawResponse r = ex.run();
        ASSERT_EQ(int(r.error), int(ErrorKind::None)) << g.value;
        EXPECT_EQ(r.bytes.size(), head.size() + g.body) << g.value;
    }
    for (const char* bad : {"0x10", "_5", "5_", "", "-1", "18446744073709551616", "5, 6", "5,", ",5", "5,,5"})
        EXPECT_EQ(int(error_for("HTTP/1.1 200 OK\r\nContent-Length: " + std::string(bad) + "\r\n\r\n")),
                  int(ErrorKind::MalformedFraming))
            << bad;

    // Repeated lengths must agree; their spelling may differ.
    Exchange same("HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 0_5\r\n\r\nhelloNEXT");
    ASSERT_EQ(int(same.run().error), int(ErrorKind::None));
    EXPECT_EQ(same.rest(), "NEXT");
    EXPECT_EQ(int(error_for("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!")),
              int(ErrorKind::MalformedFraming));

    // A space before the colon makes it another header: read to the end.
    const std::string spaced = "HTTP/1.1 200 OK\r\nContent-Length : 2\r\n\r\nabcdef";
    Exchange ex(spaced);
    RawResponse r = ex.run();
    ASSERT_EQ(int(r.error), int(ErrorKind::None));
    EXPECT_EQ(bytes(r), spaced);
    EXPECT_FALSE(r.reusable);
}

TEST(Framing, BodyToEndOfStream) {
    const std::string resp = "HTTP/1.1 200 OK\r\nServer: x\r\n\r\n" + std::string(200000, 'z');
    Exchange ex(resp);
    RawResponse r = ex.run();
    ASSERT_EQ(int(r.error), int(ErrorKind::None));
    EXPECT_EQ(bytes(r), resp);
    EXPECT_FALSE(r.reusable);

    // An empty first line ends the head at once.
    Exchange bare(std::vector<std::string>{"\r\n", "abc", "def"});
    r = bare.run();
    ASSERT_EQ(int(r.error), int(ErrorKind::None));
    EXPECT_EQ(bytes(r), "\r\nabcdef");
    EXPECT_EQ(r.head_len, 2u);
    EXPECT_FALSE(r.reusable);

    EXPECT_EQ(int(error_for("HTTP/1.1 200 OK\r\n\r\nabc", true)), int(ErrorKind::ConnectionReset));
}

TEST(Framing, ConnectionReset) {
    EXPECT_EQ(int(error_for("")), int(ErrorKind::ConnectionReset));
    EXPECT_EQ(int(error_for("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n")), int(ErrorKind::ConnectionReset));
    EXPECT_EQ(int(error_for("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhell")), int(ErrorKind::ConnectionReset));
    EXPECT_EQ(int(error_for("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhell", true)),
              int(ErrorKind::ConnectionReset));
    EXPECT_EQ(int(error_for("HTTP/1.1 200 OK\r\nContent-Le", true)), int(ErrorKind::ConnectionReset));
}

TEST(Framing, LineLengthLimitIsTheReaderCapacity) {
    const size_t cap = 64;
    auto response_with_line = [](size_t line_len) {
        std::string h = "X-Pad: ";
        h += std::string(line_len - h.size() - 2, 'p') + "\r\n";
        return "HTTP/1.1 200 OK\r\n" + h + "Content-Length: 1\r\n\r\n!";
    };
    for (auto pieces : {false, true}) {
        std::string fits = response_with_line(cap);
        Exchange ok(pieces ? bytewise(fits) : std::vector<std::string>{fits}, cap);
        RawResponse r = ok.run();
        EXPECT_EQ(int(r.error), int(ErrorKind::None));
        EXPECT_EQ(bytes(r), fits);

        std::string longer = response_with_line(cap + 1);
        Exchange bad(pieces ? bytewise(longer) : std::vector<std::string>{longer}, cap);
        EXPECT_EQ(int(bad.run().error), int(ErrorKind::MalformedFraming));
    }
    // The limit holds for chunk-size and trailer lines as well.
    std::string trailer = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nT: " + std::string(70, 't') + "\r\n\r\n";
    Exchange t(trailer, cap);
    EXPECT_EQ(int(t.run().error), int(ErrorKind::MalformedFraming));
}

namespace {

// `fields` header lines that come to `bytes` in all.
std::string field_lines(size_t fields, size_t bytes) {
    std::string out;
    for (size_t i = 0; i < fields; i++) {
        std::string name = "X" + std::to_string(i) + ": ";
        size_t len = (bytes - out.size()) / (fields - i);
        out += name + std::string(len - name.size() - 2, 'v') + "\r\n";
    }
    return out;
}

// A server whose head never ends: `prefix`, then `unit` over and over (up
// to 64 MiB, so that a missing cap fails the test rather than the machine).
class EndlessSource final : public ByteSource {
public:
    EndlessSource(std::string prefix, std::string unit) : text_(std::move(prefix)), unit_(std::move(unit)) {}
    ssize_t read_some(uint8_t* dst, size_t cap) override {
        if (at_ == text_.size()) text_ = unit_, at_ = 0;
        size_t n = std::min(cap, text_.size() - at_);
        if (served >= (size_t(64) << 20)) return 0;
        std::memcpy(dst, text_.data() + at_, n);
        at_ += n;
        served += n;
        return ssize_t(n);
    }
    size_t served = 0;

private:
    std::string text_, unit_;
    size_t at_ = 0;
};

}  // namespace

// Heads (interim ones included) and trailers share one budget of bytes and
// field lines; past it the response is malformed, and what was read stays
// within the budget and the reader's buffer.
TEST(Framing, HeadAndTrailerCaps) {
    const std::string status = "HTTP/1.1 200 OK\r\n", end = "Content-Length: 0\r\n\r\n";
    const size_t max_bytes = RESPONSE_HEAD_MAX_BYTES - status.size() - end.size();
    const size_t max_fields = RESPONSE_HEAD_MAX_FIELDS - 1;  // Content-Length is one
    const std::string interim = "HTTP/1.1 103 Early Hints\r\n" + field_lines(600, 9600) + "\r\n";
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n";
    const std::pair<std::string, bool> cases[] = {
        {status + field_lines(5, max_bytes) + end, true},
        {status + field_lines(5, max_bytes + 1) + end, false},
        {status + field_lines(max_fields, 20000) + end, true},
        {status + field_lines(max_fields + 1, 20000) + end, false},
        {interim + status + field_lines(max_fields - 600, 10000) + end, true},
        {interim + status + field_lines(max_fields - 599, 10000) + end, false},
        {chunked + field_lines(max_fields, 20000) + "\r\n", true},
        {chunked + field_lines(max_fields + 1, 20000) + "\r\n", false},
    };
    for (const auto& [response, ok] : cases) {
        Exchange ex(response + "NEXT");
        EXPECT_EQ(int(ex.run().error), int(ok ? ErrorKind::None : ErrorKind::MalformedFraming)) << response.size();
        if (ok) {
            EXPECT_EQ(ex.rest(), "NEXT");
        }
    }
    const std::pair<std::string, std::string> endless[] = {
        {status, "X: " + std::string(8000, 'v') + "\r\n"}, {status, "a:b\r\n"}, {"", "HTTP/1.1 100 Continue\r\n\r\n"}};
    for (const auto& [prefix, unit] : endless) {
        EndlessSource src(prefix, unit);
        std::vector<uint8_t> rbuf(65536);
        BufferedReader reader(&src, rbuf.data(), rbuf.size());
        MemSink sink;
        EXPECT_EQ(int(send_and_receive(sink, reader, Slice{u8("R"), 1}, nullptr, METHOD_GET).error),
                  int(ErrorKind::MalformedFraming)) << unit;
        EXPECT_LE(src.served, RESPONSE_HEAD_MAX_BYTES + rbuf.size()) << unit;
    }
}

TEST(Framing, BodilessResponses) {
    const std::string after = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    struct {
        uint8_t method;
        std::string head;
        bool reusable;
    } cases[] = {
        {METHOD_HEAD, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", true},
        {METHOD_HEAD, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true},
        {METHOD_HEAD, "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n", false},
        {METHOD_GET, "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", true},
        {METHOD_POST, "HTTP/1.1 304\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n", false},
        {METHOD_GET, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", false},
    };
    for (const auto& c : cases) {
        Exchange ex(c.head + after);
        RawResponse r = ex.run(c.method);
        ASSERT_EQ(int(r.error), int(ErrorKind::None)) << c.head;
        EXPECT_EQ(bytes(r), c.head);
        EXPECT_EQ(r.head_len, c.head.size());
        EXPECT_FALSE(r.has_body);
        EXPECT_EQ(r.reusable, c.reusable) << c.head;
        EXPECT_EQ(ex.rest(), after) << c.head;
    }
    EXPECT_EQ(int(Exchange("HTTP/1.1 204 No Content\r\nContent-Length: x\r\n\r\n").run().error),
              int(ErrorKind::MalformedFraming));
}

TEST(Framing, InterimResponsesAreDropped) {
    const std::string final_resp = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";
    Exchange ex(bytewise("HTTP/1.1 100 Continue\r\nConnection: close\r\n\r\n"
                         "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\nContent-Length: 9\r\n\r\n" +
                         final_resp));
    RawResponse r = ex.run(METHOD_POST);
    ASSERT_EQ(int(r.error), int(ErrorKind::None));
    EXPECT_EQ(bytes(r), final_resp);
    EXPECT_EQ(r.head_len, final_resp.size() - 2);
    EXPECT_TRUE(r.has_body);
    EXPECT_TRUE(r.reusable);  // the interim Connection: close does not carry over

    // Codes outside 100-199 and unreadable codes are framed as final responses.
    for (const char* line : {"HTTP/1.1 1000 X", "HTTP/1.1 10", "HTTP/1.1 -100", "HTTP/1.1  100", "HTTP/1.1 1 00"}) {
        std::string resp = std::string(line) + "\r\nContent-Length: 1\r\n\r\nx";
        Exchange e(resp);
        RawResponse rr = e.run();
        ASSERT_EQ(int(rr.error), int(ErrorKind::None)) << line;
        EXPECT_EQ(bytes(rr), resp) << line;
    }
    EXPECT_EQ(int(error_for("HTTP/1.1 100 Continue\r\n\r\n")), int(ErrorKind::ConnectionReset));
}

TEST(Framing, SendFailuresGiveWayToAWholeEarlyAnswer) {
    // What the server had sent when writing failed, and what comes of it.
    const struct {
        const char* sent;
        ErrorKind error;
        bool answered;
    } cases[] = {
        {"HTTP/1.1 413 Too Large\r\nContent-Length: 2\r\n\r\nno", ErrorKind::None, true},
        {"HTTP/1.1 413 Too Large\r\nContent-Length: 9\r\n\r\nno", ErrorKind::SendFailed, true},
        {"HTTP/1.1 413", ErrorKind::SendFailed, true},
        {"", ErrorKind::SendFailed, false},
    };
    for (const auto& c : cases) {
        for (bool inner_fails : {false, true}) {
            Exchange ex(std::vector<std::string>{c.sent});
            MemSink inner;
            inner.fail_flush = inner_fails;
            ex.sink.fail = !inner_fails;
            BufferedWriter w(&ex.sink, ex.wbuf, sizeof(ex.wbuf));
            std::string req = "POST / HTTP/1.1\r\n\r\n";
            RawResponse r = send_and_receive(w, ex.reader, Slice{u8(req), req.size()}, &inner, METHOD_POST);
            EXPECT_EQ(int(r.error), int(c.error)) << c.sent;
            EXPECT_EQ(r.answered, c.answered) << c.sent;
            EXPECT_FALSE(r.reusable) << c.sent;
            EXPECT_EQ(bytes(r), c.error == ErrorKind::None ? std::string(c.sent) : "") << c.sent;
        }
    }
}

TEST(Framing, RequestLeavesInOneWrite) {
    for (size_t n : {size_t(100), size_t(8192), size_t(8193), size_t(100000)}) {
        Exchange ex("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        std::string req(n, 'r');
        ASSERT_EQ(int(ex.run(METHOD_POST, req).error), int(ErrorKind::None));
        EXPECT_EQ(ex.sink.writes, 1) << n;
        EXPECT_EQ(ex.sink.data, req);
    }
}

#ifndef _WIN32
namespace {

size_t resident_bytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long size = 0, resident = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * size_t(sysconf(_SC_PAGESIZE));
}

// Serves a response head and then `trickle` body bytes, a few per read, and
// then fails, as a server that announced a huge body and went quiet would
// leave us. Every read notes how much memory the process holds by then.
class AnnouncingSource final : public ByteSource {
public:
    AnnouncingSource(std::string head, size_t trickle) : head_(std::move(head)), trickle_(trickle) {}
    ssize_t read_some(uint8_t* dst, size_t cap) override {
        size_t rss = resident_bytes();
        if (rss > peak) peak = rss;
        if (off_ < head_.size()) {
            size_t n = std::min(cap, head_.size() - off_);
            std::memcpy(dst, head_.data() + off_, n);
            off_ += n;
            return ssize_t(n);
        }
        if (sent_ >= trickle_) return -1;
        size_t n = std::min({cap, trickle_ - sent_, size_t(4096)});
        std::memset(dst, 'x', n);
        sent_ += n;
        return ssize_t(n);
    }
    size_t peak = 0;

private:
    std::string head_;
    size_t trickle_;
    size_t off_ = 0, sent_ = 0;
};

}  // namespace

// A few header bytes must not claim memory: what the capture holds follows
// what has arrived, not what the server announced.
TEST(Framing, AnnouncedLengthClaimsNoMemoryBeforeTheBytesCome) {
    const std::string heads[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000\r\n",
    };
    for (const std::string& head : heads) {
        for (size_t trickle : {size_t(0), size_t(300000)}) {
            AnnouncingSource src(head, trickle);
            std::vector<uint8_t> rbuf(65536);
            BufferedReader reader(&src, rbuf.data(), rbuf.size());
            MemSink sink;
            uint8_t wbuf[256];
            BufferedWriter w(&sink, wbuf, sizeof(wbuf));
            const std::string request = "GET / HTTP/1.1\r\n\r\n";
            const size_t before = resident_bytes();
            RawResponse r = send_and_receive(w, reader, Slice{u8(request), request.size()}, nullptr, METHOD_GET);
            EXPECT_EQ(r.error, ErrorKind::ConnectionReset) << head;
            // The bytes that came, once or twice over (growth), plus slack.
            EXPECT_LT(src.peak - before, 2 * trickle + (size_t(4) << 20)) << head << " after " << trickle;
        }
    }
}
#endif  // reads the resident size from /proc
