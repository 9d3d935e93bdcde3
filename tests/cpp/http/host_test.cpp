#include <gtest/gtest.h>

#include "platform/socket_types.h"
#include <cstring>
#include <string>

#include "http/host.h"
#include "mem_stream.h"

using namespace tarnix;
using tarnix_test::u8;

namespace {
bool v4(const std::string& s, in_addr* a) { return parse_ipv4_literal(u8(s), s.size(), a); }
bool v6(const std::string& s, in6_addr* a) { return parse_ipv6_literal(u8(s), s.size(), a); }
bool name(const std::string& s) { return is_valid_host_name(u8(s), s.size()); }
}  // namespace

TEST(Host, Ipv4Literal) {
    in_addr a{};
    ASSERT_TRUE(v4("127.0.0.1", &a));
    EXPECT_EQ(a.s_addr, htonl(0x7f000001));
    ASSERT_TRUE(v4("255.0.10.0", &a));
    EXPECT_EQ(a.s_addr, htonl(0xff000a00));
    for (const char* bad : {"127.000.0.1", "01.2.3.4", "256.1.1.1", "1.2.3", "1.2.3.4.", "1..2.3", "1.2.3.4.5",
                            "1234.1.1.1", "", "1.2.3.-4", " 1.2.3.4", "1.2.3.4 "})
        EXPECT_FALSE(v4(bad, &a)) << bad;
}

TEST(Host, Ipv6Literal) {
    for (const char* good : {"::1", "::", "1::", "fe80::1", "2001:DB8:0:0:0:0:0:1", "1:2:3:4:5:6:7::",
                             "::2:3:4:5:6:7:8", "a:b::c:d", "ffff:FFFF::"}) {
        in6_addr got{}, want{};
        ASSERT_TRUE(v6(good, &got)) << good;
        ASSERT_EQ(inet_pton(AF_INET6, good, &want), 1) << good;
        EXPECT_EQ(std::memcmp(&got, &want, sizeof(got)), 0) << good;
    }
    in6_addr m{}, want{};
    ASSERT_TRUE(v6("::FFFF:10.1.2.3", &m));
    ASSERT_EQ(inet_pton(AF_INET6, "::ffff:10.1.2.3", &want), 1);
    EXPECT_EQ(std::memcmp(&m, &want, sizeof(m)), 0);

    for (const char* bad : {"[::1]", "fe80::1%2", "fe80::1%eth0", ":::", "1:::2", "1::2::3", "12345::", ":1", "1:",
                            "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8::", "1:2:3:4::5:6:7:8", "1:2:3:4:5:6:7",
                            "::ffff:01.2.3.4", "::1.2.3.4", "::ffff:1.2.3", "g::1", "", ":"}) {
        in6_addr a{};
        EXPECT_FALSE(v6(bad, &a)) << bad;
    }
}

TEST(Host, NameSyntax) {
    EXPECT_TRUE(name("localhost"));
    EXPECT_TRUE(name("example.com."));
    EXPECT_TRUE(name("127.000.0.1"));
    EXPECT_TRUE(name("a-b.c9"));
    EXPECT_TRUE(name(std::string(63, 'a') + ".b"));
    std::string max_len;  // 255 bytes in labels of 63
    while (max_len.size() < 255) max_len += (max_len.empty() ? "" : ".") + std::string(63, 'x');
    max_len.resize(255);
    EXPECT_TRUE(name(max_len));
    EXPECT_TRUE(name(max_len + "."));

    for (const std::string& bad :
         {std::string(""), std::string("."), std::string("a..b"), std::string("a_b"), std::string("-a"),
          std::string("a-"), std::string("a.-b"), std::string(64, 'a'), std::string("a b"), std::string("[::1]"),
          std::string("::1"), std::string("fe80::1%2"), std::string("a.."), max_len + "x"})
        EXPECT_FALSE(name(bad)) << bad;
}
