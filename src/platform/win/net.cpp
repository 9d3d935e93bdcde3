// TCP connections and name resolution over Winsock 2: the system's hosts
// file, the loopback names, then DNS (GetAddrInfoW); every address found is
// tried at once and the first to connect wins.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <climits>
#include <cstring>

#include "platform/abort.h"
#include "platform/heap.h"
#include "platform/net_addr.h"
#include "platform/win/wide.h"

namespace tarnix {

static_assert(INTERFACE_NAME_SIZE == IF_NAMESIZE, "the interface name limit is the system's");

unsigned interface_index(const char* name) { return if_nametoindex(name); }

namespace {

bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

SOCKET as_socket(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

// A new non-inheritable socket as an int, or -1. A handle that does not fit
// (never seen in practice) is refused rather than truncated.
int open_socket(int family) {
    if (!winsock_ready()) return -1;
    SOCKET s = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return -1;
    if (s > static_cast<SOCKET>(INT_MAX)) {
        closesocket(s);
        return -1;
    }
    return static_cast<int>(s);
}

bool set_blocking(int fd, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    return ioctlsocket(as_socket(fd), FIONBIO, &nonblocking) == 0;
}


}  // namespace

// Attempts to connect to every address at once. Returns the index of the
// winner (its socket in `won_fd`, back in blocking mode) or -1. Every other
// socket is closed before returning.
long connect_first(const sockaddr_storage* addrs, size_t n, int* won_fd) {
    static_assert(MAX_ADDRESSES <= FD_SETSIZE, "every attempt fits one select set");
    int fds[MAX_ADDRESSES];
    size_t idx[MAX_ADDRESSES];
    size_t pending = 0;
    long winner = -1;
    int winner_fd = -1;
    if (n > MAX_ADDRESSES) n = MAX_ADDRESSES;
    // Abandoned while resolving: nothing more is started.
    AbortGate* gate = thread_abort_gate();
    if (gate != nullptr && gate->aborted()) return -1;

    for (size_t i = 0; i < n && winner < 0; ++i) {
        int fd = open_socket(addrs[i].ss_family);
        if (fd < 0) continue;
        if (!set_blocking(fd, false)) {
            closesocket(as_socket(fd));
            continue;
        }
        int rc = connect(as_socket(fd), reinterpret_cast<const sockaddr*>(&addrs[i]), address_len(addrs[i]));
        if (rc == 0) {
            winner = static_cast<long>(i);
            winner_fd = fd;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            fds[pending] = fd;
            idx[pending] = i;
            ++pending;
        } else {
            closesocket(as_socket(fd));
        }
    }

    // A connect that succeeds makes its socket writable; one that fails is
    // reported in the exception set.
    while (winner < 0 && pending > 0) {
        fd_set wr, ex;
        FD_ZERO(&wr);
        FD_ZERO(&ex);
        for (size_t k = 0; k < pending; ++k) {
            FD_SET(as_socket(fds[k]), &wr);
            FD_SET(as_socket(fds[k]), &ex);
        }
        // Winsock may not wake a select for a connect in progress that is
        // shut down: an abortable wait looks at its gate now and then.
        timeval slice{0, 100000};
        int rc = select(0, nullptr, &wr, &ex, gate != nullptr ? &slice : nullptr);
        if (rc == SOCKET_ERROR || (gate != nullptr && gate->aborted())) break;
        size_t keep = 0;
        for (size_t k = 0; k < pending; ++k) {
            SOCKET s = as_socket(fds[k]);
            bool failed = FD_ISSET(s, &ex);
            bool done = failed || FD_ISSET(s, &wr);
            if (!done) {
                fds[keep] = fds[k];
                idx[keep] = idx[k];
                ++keep;
                continue;
            }
            int err = 0;
            int elen = sizeof(err);
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &elen) != 0) err = 1;
            if (!failed && err == 0 && winner < 0) {
                winner = static_cast<long>(idx[k]);
                winner_fd = fds[k];
            } else {
                closesocket(s);
            }
        }
        pending = keep;
    }
    // Closing a socket whose connect is still in progress cancels the attempt.
    for (size_t k = 0; k < pending; ++k) closesocket(as_socket(fds[k]));

    if (winner < 0) return -1;
    if (!set_blocking(winner_fd, true)) {
        closesocket(as_socket(winner_fd));
        return -1;
    }
    *won_fd = winner_fd;
    return winner;
}

size_t system_dns_lookup(const char* name, uint16_t port, sockaddr_storage* out, size_t max) {
    if (!winsock_ready()) return 0;
    wchar_t* wname = to_wide(name);
    if (wname == nullptr) return 0;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* res = nullptr;
    int rc = GetAddrInfoW(wname, nullptr, &hints, &res);
    heap_free(wname);
    if (rc != 0) return 0;
    size_t n = 0;
    for (ADDRINFOW* ai = res; ai != nullptr; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        sockaddr_storage a{};
        std::memcpy(&a, ai->ai_addr, ai->ai_addrlen);
        set_port(&a, port);
        n = add_address(out, n, max, a);
    }
    FreeAddrInfoW(res);
    return n;
}

namespace {

// %SystemRoot%\System32\drivers\etc\hosts, found through the system
// directory rather than the environment, as UTF-8.
const char* find_system_hosts_path() {
    static char path[MAX_PATH * 3];
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "C:\\Windows\\System32\\drivers\\etc\\hosts";
    static const wchar_t kTail[] = L"\\drivers\\etc\\hosts";
    wchar_t full[MAX_PATH + sizeof(kTail) / sizeof(wchar_t)];
    std::memcpy(full, dir, n * sizeof(wchar_t));
    std::memcpy(full + n, kTail, sizeof(kTail));
    if (WideCharToMultiByte(CP_UTF8, 0, full, -1, path, sizeof(path), nullptr, nullptr) <= 0)
        return "C:\\Windows\\System32\\drivers\\etc\\hosts";
    return path;
}

}  // namespace

const char* system_hosts_path() {
    static const char* const path = find_system_hosts_path();
    return path;
}

void socket_close(int fd) {
    if (fd < 0) return;
    if (AbortGate* gate = thread_abort_gate()) gate->forget(fd);
    closesocket(as_socket(fd));
}

void socket_shutdown(int fd) {
    shutdown(as_socket(fd), SD_BOTH);
    // A recv or send already blocked in another thread does not see the
    // shutdown here as it does on Linux: cancelling the socket's I/O wakes it.
    CancelIoEx(reinterpret_cast<HANDLE>(as_socket(fd)), nullptr);
}

// No gathered send here: two sends in order.
bool socket_send_pair(int fd, const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
    return socket_send_all(fd, a, na) && socket_send_all(fd, b, nb);
}

bool socket_has_input(int fd) {
    fd_set rd, ex;
    FD_ZERO(&rd);
    FD_ZERO(&ex);
    FD_SET(as_socket(fd), &rd);
    FD_SET(as_socket(fd), &ex);
    timeval now{0, 0};
    // A socket that cannot be polled cannot be trusted with a request either.
    return select(0, &rd, nullptr, &ex, &now) != 0;
}

ssize_t socket_recv(int fd, uint8_t* dst, size_t cap, bool no_wait) {
    // Winsock has no per-call "don't wait" flag: ask first. Only this thread
    // reads the socket, so bytes reported stay there for the recv.
    if (no_wait) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(as_socket(fd), &rd);
        timeval now{0, 0};
        int rc = select(0, &rd, nullptr, nullptr, &now);
        if (rc == SOCKET_ERROR) return -1;
        if (rc == 0) return -2;
    }
    if (!socket_call_allowed(fd)) return -1;
    int want = cap > size_t(INT_MAX) ? INT_MAX : int(cap);
    int r = recv(as_socket(fd), reinterpret_cast<char*>(dst), want, 0);
    return r == SOCKET_ERROR ? -1 : ssize_t(r);
}

void socket_bound_reads(int fd, uint32_t ms) {
    // A timed-out recv leaves the socket unusable, which suits the callers.
    DWORD limit = ms;
    setsockopt(as_socket(fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

bool socket_send_all(int fd, const uint8_t* src, size_t n) {
    if (!socket_call_allowed(fd)) return false;
    while (n != 0) {
        int want = n > size_t(INT_MAX) ? INT_MAX : int(n);
        int r = send(as_socket(fd), reinterpret_cast<const char*>(src), want, 0);
        if (r == SOCKET_ERROR || r == 0) return false;
        src += r;
        n -= size_t(r);
    }
    return true;
}

// Not offered here: a pool that asks for one fails as unsupported.
bool unix_sockets_supported() { return false; }
size_t unix_path_max() { return 0; }
bool connect_unix(const uint8_t*, size_t, Stream*) { return false; }

void socket_set_nonblocking(int fd) {
    u_long one = 1;
    ioctlsocket(as_socket(fd), FIONBIO, &one);
}

void socket_set_nodelay(int fd) {
    BOOL one = TRUE;
    setsockopt(as_socket(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

}  // namespace tarnix
