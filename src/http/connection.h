// Plain TCP connections: host check, resolution and connect.
#pragma once
#include <cstdint>

#include "http/error.h"
#include "platform/bytes.h"
#include "platform/net.h"

namespace tarnix {

// Owns its socket; copied by value into and out of the pool's idle array.
struct PlainConnection {
    Stream stream;
};

// IPv4 literal, then IPv6 literal (no zone), then host-name syntax and the
// resolver. ResolveFailed only for text that fails the syntax check;
// everything after it is ConnectFailed.
ErrorKind connect_host(Slice host, uint16_t port, Stream* out);

void close_plain_connection(PlainConnection& c);

}  // namespace tarnix
