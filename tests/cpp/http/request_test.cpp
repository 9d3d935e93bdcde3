#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/request.h"
#include "mem_stream.h"

using namespace tarnix;
using tarnix_test::u8;

namespace {

struct Req {
    uint8_t method = METHOD_GET;
    std::string target = "/x", host = "10.0.0.5";
    uint16_t port = 8080;
    bool tls = false;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::string build(bool* refused = nullptr) const {
        std::vector<HeaderEntry> hs;
        for (const auto& h : headers) hs.push_back({u8(h.first), h.first.size(), u8(h.second), h.second.size()});
        RequestParts p{method, {u8(target), target.size()}, {u8(host), host.size()}, port, hs.data(), hs.size(),
                       {u8(body), body.size()}, tls};
        // Small enough for the caller's buffer, or not: the same bytes.
        uint8_t small[64];
        OwnedBytes spill;
        Slice head = build_request_head(p, small, sizeof small, &spill, refused);
        if (refused != nullptr && *refused) {
            EXPECT_EQ(head.ptr, nullptr);
            EXPECT_TRUE(spill.empty());
            return "";
        }
        EXPECT_NE(head.ptr, nullptr);
        EXPECT_EQ(spill.empty(), head.ptr == small);
        return tarnix_test::str(head.ptr, head.len) + body;
    }
};

const char* const TAIL = "Connection: keep-alive\r\nUser-Agent: tarnix/0.1\r\n\r\n";

}  // namespace

TEST(Request, ExactBytes) {
    Req get;
    EXPECT_EQ(get.build(), "GET /x HTTP/1.1\r\nHost: 10.0.0.5:8080\r\n" + std::string(TAIL));

    Req post;
    post.method = METHOD_POST;
    post.port = 443;
    post.tls = true;
    post.headers = {{"Content-Type", "text/plain"}};
    post.body = "abc";
    EXPECT_EQ(post.build(),
              "POST /x HTTP/1.1\r\nHost: 10.0.0.5\r\nConnection: keep-alive\r\nContent-Type: text/plain\r\n"
              "User-Agent: tarnix/0.1\r\nContent-Length: 3\r\n\r\nabc");

    Req empty_target;
    empty_target.target = "";
    empty_target.port = 80;
    EXPECT_EQ(empty_target.build(), "GET  HTTP/1.1\r\nHost: 10.0.0.5\r\n" + std::string(TAIL));
}

TEST(Request, HostHeader) {
    Req r;
    r.host = "::1";
    EXPECT_EQ(r.build().substr(0, 37), "GET /x HTTP/1.1\r\nHost: [::1]:8080\r\nCo");
    r.port = 443;
    r.tls = true;
    EXPECT_NE(r.build().find("\r\nHost: [::1]\r\n"), std::string::npos);
    r.host = "::ffff:127.0.0.1";
    EXPECT_NE(r.build().find("\r\nHost: [::ffff:127.0.0.1]\r\n"), std::string::npos);
    // Not a literal: written as given.
    r.host = "fe80::1%2";
    EXPECT_NE(r.build().find("\r\nHost: fe80::1%2\r\n"), std::string::npos);
    r.host = "localhost";
    r.port = 65535;
    EXPECT_NE(r.build().find("\r\nHost: localhost:65535\r\n"), std::string::npos);
    r.port = 1;
    EXPECT_NE(r.build().find("\r\nHost: localhost:1\r\n"), std::string::npos);
    // Only the scheme's own default port is left out.
    const struct { bool tls; uint16_t port; const char* host; } kPorts[] = {
        {false, 80, "localhost"}, {false, 443, "localhost:443"}, {true, 443, "localhost"}, {true, 80, "localhost:80"}};
    for (const auto& c : kPorts) {
        r.tls = c.tls;
        r.port = c.port;
        EXPECT_NE(r.build().find(std::string("\r\nHost: ") + c.host + "\r\n"), std::string::npos) << c.host;
    }
}

TEST(Request, CallerHeadersDecideEngineHeaders) {
    Req r;
    r.method = METHOD_PUT;
    r.body = "hello";
    r.headers = {{"USER-AGENT", "me"}, {"content-length", "99"}, {"Host", "other"}};
    EXPECT_EQ(r.build(),
              "PUT /x HTTP/1.1\r\nHost: 10.0.0.5:8080\r\nConnection: keep-alive\r\nUSER-AGENT: me\r\n"
              "content-length: 99\r\nHost: other\r\n\r\nhello");

    // Near misses are ordinary headers.
    r.headers = {{"User-Agent-", "x"}, {"Content-Length2", "1"}};
    std::string s = r.build();
    EXPECT_NE(s.find("User-Agent: tarnix/0.1\r\nContent-Length: 5\r\n\r\nhello"), std::string::npos);

    Req empty_post;
    empty_post.method = METHOD_POST;
    EXPECT_EQ(empty_post.build().find("Content-Length"), std::string::npos);

    Req head;
    head.method = METHOD_HEAD;
    head.body = std::string(70000, 'b');
    s = head.build();
    EXPECT_EQ(s.rfind("HEAD /x", 0), 0u);
    EXPECT_NE(s.find("\r\nContent-Length: 70000\r\n\r\nbbb"), std::string::npos);
    EXPECT_EQ(s.size(), s.find("\r\n\r\n") + 4 + 70000);
}

TEST(Request, MethodNames) {
    const char* want[] = {"GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS"};
    for (uint8_t m = 0; m < METHOD_COUNT; m++) {
        Req r;
        r.method = m;
        EXPECT_EQ(r.build().rfind(std::string(want[m]) + " /x HTTP/1.1\r\n", 0), 0u);
    }
    RequestParts bad{METHOD_COUNT, {}, {}, 80, nullptr, 0, {}};
    uint8_t buf[64];
    OwnedBytes spill;
    EXPECT_EQ(build_request_head(bad, buf, sizeof buf, &spill).ptr, nullptr);
    EXPECT_TRUE(spill.empty());
}

// Whatever the caller, nothing that could end a line or split the request
// line is written.
TEST(Request, RefusesLineBreaksAndSplitTargets) {
    std::vector<Req> bad(6);
    bad[0].target = "/a b";
    bad[1].target = "/a\r\nX: 1";
    bad[2].host = "h\r\nX: 1";
    bad[3].headers = {{"", "v"}};
    bad[4].headers = {{"X Y", "v"}};
    bad[5].headers = {{"X", std::string("a\0b", 3)}};
    for (size_t i = 0; i < bad.size(); i++) {
        bool refused = false;
        bad[i].build(&refused);
        EXPECT_TRUE(refused) << i;
    }
}
