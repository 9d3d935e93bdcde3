// Loopback listeners for tests.
#pragma once
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarnix_test {

// A listening socket on 127.0.0.1 or ::1 with an ephemeral port; fd < 0 when
// the family is not available here.
struct Listener {
    int fd = -1;
    uint16_t port = 0;

    explicit Listener(int family) {
        fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            int on = 1;
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
            len = sizeof(sockaddr_in6);
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(sockaddr_in);
        }
        if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 64) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
            close(fd);
            fd = -1;
            return;
        }
        port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool ok() const { return fd >= 0; }
    int accept_one() const { return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
};

// A loopback port that nothing listens on (bound, then released).
inline uint16_t refused_port(int family) {
    Listener l(family);
    return l.port;
}

}  // namespace tarnix_test
