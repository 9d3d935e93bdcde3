// The idle-connection check: a kept-alive connection carries another request
// only if nothing arrived on it while it sat in the pool.
//
// The pieces, from the pool down: connection_still_usable (here), then for
// TLS tls_connection_idle_check (http/tls_connection.h), which asks
// TlsSession::idle_check (tls/session.h) to read what records came; for both
// kinds the system's socket_has_input (platform/net.h).
#pragma once
#include "http/pool.h"
#include "http/tls_connection.h"
#include "platform/net.h"

namespace tarnix {

// True when the idle connection is still fit to carry a request: no response
// bytes nobody asked for, no alert, no close from the peer. Never waits.
inline bool connection_still_usable(bool tls, const Connection& conn) {
    return tls ? tls_connection_idle_check(conn.tls) : !socket_has_input(conn.plain.stream.fd);
}

}  // namespace tarnix
