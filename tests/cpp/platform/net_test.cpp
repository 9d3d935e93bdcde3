#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#endif

#include "http/connection.h"
#include "platform/net.h"
#include "test_net_util.h"

using namespace tarnix;
using namespace tarnix_test;

namespace {

std::string addr_text(const sockaddr_storage& a) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, buf, sizeof(buf));
    else
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, buf, sizeof(buf));
    return buf;
}

uint16_t addr_port(const sockaddr_storage& a) {
    return ntohs(a.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(a).sin_port
                                        : reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
}

size_t lookup(const std::string& text, const char* name, sockaddr_storage* out, size_t max = 8) {
    return hosts_lookup(text.data(), text.size(), name, 8080, out, max);
}

ErrorKind connect_text(const char* host, uint16_t port, Stream* s) {
    return connect_host(slice_of(host), port, s);
}

// Points the resolver at a hosts file written here and a DNS stand-in that
// answers 127.0.0.3 and counts its calls; restores both afterwards.
class OwnResolver {
public:
    explicit OwnResolver(const std::string& hosts_text) {
        path_ = temp_file_with(hosts_text);
        EXPECT_FALSE(path_.empty());
        dns_calls = 0;
        set_resolver_sources(path_.c_str(), fake_dns);
    }
    ~OwnResolver() {
        set_resolver_sources(nullptr, nullptr);
        std::remove(path_.c_str());
    }
    std::vector<std::string> resolve(const char* name) {
        sockaddr_storage out[8];
        size_t n = resolve_addresses(name, 8080, out, 8);
        std::vector<std::string> v;
        for (size_t i = 0; i < n; ++i) v.push_back(addr_text(out[i]));
        return v;
    }
    static inline int dns_calls = 0;

private:
    static size_t fake_dns(const char*, uint16_t port, sockaddr_storage* out, size_t max) {
        ++dns_calls;
        if (max == 0) return 0;
        out[0] = sockaddr_storage{};
        auto* a = reinterpret_cast<sockaddr_in*>(&out[0]);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.3", &a->sin_addr);
        return 1;
    }
    std::string path_;
};

}  // namespace

TEST(Resolver, HostsFileThenLoopbackRuleThenDns) {
    using V = std::vector<std::string>;
    OwnResolver r("127.0.0.2 listed.localhost listed.test\n");
    EXPECT_EQ(r.resolve("listed.localhost"), V{"127.0.0.2"});  // the file beats the loopback rule
    EXPECT_EQ(r.resolve("listed.test"), V{"127.0.0.2"});
    EXPECT_EQ(OwnResolver::dns_calls, 0);
    EXPECT_EQ(r.resolve("other.localhost"), (V{"127.0.0.1", "::1"}));  // the rule beats DNS
    EXPECT_EQ(OwnResolver::dns_calls, 0);
    EXPECT_EQ(r.resolve("other.test"), V{"127.0.0.3"});
    EXPECT_EQ(OwnResolver::dns_calls, 1);
}

// Both loopback families listen on the port, so both attempts can succeed:
// the one that loses is closed, every time.
TEST(Connect, NoSocketLeftWhenTwoAttemptsSucceed) {
    Listener v4(AF_INET);
    ASSERT_TRUE(v4.ok());
    int fd6 = open_tcp_socket(AF_INET6);
    if (fd6 < 0) GTEST_SKIP() << "no IPv6";
    int on = 1;
    setsockopt(fd6, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof(on));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(v4.port);
    if (bind(fd6, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd6, 64) != 0) {
        close_socket(fd6);
        GTEST_SKIP() << "no IPv6 loopback on the port";
    }
    OwnResolver r("127.0.0.1 both.test\n::1 both.test\n");
    const size_t before = open_descriptors();
    for (int i = 0; i < 20; ++i) {
        Stream s;
        ASSERT_EQ(resolve_and_connect("both.test", v4.port, &s), ResolveResult::Connected);
        socket_close(s.fd);
        // Keep the listen queues short.
        for (int l : {v4.fd, fd6})
            while (readable_now(l)) close_socket(accept_socket(l));
    }
    EXPECT_EQ(open_descriptors(), before);
    close_socket(fd6);
}

TEST(HostsFile, CanonicalNamesAliasesAndComments) {
    const std::string text =
        "# a comment line\n"
        "\n"
        "127.0.0.1\tlocalhost\n"
        "10.0.0.5   Web.Example.test  www   # trailing comment names-in-comment\n"
        "  fd00::5  web.example.test\r\n"
        "fe80::1%1  linklocal\n"
        "not-an-address   bogus\n"
        "10.0.0.6 names-in-comment2#names-in-comment\n"
        "10.0.0.7";  // last line without a newline and without names
    sockaddr_storage out[8];

    ASSERT_EQ(lookup(text, "web.example.test", out), 2u);
    EXPECT_EQ(addr_text(out[0]), "10.0.0.5");
    EXPECT_EQ(addr_text(out[1]), "fd00::5");
    EXPECT_EQ(addr_port(out[0]), 8080);
    EXPECT_EQ(addr_port(out[1]), 8080);

    ASSERT_EQ(lookup(text, "WWW", out), 1u);  // alias, other case
    EXPECT_EQ(addr_text(out[0]), "10.0.0.5");
    ASSERT_EQ(lookup(text, "web.example.test.", out), 2u);  // absolute form
    ASSERT_EQ(lookup(text, "linklocal", out), 1u);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6&>(out[0]).sin6_scope_id, 1u);

    EXPECT_EQ(lookup(text, "names-in-comment", out), 0u);
    EXPECT_EQ(lookup(text, "names-in-comment2", out), 1u);
    EXPECT_EQ(lookup(text, "bogus", out), 0u);
    EXPECT_EQ(lookup(text, "web.example", out), 0u);  // no partial matches
    EXPECT_EQ(lookup(text, "10.0.0.7", out), 0u);     // addresses are not names
    EXPECT_EQ(lookup(text, "web.example.test", out, 1), 1u);
}

TEST(HostsFile, RepeatedAddressIsTriedOnce) {
    sockaddr_storage out[8];
    EXPECT_EQ(lookup("127.0.0.1 a\n127.0.0.1 a b\n::1 a\n", "a", out), 2u);
}

TEST(LoopbackNames, Rule) {
    for (const char* yes : {"localhost", "localhost.", "app.localhost", "a.b.localhost.", ".localhost"})
        EXPECT_TRUE(is_loopback_name(yes, std::strlen(yes))) << yes;
    for (const char* no : {"LOCALHOST", "app.Localhost", "mylocalhost", "localhost..", "localhost.com", "",
                           "localhos", "."})
        EXPECT_FALSE(is_loopback_name(no, std::strlen(no))) << no;
}

TEST(Connect, LiteralsAndLoopbackNames) {
    Listener v4(AF_INET), v6(AF_INET6);
    ASSERT_TRUE(v4.ok());
    Stream s;
    ASSERT_EQ(connect_text("127.0.0.1", v4.port, &s), ErrorKind::None);
    EXPECT_EQ(addr_text(s.peer), "127.0.0.1");
    EXPECT_EQ(addr_port(s.peer), v4.port);
    // Back in blocking mode once connected.
#ifndef _WIN32
    EXPECT_EQ(fcntl(s.fd, F_GETFL) & O_NONBLOCK, 0);
#endif
    socket_close(s.fd);

    // "localhost" comes from the hosts file or the loopback rule; both give IPv4.
    s = Stream{};
    ASSERT_EQ(connect_text("localhost", v4.port, &s), ErrorKind::None);
    EXPECT_EQ(s.peer.ss_family, AF_INET);
    socket_close(s.fd);

    if (!v6.ok()) GTEST_SKIP() << "no IPv6 loopback";
    s = Stream{};
    ASSERT_EQ(connect_text("::1", v6.port, &s), ErrorKind::None);
    EXPECT_EQ(addr_text(s.peer), "::1");
    socket_close(s.fd);

    // A *.localhost name not in the hosts file tries both loopback families
    // and connects to whichever one listens.
    for (const Listener* l : {&v4, &v6}) {
        s = Stream{};
        ASSERT_EQ(connect_text("tarnix-test.localhost", l->port, &s), ErrorKind::None);
        EXPECT_EQ(s.peer.ss_family, l == &v4 ? AF_INET : AF_INET6);
        socket_close(s.fd);
    }
    s = Stream{};
    ASSERT_EQ(connect_text("tarnix-test.localhost.", v6.port, &s), ErrorKind::None);
    socket_close(s.fd);
}

TEST(Connect, MappedIpv6LiteralReachesIpv4) {
    Listener v4(AF_INET);
    ASSERT_TRUE(v4.ok());
    Stream s;
    ASSERT_EQ(connect_text("::ffff:127.0.0.1", v4.port, &s), ErrorKind::None);
    EXPECT_EQ(addr_text(s.peer), "127.0.0.1");
    socket_close(s.fd);
}

TEST(Connect, RefusedPortIsConnectFailed) {
    uint16_t port = tarnix_test::refused_port(AF_INET);
    Stream s;
    EXPECT_EQ(connect_text("127.0.0.1", port, &s), ErrorKind::ConnectFailed);
    EXPECT_EQ(connect_text("tarnix-test.localhost", port, &s), ErrorKind::ConnectFailed);
    EXPECT_EQ(s.fd, -1);
    EXPECT_EQ(resolve_and_connect("tarnix-test.localhost", port, &s), ResolveResult::ConnectFailed);
}

TEST(Connect, BadHostTextIsResolveFailed) {
    Stream s;
    const std::string long_label(64, 'a');
    const std::string too_long = std::string(250, 'a').replace(60, 1, ".") + ".test";
    for (const std::string& bad : {std::string(""), std::string("bad host"), std::string("under_score.test"),
                                   std::string("a..b"), std::string("-lead.test"), std::string("[::1]"),
                                   std::string("fe80::1%2"), long_label + ".test", too_long}) {
        EXPECT_EQ(connect_host(Slice{reinterpret_cast<const uint8_t*>(bad.data()), bad.size()}, 80, &s),
                  ErrorKind::ResolveFailed)
            << bad;
    }
    EXPECT_EQ(s.fd, -1);
}

TEST(Recv, BoundedReadsGiveUpOnASilentPeer) {
    Listener l(AF_INET);
    ASSERT_TRUE(l.ok());
    Stream s;
    ASSERT_EQ(connect_text("127.0.0.1", l.port, &s), ErrorKind::None);
    int peer = accept_socket(l.fd);
    ASSERT_GE(peer, 0);
    socket_bound_reads(s.fd, 50);
    uint8_t byte = 0;
    EXPECT_EQ(socket_recv(s.fd, &byte, 1, false), -1);  // the peer is still open, and silent
    close_socket(peer);
    socket_close(s.fd);
}
