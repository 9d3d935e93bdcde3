// Addresses and the resolver's rules that do not depend on the system: the
// hosts-file syntax, the loopback names, address lists without repeats.
#include "platform/net_addr.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/file.h"
#include "platform/heap.h"
#include "platform/net.h"

namespace tarnix {

socklen_t address_len(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? socklen_t(sizeof(sockaddr_in6)) : socklen_t(sizeof(sockaddr_in));
}

void set_port(sockaddr_storage* a, uint16_t port) {
    if (a->ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(a)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(a)->sin_port = htons(port);
}

static bool same_address(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET) {
        auto& x = reinterpret_cast<const sockaddr_in&>(a);
        auto& y = reinterpret_cast<const sockaddr_in&>(b);
        return x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    auto& x = reinterpret_cast<const sockaddr_in6&>(a);
    auto& y = reinterpret_cast<const sockaddr_in6&>(b);
    return std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof(in6_addr)) == 0 && x.sin6_scope_id == y.sin6_scope_id;
}

size_t add_address(sockaddr_storage* out, size_t n, size_t max, const sockaddr_storage& a) {
    if (n >= max) return n;
    for (size_t i = 0; i < n; ++i)
        if (same_address(out[i], a)) return n;
    out[n] = a;
    return n + 1;
}

namespace {

bool parse_address_token(const char* p, size_t n, uint16_t port, sockaddr_storage* out) {
    char text[INET6_ADDRSTRLEN + INTERFACE_NAME_SIZE + 2];
    if (n == 0 || n >= sizeof(text)) return false;
    std::memcpy(text, p, n);
    text[n] = 0;
    *out = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(out);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
    char* zone = std::strchr(text, '%');
    if (zone != nullptr) *zone++ = 0;
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) != 1) return false;
    if (zone != nullptr) {
        unsigned idx = interface_index(zone);
        if (idx == 0) {
            char* end = nullptr;
            unsigned long v = std::strtoul(zone, &end, 10);
            if (*zone == 0 || *end != 0 || v == 0 || v > 0xffffffffUL) return false;
            idx = static_cast<unsigned>(v);
        }
        v6->sin6_scope_id = idx;
    }
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    return true;
}

bool ascii_ieq_n(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// An absolute name ("host.") is the same name as "host".
size_t without_final_dot(const char* s, size_t n) { return (n > 1 && s[n - 1] == '.') ? n - 1 : n; }

}  // namespace

size_t loopback_addresses(uint16_t port, sockaddr_storage* out) {
    out[0] = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out[0]);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    out[1] = sockaddr_storage{};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out[1]);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    v6->sin6_addr = in6addr_loopback;
    return 2;
}

size_t hosts_lookup(const char* text, size_t text_len, const char* name, uint16_t port, sockaddr_storage* out,
                    size_t max) {
    size_t name_len = without_final_dot(name, std::strlen(name));
    size_t found = 0;
    const char* p = text;
    const char* end = text + text_len;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* line_end = nl != nullptr ? nl : end;
        const char* hash = static_cast<const char*>(std::memchr(p, '#', static_cast<size_t>(line_end - p)));
        if (hash != nullptr) line_end = hash;

        // Tokens: the address, then the canonical name and its aliases.
        const char* q = p;
        sockaddr_storage addr{};
        bool have_addr = false, first = true;
        while (q < line_end) {
            while (q < line_end && is_blank(*q)) ++q;
            const char* t = q;
            while (q < line_end && !is_blank(*q)) ++q;
            size_t tn = static_cast<size_t>(q - t);
            if (tn == 0) break;
            if (first) {
                first = false;
                have_addr = parse_address_token(t, tn, port, &addr);
                if (!have_addr) break;
                continue;
            }
            tn = without_final_dot(t, tn);
            if (tn == name_len && ascii_ieq_n(t, name, tn)) {
                found = add_address(out, found, max, addr);
                break;
            }
        }
        p = nl != nullptr ? nl + 1 : end;
    }
    return found;
}

bool is_loopback_name(const char* name, size_t len) {
    static const char kName[] = "localhost";
    constexpr size_t k = sizeof(kName) - 1;
    if (len > 0 && name[len - 1] == '.') --len;  // "localhost." is the same name
    if (len < k || std::memcmp(name + len - k, kName, k) != 0) return false;
    return len == k || name[len - k - 1] == '.';
}

namespace {
std::atomic<const char*> g_hosts_path{nullptr};  // nullptr: the system's file
std::atomic<DnsLookupFn> g_dns{nullptr};          // nullptr: the system's lookup
}  // namespace

void set_resolver_sources(const char* hosts_path, DnsLookupFn dns) {
    g_hosts_path.store(hosts_path);
    g_dns.store(dns);
}

bool connect_address(const sockaddr* addr, socklen_t len, Stream* out) {
    // A negative length (socklen_t is signed on Windows) is refused as too long.
    if (size_t(len) > sizeof(sockaddr_storage) || (addr->sa_family != AF_INET && addr->sa_family != AF_INET6))
        return false;
    sockaddr_storage a{};
    std::memcpy(&a, addr, size_t(len));
    int fd = -1;
    if (connect_first(&a, 1, &fd) < 0) return false;
    out->fd = fd;
    out->peer = a;
    return true;
}

size_t resolve_addresses(const char* name, uint16_t port, sockaddr_storage* out, size_t max) {
    size_t n = 0;
    const char* path = g_hosts_path.load();
    OwnedBytes hosts;
    if (file_read_all(path != nullptr ? path : system_hosts_path(), MAX_HOSTS_FILE - 1, &hosts) == FileStatus::Ok)
        n = hosts_lookup(reinterpret_cast<const char*>(hosts.data()), hosts.size(), name, port, out, max);
    if (n == 0 && max >= 2 && is_loopback_name(name, std::strlen(name))) n = loopback_addresses(port, out);
    if (n == 0) {
        DnsLookupFn dns = g_dns.load();
        n = (dns != nullptr ? dns : system_dns_lookup)(name, port, out, max);
    }
    return n;
}

ResolveResult resolve_and_connect(const char* name, uint16_t port, Stream* out) {
    sockaddr_storage addrs[MAX_ADDRESSES];
    size_t n = resolve_addresses(name, port, addrs, MAX_ADDRESSES);
    if (n == 0) return ResolveResult::NoAddress;

    int fd = -1;
    long won = connect_first(addrs, n, &fd);
    if (won < 0) return ResolveResult::ConnectFailed;
    out->fd = fd;
    out->peer = addrs[won];
    return ResolveResult::Connected;
}

}  // namespace tarnix
