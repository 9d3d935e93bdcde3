// TCP connections and name resolution: the hosts file, the loopback names,
// then DNS; every address found is tried at once and the first to connect
// wins.
#include "platform/net.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/heap.h"

namespace tarnix {

namespace {

// More addresses than this for one name are dropped: no real origin needs
// that many simultaneous attempts.
constexpr size_t MAX_ADDRESSES = 32;
// A hosts file larger than this is not read.
constexpr size_t MAX_HOSTS_FILE = 64u * 1024 * 1024;

socklen_t address_len(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? socklen_t(sizeof(sockaddr_in6)) : socklen_t(sizeof(sockaddr_in));
}

void set_port(sockaddr_storage* a, uint16_t port) {
    if (a->ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(a)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(a)->sin_port = htons(port);
}

bool same_address(const sockaddr_storage& a, const sockaddr_storage& b) {
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

// Appends unless already present or full; returns the new count.
size_t add_address(sockaddr_storage* out, size_t n, size_t max, const sockaddr_storage& a) {
    if (n >= max) return n;
    for (size_t i = 0; i < n; ++i)
        if (same_address(out[i], a)) return n;
    out[n] = a;
    return n + 1;
}

bool parse_address_token(const char* p, size_t n, uint16_t port, sockaddr_storage* out) {
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2];
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
        unsigned idx = if_nametoindex(zone);
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

// Whole file in one heap block (nullptr when it cannot be read).
char* read_hosts_file(const char* path, size_t* len) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    size_t cap = 4096;
    if (fstat(fd, &st) == 0 && st.st_size > 0) cap = static_cast<size_t>(st.st_size) + 1;
    if (cap > MAX_HOSTS_FILE) {
        close(fd);
        return nullptr;
    }
    char* buf = static_cast<char*>(heap_alloc(cap));
    size_t used = 0;
    while (buf != nullptr) {
        if (used == cap) {
            // The file grew while being read.
            size_t next = cap * 2;
            char* grown = next <= MAX_HOSTS_FILE ? static_cast<char*>(heap_realloc(buf, next)) : nullptr;
            if (grown == nullptr) {
                heap_free(buf);
                buf = nullptr;
                break;
            }
            buf = grown;
            cap = next;
        }
        ssize_t got = read(fd, buf + used, cap - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            heap_free(buf);
            buf = nullptr;
        } else if (got == 0) {
            break;
        } else {
            used += static_cast<size_t>(got);
        }
    }
    close(fd);
    *len = used;
    return buf;
}

// Attempts to connect to every address at once. Returns the index of the
// winner (its socket in `won_fd`, back in blocking mode) or -1. Every other
// socket is closed before returning.
long connect_first(const sockaddr_storage* addrs, size_t n, int* won_fd) {
    pollfd fds[MAX_ADDRESSES];
    size_t idx[MAX_ADDRESSES];
    size_t pending = 0;
    long winner = -1;
    int winner_fd = -1;
    if (n > MAX_ADDRESSES) n = MAX_ADDRESSES;

    for (size_t i = 0; i < n && winner < 0; ++i) {
        int fd = socket(addrs[i].ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        int rc = connect(fd, reinterpret_cast<const sockaddr*>(&addrs[i]), address_len(addrs[i]));
        if (rc == 0) {
            winner = static_cast<long>(i);
            winner_fd = fd;
        } else if (errno == EINPROGRESS || errno == EINTR) {
            // An interrupted connect goes on in the background, like one in progress.
            fds[pending] = pollfd{fd, POLLOUT, 0};
            idx[pending] = i;
            ++pending;
        } else {
            close(fd);
        }
    }

    while (winner < 0 && pending > 0) {
        int rc = poll(fds, pending, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            break;
        }
        size_t keep = 0;
        for (size_t k = 0; k < pending; ++k) {
            if (fds[k].revents == 0) {
                fds[keep] = fds[k];
                idx[keep] = idx[k];
                ++keep;
                continue;
            }
            int err = 0;
            socklen_t elen = sizeof(err);
            if (getsockopt(fds[k].fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0) err = errno;
            if (err == 0 && winner < 0) {
                winner = static_cast<long>(idx[k]);
                winner_fd = fds[k].fd;
            } else {
                close(fds[k].fd);
            }
        }
        pending = keep;
    }
    // Closing a socket whose connect is still in progress cancels the attempt.
    for (size_t k = 0; k < pending; ++k) close(fds[k].fd);

    if (winner < 0) return -1;
    int flags = fcntl(winner_fd, F_GETFL);
    if (flags < 0 || fcntl(winner_fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(winner_fd);
        return -1;
    }
    *won_fd = winner_fd;
    return winner;
}

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

size_t dns_addresses(const char* name, uint16_t port, sockaddr_storage* out, size_t max) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0) return 0;
    size_t n = 0;
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        sockaddr_storage a{};
        std::memcpy(&a, ai->ai_addr, ai->ai_addrlen);
        set_port(&a, port);
        n = add_address(out, n, max, a);
    }
    freeaddrinfo(res);
    return n;
}

constexpr char SYSTEM_HOSTS_FILE[] = "/etc/hosts";
std::atomic<const char*> g_hosts_path{SYSTEM_HOSTS_FILE};
std::atomic<DnsLookupFn> g_dns{dns_addresses};

}  // namespace

void set_resolver_sources(const char* hosts_path, DnsLookupFn dns) {
    g_hosts_path.store(hosts_path != nullptr ? hosts_path : SYSTEM_HOSTS_FILE);
    g_dns.store(dns != nullptr ? dns : dns_addresses);
}

void socket_close(int fd) {
    if (fd >= 0) close(fd);
}

bool socket_has_input(int fd) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do rc = poll(&p, 1, 0);
    while (rc < 0 && errno == EINTR);
    // A socket that cannot be polled cannot be trusted with a request either.
    return rc != 0;
}

bool connect_address(const sockaddr* addr, socklen_t len, Stream* out) {
    if (len > sizeof(sockaddr_storage) || (addr->sa_family != AF_INET && addr->sa_family != AF_INET6)) return false;
    sockaddr_storage a{};
    std::memcpy(&a, addr, len);
    int fd = -1;
    if (connect_first(&a, 1, &fd) < 0) return false;
    out->fd = fd;
    out->peer = a;
    return true;
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

size_t resolve_addresses(const char* name, uint16_t port, sockaddr_storage* out, size_t max) {
    size_t n = 0;
    size_t hosts_len = 0;
    char* hosts = read_hosts_file(g_hosts_path.load(), &hosts_len);
    if (hosts != nullptr) {
        n = hosts_lookup(hosts, hosts_len, name, port, out, max);
        heap_free(hosts);
    }
    if (n == 0 && max >= 2 && is_loopback_name(name, std::strlen(name))) n = loopback_addresses(port, out);
    if (n == 0) n = g_dns.load()(name, port, out, max);
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
