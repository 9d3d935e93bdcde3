// Opening plain TCP connections from the pool's host text.
#include "http/connection.h"

#include <cstring>

#include "http/host.h"

namespace tarnix {

namespace {

bool connect_v4(const in_addr& a, uint16_t port, Stream* out) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = a;
    return connect_address(reinterpret_cast<const sockaddr*>(&sa), sizeof(sa), out);
}

bool connect_v6(const in6_addr& a, uint16_t port, Stream* out) {
    // An IPv4-mapped address is reached over IPv4, which works even where the
    // IPv6 stack is switched off.
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
        in_addr v4;
        std::memcpy(&v4, a.s6_addr + 12, 4);
        return connect_v4(v4, port, out);
    }
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    sa.sin6_addr = a;
    return connect_address(reinterpret_cast<const sockaddr*>(&sa), sizeof(sa), out);
}

}  // namespace

ErrorKind connect_host(Slice host, uint16_t port, Stream* out) {
    in_addr v4;
    if (parse_ipv4_literal(host.ptr, host.len, &v4))
        return connect_v4(v4, port, out) ? ErrorKind::None : ErrorKind::ConnectFailed;
    in6_addr v6;
    if (parse_ipv6_literal(host.ptr, host.len, &v6))
        return connect_v6(v6, port, out) ? ErrorKind::None : ErrorKind::ConnectFailed;
    if (!is_valid_host_name(host.ptr, host.len)) return ErrorKind::ResolveFailed;

    // A valid name is at most 255 bytes plus one final dot.
    char name[258];
    if (host.len >= sizeof(name)) return ErrorKind::ResolveFailed;
    std::memcpy(name, host.ptr, host.len);
    name[host.len] = 0;
    return resolve_and_connect(name, port, out) == ResolveResult::Connected ? ErrorKind::None
                                                                            : ErrorKind::ConnectFailed;
}

void close_plain_connection(PlainConnection& c) {
    socket_close(c.stream.fd);
    c.stream.fd = -1;
}

}  // namespace tarnix
