// TLS connections: one socket and one TLS client session with its buffers.
#pragma once
#include "http/error.h"

namespace tarnix {

struct Pool;
struct TlsConnection;
class ByteSink;
class BufferedReader;

// Connects, allocates the buffers and runs a verified handshake.
ErrorKind open_tls_connection(Pool* pool, TlsConnection** out);
// Sends close_notify (failures ignored), closes the socket, frees.
void destroy_tls_connection(TlsConnection* conn);
// Closes the socket and frees, with nothing sent: for a forked child's copy
// of a connection its parent may still use.
void drop_tls_connection(TlsConnection* conn);

// For an idle connection about to be reused: false when anything but
// handshake records (session tickets, key updates) arrived while it sat idle
// (response bytes nobody asked for, an alert, the peer's close, an error).
// Never waits.
bool tls_connection_idle_check(TlsConnection* conn);

// The plaintext writer and reader for an exchange, and the socket writer
// beneath them.
ByteSink& tls_connection_writer(TlsConnection* conn);
BufferedReader& tls_connection_reader(TlsConnection* conn);
ByteSink& tls_connection_socket_writer(TlsConnection* conn);
int tls_connection_socket(TlsConnection* conn);

// The server's refusal of the client certificate, as a fixed message, or
// null: on a connection whose exchange failed, and for the last connection
// this thread failed to open.
const char* tls_connection_cert_refusal(TlsConnection* conn);
const char* tls_open_cert_refusal();

constexpr unsigned TLS_RECORD_BUFFER_SIZE = 16645;

}  // namespace tarnix
