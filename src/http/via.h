// How a pool reaches its origin: straight there, through an HTTP proxy, or
// over a Unix socket.
#pragma once
#include <cstddef>
#include <cstdint>

#include "http/error.h"
#include "platform/bytes.h"
#include "platform/net.h"

namespace tarnix {

struct Pool;

// Fixed when the pool is made. With a proxy, a TLS pool tunnels through it
// with CONNECT and a plain pool forwards every request to it (the caller
// then gives absolute-form targets and the Host header itself).
struct Via {
    OwnedBytes proxy_host;           // empty: no proxy
    uint16_t proxy_port = 0;
    OwnedBytes proxy_authorization;  // the Proxy-Authorization value, or empty
    OwnedBytes unix_path;            // empty: TCP
};

// True for a plain pool whose requests go to a proxy as they are.
bool via_forwards(const Pool* pool);

// The stream a new connection of the pool runs over: to the origin, to its
// proxy (through an open tunnel for a TLS pool), or the Unix socket.
ErrorKind open_stream(const Pool* pool, Stream* out);

// The proxy's status when the last tunnel of this thread was refused.
uint16_t last_proxy_status();

enum class ConnectReply : uint8_t { Incomplete, Malformed, Complete };

// Reads the proxy's answer to CONNECT from the first n bytes received: the
// status line and header block up to the blank line. On Complete, `status`
// and `head_len` are set.
ConnectReply parse_connect_reply(const uint8_t* p, size_t n, uint16_t* status, size_t* head_len);

// The CONNECT request for host:port (an IPv6 literal gets its brackets);
// false when it does not fit in `cap`.
bool build_connect_request(Slice host, uint16_t port, Slice authorization, uint8_t* buf, size_t cap,
                           size_t* len);

}  // namespace tarnix
