// What the session's files share: the process-wide library state, the BIO
// that carries records over the connection, and the handshake callbacks.
#pragma once
#include <openssl/ssl.h>

#include "tls/openssl_handles.h"

namespace tarnix {

// Process-wide library state, made once and kept for the life of the process
// (I/O threads may still run while the interpreter exits).
struct TlsGlobals {
    LibCtxPtr libctx;
    BioMethodPtr bio_method;
    SslCtxPtr ctx;
};

// Made on first use; a failed attempt (memory) is tried again next time.
TlsGlobals* tls_globals();
// The state if it was made already, else nullptr; never makes it.
TlsGlobals* tls_globals_if_made();

// A new method for the BIO over a TlsTransport (the BIO's data), or nullptr.
BIO_METHOD* new_transport_bio_method();

// Set on the context: the chain check that replaces the library's, the
// stapled-status check after it, and what tells a refused client
// certificate apart.
int verify_server_chain(X509_STORE_CTX* store_ctx, void* arg);
int check_stapled_status(SSL* ssl, void* arg);
int note_cert_request(SSL* ssl, void* arg);
void note_alert(const SSL* ssl, int where, int value);

}  // namespace tarnix
