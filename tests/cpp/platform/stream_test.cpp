#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "mem_stream.h"
#include "platform/net.h"
#include "platform/stream.h"

using namespace tarnix;
using tarnix_test::MemSink;
using tarnix_test::MemSource;
using tarnix_test::str;
using tarnix_test::u8;

TEST(Stream, AppendExactSmallAndLarge) {
    std::string body(300000, '\0');
    for (size_t i = 0; i < body.size(); i++) body[i] = char(i * 7);
    MemSource src(std::vector<std::string>{"ab", "cdefgh", body.substr(0, 1000), body.substr(1000), "NEXT\n"});
    uint8_t buf[64];
    BufferedReader r(&src, buf, sizeof(buf));
    ByteBuf out;
    ASSERT_EQ(int(r.append_exact(out, 3)), int(IoStatus::Ok));
    ASSERT_EQ(int(r.append_exact(out, 5)), int(IoStatus::Ok));
    ASSERT_EQ(int(r.append_exact(out, body.size())), int(IoStatus::Ok));
    EXPECT_EQ(str(out.data(), out.size()), "abcdefgh" + body);
    Slice line;
    ASSERT_EQ(int(r.peek_line(&line)), int(IoStatus::Ok));
    EXPECT_EQ(str(line.ptr, line.len), "NEXT\n");
    r.discard(line.len);
    EXPECT_EQ(int(r.append_exact(out, 1)), int(IoStatus::EndOfStream));
    EXPECT_EQ(int(r.append_exact(out, UINT64_MAX)), int(IoStatus::OutOfMemory));
}

TEST(Stream, PeekLineStatuses) {
    MemSource src(std::vector<std::string>{"abc"}, true);
    uint8_t buf[16];
    BufferedReader r(&src, buf, sizeof(buf));
    Slice line;
    EXPECT_EQ(int(r.peek_line(&line)), int(IoStatus::ReadFailed));

    MemSource eos("abc");
    BufferedReader r2(&eos, buf, sizeof(buf));
    EXPECT_EQ(int(r2.peek_line(&line)), int(IoStatus::EndOfStream));

    // Unread bytes move to the front when a line straddles the buffer's end.
    MemSource wrap(std::vector<std::string>{"0123456789\n01234", "5678\nx"});
    BufferedReader r3(&wrap, buf, sizeof(buf));
    ASSERT_EQ(int(r3.peek_line(&line)), int(IoStatus::Ok));
    r3.discard(line.len);
    ASSERT_EQ(int(r3.peek_line(&line)), int(IoStatus::Ok));
    EXPECT_EQ(str(line.ptr, line.len), "012345678\n");
}

TEST(Stream, WriterBuffersSmallWritesAndPassesLargeOnes) {
    MemSink sink;
    uint8_t buf[16];
    BufferedWriter w(&sink, buf, sizeof(buf));
    ASSERT_TRUE(w.write_all(u8("hello "), 6));
    ASSERT_TRUE(w.write_all(u8("world"), 5));
    EXPECT_EQ(sink.writes, 0);
    std::string big(40, 'B');
    ASSERT_TRUE(w.write_all(u8(big), big.size()));
    EXPECT_EQ(sink.writes, 2);  // pending bytes, then the large write whole
    ASSERT_TRUE(w.write_all(u8("tail"), 4));
    ASSERT_TRUE(w.flush());
    EXPECT_EQ(sink.writes, 3);
    EXPECT_EQ(sink.data, "hello world" + big + "tail");
    sink.fail = true;
    ASSERT_TRUE(w.write_all(u8("x"), 1));
    EXPECT_FALSE(w.flush());
}

#ifndef _WIN32  // Unix socket pairs; Windows reads are covered by its own tests
TEST(Stream, SocketsEndCleanlyAndNeverRaiseSigpipe) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    FdSink sink(fds[0]);
    FdSource source(fds[1]);
    ASSERT_TRUE(sink.write_all(u8("ping"), 4));
    uint8_t buf[8];
    ASSERT_EQ(source.read_some(buf, sizeof(buf)), 4);
    close(fds[1]);
    // Writing to a closed peer fails instead of killing the process.
    std::string chunk(1 << 16, 'x');
    bool ok = true;
    for (int i = 0; i < 8 && ok; i++) ok = sink.write_all(u8(chunk), chunk.size());
    EXPECT_FALSE(ok);
    close(fds[0]);

    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[0]);
    FdSource ended(fds[1]);
    EXPECT_EQ(ended.read_some(buf, sizeof(buf)), 0);
    close(fds[1]);
}

// A small send buffer makes the kernel take each gathered write in parts,
// stopping inside either piece.
TEST(Stream, GatheredWritesSurvivePartialSends) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string got;
    std::thread reader([&] {
        char buf[3000];  // short reads keep the sender's sends partial
        for (ssize_t n; (n = read(fds[1], buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    });
    std::string a(100000, '\0'), b(300000, '\0'), head = "HEAD", body(50000, '\0');
    for (size_t i = 0; i < a.size(); i++) a[i] = char('a' + i % 23);
    for (size_t i = 0; i < b.size(); i++) b[i] = char('A' + i % 19);
    for (size_t i = 0; i < body.size(); i++) body[i] = char('0' + i % 7);
    EXPECT_TRUE(socket_send_pair(fds[0], u8(a), a.size(), u8(b), b.size()));
    EXPECT_TRUE(socket_send_pair(fds[0], u8(a), 0, u8(b), 0));
    // A buffered head and a body too big to join it go out behind it.
    FdSink sink(fds[0]);
    uint8_t wbuf[64];
    BufferedWriter w(&sink, wbuf, sizeof wbuf);
    EXPECT_TRUE(w.write_all(u8(head), head.size()));
    EXPECT_TRUE(w.write_all(u8(body), body.size()));
    EXPECT_EQ(w.pending(), 0u);
    EXPECT_TRUE(w.flush());
    shutdown(fds[0], SHUT_WR);
    reader.join();
    EXPECT_TRUE(got == a + b + head + body);
    close(fds[0]);
    close(fds[1]);
}
#endif
