// TCP connections and name resolution: the hosts file, the loopback names,
// then DNS; every address found is tried at once and the first to connect
// wins.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/abort.h"
#include "platform/heap.h"
#include "platform/net_addr.h"

namespace tarnix {

static_assert(INTERFACE_NAME_SIZE == IF_NAMESIZE, "the interface name limit is the system's");

unsigned interface_index(const char* name) { return if_nametoindex(name); }

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
    // Abandoned while resolving: nothing more is started.
    AbortGate* gate = thread_abort_gate();
    if (gate != nullptr && gate->aborted()) return -1;

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
        // Shutting down the first attempt's socket ends the wait: an abort
        // cancels the connect in progress and wakes the poll.
        if (gate != nullptr && !gate->watch(fds[0].fd)) break;
        int rc = poll(fds, pending, -1);
        if (gate != nullptr) {
            gate->forget(fds[0].fd);
            if (gate->aborted()) break;
        }
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

size_t system_dns_lookup(const char* name, uint16_t port, sockaddr_storage* out, size_t max) {
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

const char* system_hosts_path() { return "/etc/hosts"; }

void socket_close(int fd) {
    if (fd < 0) return;
    if (AbortGate* gate = thread_abort_gate()) gate->forget(fd);
    close(fd);
}

void socket_shutdown(int fd) { shutdown(fd, SHUT_RDWR); }

bool socket_has_input(int fd) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do rc = poll(&p, 1, 0);
    while (rc < 0 && errno == EINTR);
    // A socket that cannot be polled cannot be trusted with a request either.
    return rc != 0;
}

ssize_t socket_recv(int fd, uint8_t* dst, size_t cap, bool no_wait) {
    if (cap > size_t(SSIZE_MAX)) cap = size_t(SSIZE_MAX);
    if (!socket_call_allowed(fd)) return -1;
    for (;;) {
        ssize_t r = ::recv(fd, dst, cap, no_wait ? MSG_DONTWAIT : 0);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        return (no_wait && (errno == EAGAIN || errno == EWOULDBLOCK)) ? -2 : -1;
    }
}

void socket_bound_reads(int fd, uint32_t ms) {
    timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void socket_set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool socket_send_all(int fd, const uint8_t* src, size_t n) {
    if (!socket_call_allowed(fd)) return false;
    while (n != 0) {
        // MSG_NOSIGNAL: a peer that closed must give an error, not SIGPIPE.
        ssize_t r = ::send(fd, src, n, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        src += r;
        n -= size_t(r);
    }
    return true;
}

bool socket_send_pair(int fd, const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
    if (!socket_call_allowed(fd)) return false;
    iovec iov[2] = {{const_cast<uint8_t*>(a), na}, {const_cast<uint8_t*>(b), nb}};
    int first = 0;
    msghdr msg{};
    for (;;) {
        // Pieces (or their rest) that are empty are done.
        while (first < 2 && iov[first].iov_len == 0) ++first;
        if (first == 2) return true;
        msg.msg_iov = iov + first;
        msg.msg_iovlen = size_t(2 - first);
        // MSG_NOSIGNAL: a peer that closed must give an error, not SIGPIPE.
        ssize_t r = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        // A partial send resumes where it stopped.
        size_t sent = size_t(r);
        for (int i = first; i < 2 && sent != 0; ++i) {
            size_t k = sent < iov[i].iov_len ? sent : iov[i].iov_len;
            iov[i].iov_base = static_cast<uint8_t*>(iov[i].iov_base) + k;
            iov[i].iov_len -= k;
            sent -= k;
        }
    }
}

bool unix_sockets_supported() { return true; }

size_t unix_path_max() { return sizeof(sockaddr_un::sun_path) - 1; }

bool connect_unix(const uint8_t* path, size_t len, Stream* out) {
    sockaddr_un sa{};
    if (len == 0 || len > unix_path_max() || std::memchr(path, 0, len) != nullptr) return false;
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path, len);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Published to the abort gate: an abort shuts the socket down.
    if (!socket_call_allowed(fd) ||
        connect(fd, reinterpret_cast<const sockaddr*>(&sa), socklen_t(offsetof(sockaddr_un, sun_path) + len + 1)) != 0) {
        socket_close(fd);
        return false;
    }
    out->fd = fd;
    std::memcpy(&out->peer, &sa, sizeof sa);
    return true;
}

void socket_set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace tarnix
