#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "http/decode.h"
#include "http/framing.h"
#include "http/request.h"
#include "mem_stream.h"

using namespace tarnix;
using tarnix_test::MemSink;
using tarnix_test::MemSource;
using tarnix_test::str;
using tarnix_test::u8;

namespace {

// Frames the response as the exchange would, then decodes the capture.
struct Decoded {
    RawResponse raw;
    DecodedResponse d;
    bool ok = false;
    size_t unread = 0;  // bytes the framing left in the reader

    explicit Decoded(const std::string& response, uint8_t method = METHOD_GET) {
        MemSource src(response);
        std::vector<uint8_t> rbuf(65536);
        BufferedReader reader(&src, rbuf.data(), rbuf.size());
        MemSink sink;
        std::string req = "R";
        raw = send_and_receive(sink, reader, Slice{u8(req), req.size()}, nullptr, method);
        EXPECT_EQ(int(raw.error), int(ErrorKind::None)) << response;
        unread = reader.buffered();
        ok = decode_response(raw.bytes.data(), raw.bytes.size(), raw.head_len, raw.has_body, &d);
    }
    std::string body() const { return str(d.body, d.body_len); }
    std::string name(size_t i) const { return str(d.headers[i].name, d.headers[i].name_len); }
    std::string value(size_t i) const { return str(d.headers[i].value, d.headers[i].value_len); }
};

bool decodes_raw(std::string bytes, size_t head_len, bool has_body = true) {
    DecodedResponse d;
    return decode_response(reinterpret_cast<uint8_t*>(&bytes[0]), bytes.size(), head_len, has_body, &d);
}

}  // namespace

TEST(Decode, IdentityBodyIsASlice) {
    Decoded r("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.d.status, 200);
    ASSERT_EQ(r.d.header_count, 1u);
    EXPECT_EQ(r.name(0), "Content-Length");
    EXPECT_EQ(r.value(0), "5");
    EXPECT_EQ(r.body(), "hello");
    EXPECT_EQ(r.d.body, r.raw.bytes.data() + r.raw.head_len);

    Decoded only_status("HTTP/1.1 200 OK\r\n\r\nto the end");
    ASSERT_TRUE(only_status.ok);
    EXPECT_EQ(only_status.d.header_count, 0u);
    EXPECT_EQ(only_status.body(), "to the end");

    Decoded identity("HTTP/1.1 200 OK\r\nTransfer-Encoding: IDENTITY\r\nContent-Length: 2\r\n\r\nhi");
    ASSERT_TRUE(identity.ok);
    EXPECT_EQ(identity.body(), "hi");
}

TEST(Decode, StatusCode) {
    struct {
        const char* line;
        int status;  // -1: malformed
    } cases[] = {{"HTTP/1.1 204", 204},       {"HTTP/1.1 200 OK", 200},   {"HTTP/1.1 +200 OK", 200},
                 {"HTTP/1.1 2_00 OK", 200},   {"HTTP/1.1 999 X", 999},    {"HTTP/1.1 65535 X", 65535},
                 {"HTTP/1.1 65536 X", -1},    {"HTTP/1.1  200 OK", -1},   {"HTTP/1.1", -1},
                 {"HTTP/1.1 abc", -1},        {"HTTP/1.1 ", -1}};
    for (const auto& c : cases) {
        Decoded r(std::string(c.line) + "\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(r.ok, c.status >= 0) << c.line;
        if (r.ok) {
            EXPECT_EQ(r.d.status, c.status) << c.line;
        }
    }
}

TEST(Decode, HeaderLines) {
    Decoded r("HTTP/1.1 200 OK\r\nX-A:  one \t\r\nx-a:two\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n"
              "Content-Length: 0\r\n\r\n");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.d.header_count, 5u);
    EXPECT_EQ(r.name(0), "X-A");
    EXPECT_EQ(r.value(0), "one \t");
    EXPECT_EQ(r.name(1), "x-a");
    EXPECT_EQ(r.value(1), "two");
    EXPECT_EQ(r.value(3), "b=2");

    EXPECT_FALSE(Decoded("HTTP/1.1 200 OK\r\nNoColon\r\nContent-Length: 0\r\n\r\n").ok);
    // Framing trims the value, decoding does not.
    EXPECT_FALSE(Decoded("HTTP/1.1 200 OK\r\nContent-Length: 0 \r\n\r\n").ok);

    std::string many = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 999; i++) many += "H" + std::to_string(i) + ": v\r\n";
    Decoded m(many + "Content-Length: 0\r\n\r\n");  // as many lines as framing allows
    ASSERT_TRUE(m.ok);
    ASSERT_EQ(m.d.header_count, 1000u);
    EXPECT_EQ(m.name(998), "H998");
}

TEST(Decode, TransferCodings) {
    Decoded r("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nContent-Length: 99\r\n\r\n"
              "5\r\nhello\r\n3;x=y\r\n, w\r\n0\r\nTrailer: t\r\n\r\n");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body(), "hello, w");
    // De-chunked where it was captured: no second copy of the body.
    EXPECT_EQ(r.d.body, r.raw.bytes.data() + r.raw.head_len);
    EXPECT_EQ(r.d.header_count, 2u);  // the trailer is not a header

    Decoded empty("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n");
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(empty.d.body_len, 0u);

    // Chunks of every size, a large one among them, come out whole and in order.
    std::string wire, want;
    for (size_t size : {size_t(1), size_t(2), size_t(300000), size_t(15), size_t(4096)}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = char('a' + (want.size() + i) % 26);
        char line[32];
        std::snprintf(line, sizeof(line), "%zx\r\n", size);
        wire += line + data + "\r\n";
        want += data;
    }
    Decoded big("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + wire + "0\r\n\r\n");
    ASSERT_TRUE(big.ok);
    EXPECT_TRUE(big.body() == want);

    for (const char* te : {"gzip, chunked", "chunked ", "gzip", "", "chunked, identity"})
        EXPECT_FALSE(Decoded("HTTP/1.1 200 OK\r\nTransfer-Encoding: " + std::string(te) + "\r\n\r\n0\r\n\r\n").ok)
            << te;
    // Data not followed by CRLF (framing does not check those bytes).
    EXPECT_FALSE(Decoded("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcXY0\r\n\r\n").ok);

    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    EXPECT_FALSE(decodes_raw(head + "5\r\nhello\r\n", head.size()));  // no zero-size chunk
    EXPECT_FALSE(decodes_raw(head + "5\r\nhel", head.size()));
    EXPECT_FALSE(decodes_raw(head + "5", head.size()));
    EXPECT_TRUE(decodes_raw(head + "0\r\n", head.size()));
}

TEST(Decode, HeadEndsWhereFramingEndedIt) {
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    EXPECT_TRUE(decodes_raw(ok, ok.size() - 3));
    EXPECT_FALSE(decodes_raw(ok, ok.size() - 2));
    EXPECT_FALSE(decodes_raw(ok, ok.size() - 4));
    EXPECT_FALSE(decodes_raw(ok, ok.size() + 1));
    EXPECT_FALSE(decodes_raw(ok, 0));
    // Announced length beyond the captured bytes.
    const std::string shorter = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabc";
    EXPECT_FALSE(decodes_raw(shorter, shorter.size() - 3));

    // A head of bare line feeds must not borrow the body's blank line.
    Decoded bare("HTTP/1.1 200 OK\nContent-Length: 9\n\nX: y\r\n\r\nz");
    EXPECT_EQ(bare.raw.head_len, 35u);
    EXPECT_FALSE(bare.ok);
}

// A head is refused whole for a NUL, a bare CR or LF anywhere in it (they
// would reach a header value), or two lengths that disagree. Other control
// bytes pass, and so do equal lengths.
TEST(Decode, RefusedHeads) {
    const std::pair<std::string, bool> cases[] = {
        {std::string("X: a\0b\r\n", 8), false},
        {"X: a\rb\r\n", false},
        {"X: a\r\r\n", false},
        {"Set-Cookie: a=b\nX-Injected: 1\r\n", false},
        {"Content-Length: 3\r\nContent-Length: 2\r\n", false},
        {"Content-Length: 3, 2\r\n", false},
        {"X: a\tb\x01\x7f\xff\r\n", true},
        {"Content-Length: 2 , 2\r\nContent-Length: +2\r\n", true},
    };
    for (const auto& [lines, ok] : cases) {
        const std::string r = "HTTP/1.1 200 OK\r\n" + lines + "\r\nab";
        EXPECT_EQ(decodes_raw(r, r.size() - 2), ok) << lines;
    }
    // The status line too, whichever pass ends it.
    EXPECT_FALSE(Decoded("HTTP/1.1 200 OK\nContent-Length: 2\r\n\r\nhi").ok);
}

TEST(Decode, BodilessResponses) {
    Decoded head_resp("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: gzip\r\n\r\n", METHOD_HEAD);
    ASSERT_TRUE(head_resp.ok);
    EXPECT_EQ(head_resp.d.header_count, 2u);
    EXPECT_EQ(head_resp.d.body_len, 0u);

    Decoded not_modified("HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n");
    ASSERT_TRUE(not_modified.ok);
    EXPECT_EQ(not_modified.d.status, 304);
    EXPECT_EQ(not_modified.d.body_len, 0u);

    const std::string bad_length = "HTTP/1.1 204 No Content\r\nContent-Length: 5 \r\n\r\n";
    EXPECT_FALSE(decodes_raw(bad_length, bad_length.size(), false));
}

// Both passes read the code by the same rule, so a code written with a sign,
// leading zeros or '_' gets the same answer on whether a body follows.
TEST(Decode, FramingAgreesOnTheStatusCode) {
    const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";
    for (const char* head : {"HTTP/1.1 0204\r\n\r\n", "HTTP/1.1 +204 No Content\r\nContent-Length: 2\r\n\r\n",
                             "HTTP/1.1 3_04\r\nTransfer-Encoding: chunked\r\n\r\n"}) {
        Decoded r(head + next);
        ASSERT_TRUE(r.ok) << head;
        EXPECT_TRUE(r.d.status == 204 || r.d.status == 304) << head;
        EXPECT_EQ(r.d.body_len, 0u) << head;
        EXPECT_TRUE(r.raw.reusable) << head;
        EXPECT_EQ(r.unread, next.size()) << head;
    }
    // An interim code in another spelling is still interim.
    Decoded interim("HTTP/1.1 +1_00 Continue\r\n\r\n" + next);
    ASSERT_TRUE(interim.ok);
    EXPECT_EQ(interim.d.status, 200);
    EXPECT_EQ(interim.body(), "hi");
}

// A status line that a bare LF ends: framing reads the code from that line
// alone; decoding must never read it from a later line.
TEST(Decode, FramingAgreesOnAStatusLineEndedByABareLf) {
    Decoded no_code("HTTP/1.1\nX-Note: 204\r\nContent-Length: 2\r\n\r\nhi");
    EXPECT_TRUE(no_code.raw.has_body);
    EXPECT_FALSE(no_code.ok);
}
