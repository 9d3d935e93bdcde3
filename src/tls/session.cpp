// A TLS session over a connection: the handshake's set-up, the record
// reader and writer, the idle check and the close.
#include "tls/session.h"

#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tls/client_cert.h"
#include "tls/exit_gate.h"
#include "tls/host_check.h"
#include "tls/session_internal.h"
#include "tls/verify.h"

namespace tarnix {

void SslFree::operator()(ssl_st* s) const {
    TlsGate gate;
    if (gate.open()) SSL_free(s);  // at exit the object is left to the process's end
}

// The library calls this on the client only when the server sends a
// certificate request, whether or not a certificate is set.
int note_cert_request(SSL* ssl, void*) {
    auto* t = static_cast<TlsTransport*>(SSL_get_app_data(ssl));
    if (t != nullptr) t->cert_requested = true;
    return 1;
}

void note_alert(const SSL* ssl, int where, int value) {
    if ((where & SSL_CB_READ_ALERT) == 0) return;
    auto* t = static_cast<TlsTransport*>(SSL_get_app_data(ssl));
    if (t != nullptr) t->peer_alert = int16_t(value & 0xff);
}

namespace {

#define REFUSED(name) "the server refused the client certificate (TLS alert " name ")"
#define REQUIRED(name) "the server requires a client certificate (TLS alert " name ")"

struct CertAlert {
    uint8_t code;
    const char* refused;   // a certificate was shown
    const char* required;  // none was
};

// The alerts a server sends about the client's certificate. A handshake
// failure counts only because the server asked for one (TLS 1.2 servers
// send it for a missing certificate).
const CertAlert CERT_ALERTS[] = {
    {40, REFUSED("handshake_failure"), REQUIRED("handshake_failure")},
    {42, REFUSED("bad_certificate"), REQUIRED("bad_certificate")},
    {43, REFUSED("unsupported_certificate"), REQUIRED("unsupported_certificate")},
    {44, REFUSED("certificate_revoked"), REQUIRED("certificate_revoked")},
    {45, REFUSED("certificate_expired"), REQUIRED("certificate_expired")},
    {46, REFUSED("certificate_unknown"), REQUIRED("certificate_unknown")},
    {48, REFUSED("unknown_ca"), REQUIRED("unknown_ca")},
    {49, REFUSED("access_denied"), REQUIRED("access_denied")},
    {51, REFUSED("decrypt_error"), REQUIRED("decrypt_error")},
    {116, REFUSED("certificate_required"), REQUIRED("certificate_required")},
};

#undef REFUSED
#undef REQUIRED

}  // namespace

const char* client_cert_refusal_of(const TlsTransport& t) {
    if (!t.cert_requested || t.peer_alert < 0) return nullptr;
    for (const CertAlert& a : CERT_ALERTS)
        if (a.code == t.peer_alert) return t.cert_shown ? a.refused : a.required;
    return nullptr;
}

const char* TlsSession::client_cert_refusal() const { return client_cert_refusal_of(transport_); }

// ---------------------------------------------------------------------------
// Session.

ssize_t TlsSession::RecordSource::read_some(uint8_t* dst, size_t cap) {
    TlsGate gate;
    if (!gate.open()) return -1;
    // The error queue is empty here: every failure clears it behind itself.
    // Clearing it ahead of each call would make the library set up its
    // per-thread error state on every I/O thread, and walk it every time.
    size_t n = 0;
    if (SSL_read_ex(ssl, dst, cap, &n) == 1) return ssize_t(n);
    // Only close_notify is a clean end; a bare transport end is an error.
    int err = SSL_get_error(ssl, 0);
    ERR_clear_error();
    return err == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

bool TlsSession::RecordSink::write_all(const uint8_t* src, size_t n) {
    TlsGate gate;
    if (!gate.open()) return false;
    while (n != 0) {
        size_t done = 0;
        if (SSL_write_ex(ssl, src, n, &done) != 1) {
            ERR_clear_error();
            return false;
        }
        src += done;
        n -= done;
    }
    return true;
}

bool TlsSession::close() {
    TlsGate gate;
    if (!ssl_ || !gate.open()) return false;
    bool ok = plain_writer_.flush();
    ERR_clear_error();
    // Sends our close_notify; the peer's is not waited for.
    if (SSL_shutdown(ssl_.get()) < 0) ok = false;
    ERR_clear_error();
    return ok;
}

void TlsSession::abandon() {
    if (ssl_) SSL_set_shutdown(ssl_.get(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
}

bool TlsSession::idle_check() {
    TlsGate gate;
    if (!ssl_ || transport_.eof || !gate.open()) return false;
    transport_.no_wait = true;
    ERR_clear_error();
    uint8_t byte = 0;
    size_t n = 0;
    int rc = SSL_peek_ex(ssl_.get(), &byte, 1, &n);
    int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), rc);
    ERR_clear_error();
    transport_.no_wait = false;
    // Only "wants more" means every record so far was handshake traffic.
    return err == SSL_ERROR_WANT_READ && !transport_.eof;
}

bool TlsSession::has_unprocessed_input() {
    TlsGate gate;
    if (!ssl_ || transport_.eof || !gate.open()) return true;
    return SSL_has_pending(ssl_.get()) == 1;
}

bool tls_session_open(TlsSession* session, BufferedReader& socket_reader, ByteSink& socket_writer,
                      const TlsSessionOptions& options) {
    TlsGate gate;
    if (!gate.open()) return false;
    TlsGlobals* g = tls_globals();
    if (g == nullptr || options.ca_bundle == nullptr || options.ca_lock == nullptr ||
        options.read_buffer == nullptr || options.write_buffer == nullptr)
        return false;
    // SNI wants a NUL-terminated name of at most 255 bytes.
    char name[256];
    const Slice& sn = options.server_name;
    if (sn.len == 0 || sn.len >= sizeof name || std::memchr(sn.ptr, 0, sn.len) != nullptr) return false;
    std::memcpy(name, sn.ptr, sn.len);
    name[sn.len] = 0;

    ERR_clear_error();
    std::unique_ptr<ssl_st, SslFree> ssl(SSL_new(g->ctx.get()));
    if (!ssl) return false;
    BioPtr bio(BIO_new(g->bio_method.get()));
    if (!bio) {
        ERR_clear_error();
        return false;
    }
    TlsTransport& t = session->transport_;
    t = TlsTransport{};
    t.socket_reader = &socket_reader;
    t.socket_writer = &socket_writer;
    t.options = &options;
    BIO_set_data(bio.get(), &t);
    SSL_set_bio(ssl.get(), bio.get(), bio.get());
    bio.release();  // owned by the SSL object now
    SSL_set_app_data(ssl.get(), &t);
    SSL_set_connect_state(ssl.get());
    if (options.allow_truncation) SSL_set_options(ssl.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (options.client_cert != nullptr) {
        if (!client_cert_apply(options.client_cert, ssl.get())) return false;
        t.cert_shown = true;
    }
    // Server name indication carries host names only, never an address.
    uint8_t address[16];
    if (host_address(sn, address) == 0 && SSL_set_tlsext_host_name(ssl.get(), name) != 1) {
        ERR_clear_error();
        return false;
    }
    int rc = SSL_do_handshake(ssl.get());
    t.options = nullptr;
    X509_free(t.status_issuer);
    t.status_issuer = nullptr;
    ERR_clear_error();
    AcceptedStore* accepted = t.accepted_store;
    t.accepted_store = nullptr;
    if (rc != 1) {
        release_accepted_store(accepted);
        return false;
    }
    // Running out of memory while indexing the store's roots fails the handshake.
    const bool rebuilt = rebuild_from_accepted_store(accepted, options.ca_bundle, options.ca_lock, options.now);
    // Reads and writes expect an empty error queue (see RecordSource).
    ERR_clear_error();
    if (!rebuilt) return false;

    session->source_.ssl = ssl.get();
    session->sink_.ssl = ssl.get();
    session->plain_reader_ = BufferedReader(&session->source_, options.read_buffer, options.read_buffer_len);
    session->plain_writer_ = BufferedWriter(&session->sink_, options.write_buffer, options.write_buffer_len);
    session->ssl_ = std::move(ssl);
    return true;
}

}  // namespace tarnix
