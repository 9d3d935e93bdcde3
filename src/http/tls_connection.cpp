// Placeholder until TLS connections land: every TLS open fails.
#include "http/tls_connection.h"

namespace tarnix {

ErrorKind open_tls_connection(Pool*, TlsConnection** out) {
    *out = nullptr;
    return ErrorKind::TlsFailed;
}
void destroy_tls_connection(TlsConnection*) {}
ByteSink& tls_connection_writer(TlsConnection*) { __builtin_trap(); }
BufferedReader& tls_connection_reader(TlsConnection*) { __builtin_trap(); }
ByteSink& tls_connection_socket_writer(TlsConnection*) { __builtin_trap(); }

}  // namespace tarnix
