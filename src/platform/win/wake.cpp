// Windows has no eventfd: a loopback TCP pair, whose reading end a selector
// loop can watch as it watches any socket.
#include "platform/wake.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>

namespace tarnix {

namespace {

SOCKET as_socket(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

SOCKET tcp_socket() {
    return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool fits(SOCKET s) { return s != INVALID_SOCKET && s <= static_cast<SOCKET>(INT_MAX); }

}  // namespace

bool wake_open(WakeFd* wake) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    SOCKET listener = tcp_socket();
    SOCKET writer = INVALID_SOCKET, reader = INVALID_SOCKET;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (listener != INVALID_SOCKET && bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(listener, 1) == 0 && getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        writer = tcp_socket();
        if (writer != INVALID_SOCKET && connect(writer, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            reader = accept(listener, nullptr, nullptr);
    }
    if (listener != INVALID_SOCKET) closesocket(listener);
    u_long nonblocking = 1;
    BOOL nodelay = TRUE;
    if (!fits(reader) || !fits(writer) || ioctlsocket(reader, FIONBIO, &nonblocking) != 0 ||
        ioctlsocket(writer, FIONBIO, &nonblocking) != 0 ||
        setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay), sizeof nodelay) != 0) {
        if (reader != INVALID_SOCKET) closesocket(reader);
        if (writer != INVALID_SOCKET) closesocket(writer);
        WSACleanup();
        return false;
    }
    wake->read_fd = static_cast<int>(reader);
    wake->write_fd = static_cast<int>(writer);
    return true;
}

void wake_signal(const WakeFd& wake) {
    // A full socket buffer is already readable: nothing lost.
    const char one = 1;
    send(as_socket(wake.write_fd), &one, 1, 0);
}

void wake_clear(const WakeFd& wake) {
    char buf[64];
    while (recv(as_socket(wake.read_fd), buf, sizeof buf, 0) == static_cast<int>(sizeof buf)) {
    }
}

void wake_close(WakeFd* wake) {
    if (wake->read_fd < 0) return;
    closesocket(as_socket(wake->write_fd));
    closesocket(as_socket(wake->read_fd));
    wake->read_fd = wake->write_fd = -1;
    WSACleanup();
}

}  // namespace tarnix
