#include <gtest/gtest.h>

#include <string>

#include "http/request.h"
#include "http/via.h"
#include "mem_stream.h"

using namespace tarnix;
using tarnix_test::u8;

namespace {

Slice sl(const std::string& s) { return Slice{u8(s), s.size()}; }

TEST(ConnectReply, StatusAndHeadEnd) {
    struct Case {
        std::string bytes;
        ConnectReply want;
        uint16_t status;
        size_t head_len;
    } cases[] = {
        {"HTTP/1.1 200 Connection established\r\n\r\n", ConnectReply::Complete, 200, 39},
        {"HTTP/1.0 200 OK\r\nProxy-Agent: x\r\n\r\n", ConnectReply::Complete, 200, 35},
        {"HTTP/1.1 200\n\n", ConnectReply::Complete, 200, 14},
        {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\nbody",
         ConnectReply::Complete, 407, 73},
        {"HTTP/1.1 403 Forbidden\r\n", ConnectReply::Incomplete, 0, 0},
        {"HTTP/1.", ConnectReply::Incomplete, 0, 0},
        {"HTTP/1.1 200 OK\r\nX: y\r\n", ConnectReply::Incomplete, 0, 0},
        {"SSH-2.0-OpenSSH_9.2\r\n\r\n", ConnectReply::Malformed, 0, 0},
        {"HTTP/2 200\r\n\r\n", ConnectReply::Malformed, 0, 0},
        {"HTTP/1.1 20x OK\r\n\r\n", ConnectReply::Malformed, 0, 0},
        {"HTTP/1.1 2000 OK\r\n\r\n", ConnectReply::Malformed, 0, 0},
        {"HTTP/1.1 099 OK\r\n\r\n", ConnectReply::Malformed, 0, 0},
        {std::string("HTTP/1.1 200 OK\r\nX: \0\r\n\r\n", 25), ConnectReply::Malformed, 0, 0},
    };
    for (const Case& c : cases) {
        uint16_t status = 0;
        size_t head_len = 0;
        EXPECT_EQ(parse_connect_reply(u8(c.bytes), c.bytes.size(), &status, &head_len), c.want) << c.bytes;
        if (c.want == ConnectReply::Complete) {
            EXPECT_EQ(status, c.status) << c.bytes;
            EXPECT_EQ(head_len, c.head_len) << c.bytes;
        }
    }
}

TEST(ConnectRequest, AuthorityCredentialsAndRefusals) {
    uint8_t buf[512];
    size_t len = 0;
    auto build = [&](const std::string& host, uint16_t port, const std::string& auth) {
        return build_connect_request(sl(host), port, sl(auth), buf, sizeof buf, &len) ? std::string(buf, buf + len)
                                                                                      : std::string("refused");
    };
    EXPECT_EQ(build("example.com", 443, ""),
              "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\nUser-Agent: tarnix/0.1\r\n\r\n");
    EXPECT_EQ(build("::1", 8443, "Basic dTpw"),
              "CONNECT [::1]:8443 HTTP/1.1\r\nHost: [::1]:8443\r\nProxy-Authorization: Basic dTpw\r\n"
              "User-Agent: tarnix/0.1\r\n\r\n");
    // Nothing the origin's name or the credentials carry may end a line.
    EXPECT_EQ(build("evil.com\r\nX: y", 443, ""), "refused");
    EXPECT_EQ(build("a b", 443, ""), "refused");
    EXPECT_EQ(build("example.com", 443, "Basic x\r\nX: y"), "refused");
    EXPECT_EQ(build("example.com", 443, std::string(600, 'a')), "refused");
}

TEST(ForwardedRequest, CallerHostAndProxyCredentials) {
    const std::string target = "http://origin.test:8080/x?y";
    const std::string host_name = "Host", host_value = "origin.test:8080";
    HeaderEntry h{u8(host_name), host_name.size(), u8(host_value), host_value.size()};
    const std::string auth = "Basic dTpw";
    RequestParts p{METHOD_GET, sl(target), Slice{}, 0, &h, 1, Slice{}, false, true, sl(auth)};
    uint8_t buf[512];
    OwnedBytes spill;
    Slice head = build_request_head(p, buf, sizeof buf, &spill);
    EXPECT_EQ(tarnix_test::str(head.ptr, head.len),
              "GET http://origin.test:8080/x?y HTTP/1.1\r\nConnection: keep-alive\r\n"
              "Proxy-Authorization: Basic dTpw\r\nHost: origin.test:8080\r\nUser-Agent: tarnix/0.1\r\n\r\n");
    const std::string bad = "Basic x\r\nX: y";
    p.proxy_authorization = sl(bad);
    bool refused = false;
    EXPECT_EQ(build_request_head(p, buf, sizeof buf, &spill, &refused).ptr, nullptr);
    EXPECT_TRUE(refused);
}

}  // namespace
