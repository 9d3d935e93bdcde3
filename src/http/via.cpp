// Proxies and Unix sockets: opening the stream a pool's connection runs on.
#include "http/via.h"

#include <cstdio>
#include <cstring>

#include "http/connection.h"
#include "http/host.h"
#include "http/pool.h"
#include "http/request.h"

namespace tarnix {

namespace {

// The answer to CONNECT is a head only; a larger one is not a proxy's.
constexpr size_t REPLY_BUFFER = 8192;
constexpr size_t REQUEST_BUFFER = 8192;

thread_local uint16_t t_proxy_status = 0;

struct Out {
    uint8_t* p;
    uint8_t* end;
    bool ok = true;
    void add(const void* src, size_t n) {
        if (!ok || n > size_t(end - p)) {
            ok = false;
            return;
        }
        if (n != 0) std::memcpy(p, src, n);
        p += n;
    }
    void add(const char* s) { add(s, std::strlen(s)); }
};

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// The origin is never connected to by us, so its name is checked here as
// connect_host would: it goes on the wire in the CONNECT line.
bool is_tunnel_host(Slice host) {
    in_addr v4;
    in6_addr v6;
    return parse_ipv4_literal(host.ptr, host.len, &v4) || parse_ipv6_literal(host.ptr, host.len, &v6) ||
           is_valid_host_name(host.ptr, host.len);
}

ErrorKind open_tunnel(int fd, Slice host, uint16_t port, Slice authorization) {
    t_proxy_status = 0;
    uint8_t request[REQUEST_BUFFER];
    size_t request_len = 0;
    if (!build_connect_request(host, port, authorization, request, sizeof request, &request_len))
        return ErrorKind::ResolveFailed;
    if (!socket_send_all(fd, request, request_len)) return ErrorKind::ProxyClosed;

    // Read only until the head is whole: the TLS handshake follows on the
    // same socket.
    uint8_t reply[REPLY_BUFFER];
    size_t got = 0;
    for (;;) {
        ssize_t r = socket_recv(fd, reply + got, sizeof reply - got, false);
        if (r <= 0) return ErrorKind::ProxyClosed;
        got += size_t(r);
        uint16_t status = 0;
        size_t head_len = 0;
        switch (parse_connect_reply(reply, got, &status, &head_len)) {
            case ConnectReply::Malformed: return ErrorKind::ProxyMalformed;
            case ConnectReply::Incomplete:
                if (got == sizeof reply) return ErrorKind::ProxyMalformed;
                continue;
            case ConnectReply::Complete:
                t_proxy_status = status;
                if (status == 407) return ErrorKind::ProxyAuthRequired;
                if (status < 200 || status > 299) return ErrorKind::ProxyRefused;
                // A TLS server never speaks first: bytes past the head are
                // not the origin's.
                return head_len == got ? ErrorKind::None : ErrorKind::ProxyMalformed;
        }
    }
}

}  // namespace

bool via_forwards(const Pool* pool) { return !pool->via.proxy_host.empty() && !pool->use_tls; }

uint16_t last_proxy_status() { return t_proxy_status; }

bool build_connect_request(Slice host, uint16_t port, Slice authorization, uint8_t* buf, size_t cap, size_t* len) {
    if (!is_tunnel_host(host) || !is_header_value(authorization.ptr, authorization.len)) return false;
    in6_addr v6;
    const bool bracket = parse_ipv6_literal(host.ptr, host.len, &v6);
    char port_text[8];
    const int port_len = std::snprintf(port_text, sizeof port_text, ":%u", unsigned(port));
    Out out{buf, buf + cap};
    // The authority goes in the request line and again as Host.
    for (const char* piece : {"CONNECT ", "\r\nHost: "}) {
        out.add(piece);
        if (bracket) out.add("[");
        out.add(host.ptr, host.len);
        if (bracket) out.add("]");
        out.add(port_text, size_t(port_len));
        if (piece[0] == 'C') out.add(" HTTP/1.1");
    }
    out.add("\r\n");
    if (authorization.len != 0) {
        out.add("Proxy-Authorization: ");
        out.add(authorization.ptr, authorization.len);
        out.add("\r\n");
    }
    out.add("User-Agent: tarnix/0.1\r\n\r\n");
    if (!out.ok) return false;
    *len = size_t(out.p - buf);
    return true;
}

ConnectReply parse_connect_reply(const uint8_t* p, size_t n, uint16_t* status, size_t* head_len) {
    // "HTTP/1.x NNN" and then a space or the line's end.
    static const char PREFIX[] = "HTTP/1.";
    const size_t prefix_len = sizeof PREFIX - 1;
    const size_t check = n < prefix_len ? n : prefix_len;
    if (std::memcmp(p, PREFIX, check) != 0) return ConnectReply::Malformed;
    if (n < prefix_len + 5) return ConnectReply::Incomplete;
    if (!is_digit(p[7]) || p[8] != ' ' || !is_digit(p[9]) || !is_digit(p[10]) || !is_digit(p[11]))
        return ConnectReply::Malformed;
    if (n > 12 && p[12] != ' ' && p[12] != '\r' && p[12] != '\n') return ConnectReply::Malformed;
    const uint16_t code = uint16_t((p[9] - '0') * 100 + (p[10] - '0') * 10 + (p[11] - '0'));
    if (code < 100) return ConnectReply::Malformed;

    // Lines end in LF (CR LF accepted); the head ends at the first empty one.
    size_t line_start = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == 0) return ConnectReply::Malformed;
        if (p[i] != '\n') continue;
        size_t line_len = i - line_start;
        if (line_len != 0 && p[i - 1] == '\r') --line_len;
        if (line_len == 0 && line_start != 0) {
            *status = code;
            *head_len = i + 1;
            return ConnectReply::Complete;
        }
        line_start = i + 1;
    }
    return ConnectReply::Incomplete;
}

ErrorKind open_stream(const Pool* pool, Stream* out) {
    const Via& via = pool->via;
    if (!via.unix_path.empty()) {
        if (!unix_sockets_supported()) return ErrorKind::Unsupported;
        return connect_unix(via.unix_path.data(), via.unix_path.size(), out) ? ErrorKind::None
                                                                              : ErrorKind::ConnectFailed;
    }
    if (via.proxy_host.empty()) return connect_host(pool->host.slice(), pool->port, out);
    ErrorKind err = connect_host(via.proxy_host.slice(), via.proxy_port, out);
    if (err != ErrorKind::None || !pool->use_tls) return err;
    err = open_tunnel(out->fd, pool->host.slice(), pool->port, via.proxy_authorization.slice());
    if (err != ErrorKind::None) {
        socket_close(out->fd);
        out->fd = -1;
    }
    return err;
}

}  // namespace tarnix
