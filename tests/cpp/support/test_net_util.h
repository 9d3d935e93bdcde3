// Loopback listeners, temporary files and socket helpers for tests, on Linux
// and on Windows.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace tarnix_test {

#ifdef _WIN32
// Writing to a closed peer gives an error, never a signal, on Windows.
constexpr int NO_SIGNAL = 0;

inline int open_tcp_socket(int family) {
    static const bool ready = [] {
        WSADATA d;
        return WSAStartup(MAKEWORD(2, 2), &d) == 0;
    }();
    if (!ready) return -1;
    SOCKET s = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    return s == INVALID_SOCKET ? -1 : int(s);
}
inline void close_socket(int fd) { closesocket(SOCKET(unsigned(fd))); }
inline int accept_socket(int fd) {
    SOCKET s = accept(SOCKET(unsigned(fd)), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : int(s);
}
// True when reading would not wait.
inline bool readable_now(int fd) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(SOCKET(unsigned(fd)), &rd);
    timeval now{0, 0};
    return select(0, &rd, nullptr, nullptr, &now) == 1;
}
// True when reading would not wait, waiting up to `ms` milliseconds.
inline bool readable_within(int fd, int ms) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(SOCKET(unsigned(fd)), &rd);
    timeval t{ms / 1000, (ms % 1000) * 1000};
    return select(0, &rd, nullptr, nullptr, &t) == 1;
}
// Open handles of the process (sockets included).
inline size_t open_descriptors() {
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}
// A new file holding `text`; its path.
inline std::string temp_file_with(const std::string& text) {
    char dir[MAX_PATH], name[MAX_PATH];
    if (GetTempPathA(MAX_PATH, dir) == 0 || GetTempFileNameA(dir, "tnx", 0, name) == 0) return "";
    if (FILE* f = std::fopen(name, "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    return name;
}
#else
constexpr int NO_SIGNAL = MSG_NOSIGNAL;

inline int open_tcp_socket(int family) { return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }
inline void close_socket(int fd) { close(fd); }
inline int accept_socket(int fd) { return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
inline bool readable_now(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}
inline bool readable_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}
inline size_t open_descriptors() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}
inline std::string temp_file_with(const std::string& text) {
    char tmpl[] = "/tmp/tarnix-test-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return "";
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok ? tmpl : "";
}
#endif

// A listening socket on 127.0.0.1 or ::1 with an ephemeral port; fd < 0 when
// the family is not available here.
struct Listener {
    int fd = -1;
    uint16_t port = 0;

    explicit Listener(int family) {
        fd = open_tcp_socket(family);
        if (fd < 0) return;
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            int on = 1;
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof(on));
            len = sizeof(sockaddr_in6);
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(sockaddr_in);
        }
        if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 64) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
            close_socket(fd);
            fd = -1;
            return;
        }
        port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    }
    ~Listener() {
        if (fd >= 0 && !stopped_) close_socket(fd);
    }
    // Wakes a thread blocked in accept_one(), which then fails; no more
    // connections are taken.
    void stop() {
#ifdef _WIN32
        // Only closing the socket ends a pending accept here.
        if (fd >= 0 && !stopped_) close_socket(fd);
#else
        shutdown(fd, SHUT_RDWR);
#endif
        stopped_ = true;
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool ok() const { return fd >= 0; }
    int accept_one() const { return accept_socket(fd); }

private:
    bool stopped_ = false;
};

// A loopback port that nothing listens on (bound, then released).
inline uint16_t refused_port(int family) {
    Listener l(family);
    return l.port;
}

}  // namespace tarnix_test
