#include "tls/session.h"

#include <atomic>
#include <cstring>
#include <new>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/fork.h"
#include "platform/heap.h"
#include "platform/rwlock.h"
#include "platform/thread.h"
#include "tls/ca_bundle.h"
#include "tls/client_cert.h"
#include "tls/exit_gate.h"
#include "tls/host_check.h"
#include "tls/library.h"
#include "tls/ocsp.h"
#include "tls/openssl_handles.h"
#include "tls/verify.h"

namespace tarnix {

void SslFree::operator()(ssl_st* s) const {
    TlsGate gate;
    if (gate.open()) SSL_free(s);  // at exit the object is left to the process's end
}

namespace {

// Longest record body a server may send: 16,384 bytes of plaintext plus 256
// bytes of expansion.
constexpr uint32_t MAX_RECORD_BODY = 16640;
// Longest leaf public key (the subjectPublicKey BIT STRING's bytes) accepted.
constexpr int MAX_LEAF_KEY_BYTES = 600;

// ---------------------------------------------------------------------------
// Process-wide library state, made once and kept for the life of the process
// (I/O threads may still run while the interpreter exits).

struct TlsGlobals {
    LibCtxPtr libctx;
    BioMethodPtr bio_method;
    SslCtxPtr ctx;
};

std::atomic<TlsGlobals*> g_tls{nullptr};
Mutex g_tls_init;

// A fork waits for a set-up under way, so the child never inherits the lock
// held by a thread it does not have.
void tls_init_before_fork() { g_tls_init.lock(); }
void tls_init_after_fork() { g_tls_init.unlock(); }
void tls_init_in_child() { g_tls_init.reset_after_fork(); }
const bool g_tls_init_fork = on_fork(tls_init_before_fork, tls_init_after_fork, tls_init_in_child);

int verify_server_chain(X509_STORE_CTX* store_ctx, void* arg);
int check_stapled_status(SSL* ssl, void* arg);
int note_cert_request(SSL* ssl, void* arg);
void note_alert(const SSL* ssl, int where, int value);

// ---------------------------------------------------------------------------
// BIO over the connection's buffered socket reader and writer.

TlsTransport* transport_of(BIO* b) { return static_cast<TlsTransport*>(BIO_get_data(b)); }

// Follows record boundaries in the bytes handed to the library and refuses a
// record whose length field is above the limit.
bool track_records(TlsTransport* t, const uint8_t* p, size_t n) {
    while (n != 0) {
        if (t->record_left != 0) {
            size_t k = n < t->record_left ? n : t->record_left;
            t->record_left -= uint32_t(k);
            p += k;
            n -= k;
            continue;
        }
        t->header[t->header_len++] = *p++;
        n--;
        if (t->header_len == 5) {
            uint32_t len = (uint32_t(t->header[3]) << 8) | t->header[4];
            if (len > MAX_RECORD_BODY) return false;
            t->record_left = len;
            t->header_len = 0;
        }
    }
    return true;
}

int bio_read(BIO* b, char* data, size_t len, size_t* read) {
    BIO_clear_retry_flags(b);
    *read = 0;
    TlsTransport* t = transport_of(b);
    if (len == 0 || t == nullptr) return 0;
    pause_tls_code();
    ssize_t n = t->socket_reader->read_some(reinterpret_cast<uint8_t*>(data), len);
    resume_tls_code();
    if (n == 0) t->eof = true;
    if (n < 0 && t->no_wait) BIO_set_retry_read(b);
    if (n <= 0) return 0;
    if (!track_records(t, reinterpret_cast<const uint8_t*>(data), size_t(n))) return 0;
    *read = size_t(n);
    return 1;
}

int bio_write(BIO* b, const char* data, size_t len, size_t* written) {
    BIO_clear_retry_flags(b);
    *written = 0;
    TlsTransport* t = transport_of(b);
    if (t == nullptr) return 0;
    pause_tls_code();
    bool ok = t->socket_writer->write_all(reinterpret_cast<const uint8_t*>(data), len);
    resume_tls_code();
    if (!ok) return 0;
    *written = len;
    return 1;
}

long bio_ctrl(BIO* b, int cmd, long, void*) {
    TlsTransport* t = transport_of(b);
    switch (cmd) {
    case BIO_CTRL_FLUSH: {
        if (t == nullptr) return 0;
        pause_tls_code();
        bool ok = t->socket_writer->flush();
        resume_tls_code();
        return ok ? 1 : 0;
    }
    case BIO_CTRL_EOF:
        return (t != nullptr && t->eof) ? 1 : 0;
    case BIO_CTRL_GET_CLOSE:
        return BIO_CLOSE;
    case BIO_CTRL_SET_CLOSE:
        return 1;
    case BIO_C_GET_FD:
        return -1;
    default:
        return 0;
    }
}

int bio_create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

int bio_destroy(BIO*) { return 1; }

// ---------------------------------------------------------------------------
// Client parameters.

// Offered in this order, minus what the library refuses.
const char* const SIGNATURE_SCHEMES[] = {
    "ecdsa_secp256r1_sha256", "ecdsa_secp384r1_sha384", "ecdsa_secp521r1_sha512", "rsa_pkcs1_sha256",
    "rsa_pkcs1_sha384",       "rsa_pkcs1_sha512",       "rsa_pss_rsae_sha256",    "rsa_pss_rsae_sha384",
    "rsa_pss_rsae_sha512",    "rsa_pss_pss_sha256",     "rsa_pss_pss_sha384",     "rsa_pss_pss_sha512",
    "rsa_pkcs1_sha1",         "ed25519",
};

// Groups: the hybrid post-quantum group first with a key share for every
// group where the library can send several, else the classic groups with the
// library's single share (for the first).
const char* const GROUP_LISTS[] = {
    "?*X25519MLKEM768:*P-256:*P-384:*X25519",
    "P-256:P-384:X25519",
};

bool set_signature_schemes(SSL_CTX* ctx) {
    char list[512];
    size_t used = 0;
    for (const char* name : SIGNATURE_SCHEMES) {
        if (SSL_CTX_set1_sigalgs_list(ctx, name) != 1) {
            ERR_clear_error();
            continue;
        }
        size_t n = std::strlen(name);
        if (used + n + 2 > sizeof list) return false;
        if (used != 0) list[used++] = ':';
        std::memcpy(list + used, name, n);
        used += n;
    }
    list[used] = 0;
    return used != 0 && SSL_CTX_set1_sigalgs_list(ctx, list) == 1;
}

bool set_groups(SSL_CTX* ctx) {
    for (const char* groups : GROUP_LISTS) {
        if (SSL_CTX_set1_groups_list(ctx, groups) == 1) return true;
        ERR_clear_error();
    }
    return false;
}

bool configure_context(SSL_CTX* ctx) {
    // Start from a known state: nothing inherited from a configuration file
    // that another user of the library in this process may have loaded.
    SSL_CTX_clear_options(ctx, SSL_CTX_get_options(ctx));
    uint64_t options = SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                       SSL_OP_ENABLE_MIDDLEBOX_COMPAT | SSL_OP_NO_ENCRYPT_THEN_MAC;
#ifdef SSL_OP_NO_RX_CERTIFICATE_COMPRESSION
    options |= SSL_OP_NO_RX_CERTIFICATE_COMPRESSION | SSL_OP_NO_TX_CERTIFICATE_COMPRESSION;
#endif
    SSL_CTX_set_options(ctx, options);
    SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_security_level(ctx, 1);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) return false;
    if (SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) return false;
    if (SSL_CTX_set_ciphersuites(ctx, "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384") != 1)
        return false;
    // TLS 1.2: ECDHE with AEAD ciphers only, for ECDSA and RSA certificates.
    if (SSL_CTX_set_cipher_list(ctx, "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
                                     "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                     "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384") != 1)
        return false;
    if (!set_groups(ctx) || !set_signature_schemes(ctx)) return false;
    // Trust decisions are ours alone: the hook replaces the library's chain
    // building, and the context's own store stays empty.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verify_server_chain, nullptr);
    // Ask for a stapled OCSP response (status_request); judged once the
    // chain is verified.
    if (SSL_CTX_set_tlsext_status_type(ctx, TLSEXT_STATUSTYPE_ocsp) != 1 ||
        SSL_CTX_set_tlsext_status_cb(ctx, check_stapled_status) != 1)
        return false;
    SSL_CTX_set_cert_cb(ctx, note_cert_request, nullptr);
    SSL_CTX_set_info_callback(ctx, note_alert);
    return true;
}

TlsGlobals* make_globals() {
    // No configuration file, no environment: a private library context that
    // loads nothing but the built-in default provider on first use.
    std::unique_ptr<TlsGlobals> g(new (std::nothrow) TlsGlobals);
    if (!g) return nullptr;
    g->libctx.reset(OSSL_LIB_CTX_new());
    if (!g->libctx) return nullptr;
    g->bio_method.reset(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarnix socket"));
    if (!g->bio_method) return nullptr;
    if (BIO_meth_set_read_ex(g->bio_method.get(), bio_read) != 1 ||
        BIO_meth_set_write_ex(g->bio_method.get(), bio_write) != 1 ||
        BIO_meth_set_ctrl(g->bio_method.get(), bio_ctrl) != 1 ||
        BIO_meth_set_create(g->bio_method.get(), bio_create) != 1 ||
        BIO_meth_set_destroy(g->bio_method.get(), bio_destroy) != 1)
        return nullptr;
    g->ctx.reset(SSL_CTX_new_ex(g->libctx.get(), nullptr, TLS_client_method()));
    if (!g->ctx || !configure_context(g->ctx.get())) return nullptr;
    return g.release();
}

// Made on first use; a failed attempt (memory) is tried again next time.
TlsGlobals* tls_globals() {
    TlsGlobals* g = g_tls.load(std::memory_order_acquire);
    if (g != nullptr) return g;
    // Outside the lock: both may register exit or fork handlers, which
    // waits for a fork under way, and a fork waits for this lock.
    if (OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) return nullptr;
    tls_gate_install();
    g_tls_init.lock();
    g = g_tls.load(std::memory_order_relaxed);
    if (g == nullptr) {
        g = make_globals();
        ERR_clear_error();
        if (g != nullptr) g_tls.store(g, std::memory_order_release);
    }
    g_tls_init.unlock();
    return g;
}

// ---------------------------------------------------------------------------
// Certificate checks.

struct Instant {
    int64_t seconds;  // floor(now / 1e9)
    int64_t nanos;    // 0 .. 999,999,999
};

Instant instant_of(__int128 now) {
    constexpr __int128 NS = 1000000000;
    __int128 s = now / NS;
    __int128 r = now % NS;
    if (r < 0) {
        s -= 1;
        r += NS;
    }
    return Instant{int64_t(s), int64_t(r)};
}

bool within_validity(const X509* cert, Instant now) {
    int before = ASN1_TIME_cmp_time_t(X509_get0_notBefore(cert), time_t(now.seconds));
    if (before == -2 || before > 0) return false;
    int after = ASN1_TIME_cmp_time_t(X509_get0_notAfter(cert), time_t(now.seconds));
    if (after == -2 || after < 0) return false;
    return after > 0 || now.nanos == 0;
}

Slice name_der(const X509_NAME* name) {
    const unsigned char* der = nullptr;
    size_t len = 0;
    if (X509_NAME_get0_der(name, &der, &len) != 1) return Slice{};
    return Slice{der, len};
}

// `cert` names `issuer` as its issuer byte for byte, is valid at `now`, and
// carries a signature that checks out under the issuer's key.
bool issued_by(X509* cert, X509* issuer, Instant now) {
    Slice a = name_der(X509_get_issuer_name(cert));
    Slice b = name_der(X509_get_subject_name(issuer));
    if (a.ptr == nullptr || b.ptr == nullptr || a.len != b.len || std::memcmp(a.ptr, b.ptr, a.len) != 0)
        return false;
    if (!within_validity(cert, now)) return false;
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    return key != nullptr && X509_verify(cert, key) == 1;
}

// A certificate the server presents as the issuer of the one before it must
// be a CA; otherwise any leaf a trusted CA issued could mint certificates for
// other hosts.
bool may_issue(X509* cert) { return X509_check_ca(cert) == 1; }

// A leaf that states its extended key usages must name server
// authentication among them.
bool usable_for_server(X509* leaf) {
    if ((X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) == 0) return true;
    return (X509_get_extended_key_usage(leaf) & XKU_SSL_SERVER) != 0;
}

enum class Anchor : uint8_t { NotFound, Trusted, Rejected };

// Looks the certificate's issuer up in the bundle and checks it against the
// bundle certificate, holding the shared side of ca_lock for both. A trusted
// anchor is handed out as a copy of its own, usable after the lock is gone.
Anchor check_against_bundle(X509* cert, const TlsSessionOptions& o, Instant now, OSSL_LIB_CTX* libctx,
                            X509Ptr* anchor_out, bool* from_store) {
    Slice issuer = name_der(X509_get_issuer_name(cert));
    if (issuer.ptr == nullptr) return Anchor::Rejected;
    SharedGuard guard(*o.ca_lock);
    uint32_t offset = 0;
    const CaBundle* certs = ca_bundle_certs(o.ca_bundle);
    if (!ca_bundle_find_issuer(certs, issuer.ptr, issuer.len, &offset)) return Anchor::NotFound;
    const ByteBuf& bytes = certs->bytes;
    if (offset >= bytes.size()) return Anchor::Rejected;
    const unsigned char* p = bytes.data() + offset;
    X509* raw = X509_new_ex(libctx, nullptr);
    if (raw == nullptr) return Anchor::Rejected;
    // On failure the library frees the object and clears the pointer.
    d2i_X509(&raw, &p, long(bytes.size() - offset));
    X509Ptr anchor(raw);
    if (!anchor || !issued_by(cert, anchor.get(), now)) return Anchor::Rejected;
    *anchor_out = std::move(anchor);
    *from_store = certs->from_system_store;
    return Anchor::Trusted;
}

// The certificates' DER encodings, for the system store's verifier.
class DerList {
public:
    explicit DerList(size_t n) : n_(n) {
        slices_ = static_cast<Slice*>(heap_alloc(n * sizeof(Slice)));
        if (slices_ != nullptr) {
            for (size_t i = 0; i < n; i++) slices_[i] = Slice{};
        }
    }
    ~DerList() {
        if (slices_ == nullptr) return;
        for (size_t i = 0; i < n_; i++) OPENSSL_free(const_cast<uint8_t*>(slices_[i].ptr));
        heap_free(slices_);
    }
    DerList(const DerList&) = delete;
    DerList& operator=(const DerList&) = delete;

    bool fill(STACK_OF(X509)* certs) {
        if (slices_ == nullptr) return false;
        for (size_t i = 0; i < n_; i++) {
            unsigned char* der = nullptr;
            int len = i2d_X509(sk_X509_value(certs, int(i)), &der);
            if (len <= 0) return false;
            slices_[i] = Slice{der, size_t(len)};
        }
        return true;
    }
    const Slice* slices() const { return slices_; }

private:
    Slice* slices_ = nullptr;
    size_t n_;
};

bool check_server_chain(STACK_OF(X509)* certs, TlsTransport* t, OSSL_LIB_CTX* libctx) {
    const TlsSessionOptions& o = *t->options;
    X509_free(t->status_issuer);
    t->status_issuer = nullptr;
    release_accepted_store(t->accepted_store);
    t->accepted_store = nullptr;
    int count = sk_X509_num(certs);
    if (count < 1) return false;
    Instant now = instant_of(o.now);
    for (int i = 0; i < count; i++) {
        X509* cert = sk_X509_value(certs, i);
        // Extensions that do not decode, or repeat, make the certificate unusable.
        if (cert == nullptr || (X509_get_extension_flags(cert) & EXFLAG_INVALID) != 0) return false;
        if (i == 0) {
            if (o.check_host && certificate_matches_host(cert, o.server_name) != HostCheck::Match) return false;
            if (!usable_for_server(cert)) return false;
            const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(cert);
            if (key == nullptr || ASN1_STRING_length(key) > MAX_LEAF_KEY_BYTES) return false;
        } else if (!may_issue(cert) || !issued_by(sk_X509_value(certs, i - 1), cert, now)) {
            return false;
        }
        X509Ptr anchor;
        bool from_store = false;
        switch (check_against_bundle(cert, o, now, libctx, &anchor, &from_store)) {
        case Anchor::Trusted:
            // Our link rules hold; the path rules of the store path come next,
            // and its revocation checks when the anchor is a store root.
            return verify_anchored_chain(certs, i + 1, anchor.get(), o.now, from_store, &t->status_issuer);
        case Anchor::Rejected:
            return false;
        case Anchor::NotFound:
            break;
        }
    }
    // Nothing anchored in the bundle: the system store decides.
    DerList der{size_t(count)};
    if (!der.fill(certs)) return false;
    return verify_chain_with_platform(der.slices(), size_t(count), o.now, o.ca_bundle, o.ca_lock,
                                      &t->status_issuer, &t->accepted_store) == PlatformVerdict::Accepted;
}

int verify_server_chain(X509_STORE_CTX* store_ctx, void*) {
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store_ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TlsTransport* t = ssl != nullptr ? static_cast<TlsTransport*>(SSL_get_app_data(ssl)) : nullptr;
    TlsGlobals* g = g_tls.load(std::memory_order_acquire);
    STACK_OF(X509)* certs = X509_STORE_CTX_get0_untrusted(store_ctx);
    bool ok = t != nullptr && t->options != nullptr && g != nullptr && certs != nullptr &&
              check_server_chain(certs, t, g->libctx.get());
    X509_STORE_CTX_set_error(store_ctx, ok ? X509_V_OK : X509_V_ERR_CERT_REJECTED);
    return ok ? 1 : 0;
}

// Runs once the server's flight is in, after the chain was verified. A leaf
// a verifiable response reports revoked is refused; no response, or one that
// cannot be verified, leaves the status unknown, which is accepted, as on
// the store path.
int check_stapled_status(SSL* ssl, void*) {
    TlsTransport* t = static_cast<TlsTransport*>(SSL_get_app_data(ssl));
    if (t == nullptr || t->options == nullptr) return 0;
    if (t->status_issuer == nullptr) return 1;  // this chain's revocation is not checked
    const unsigned char* response = nullptr;
    long len = SSL_get_tlsext_status_ocsp_resp(ssl, &response);
    if (response == nullptr || len <= 0) return 1;
    X509* leaf = SSL_get0_peer_certificate(ssl);
    if (leaf == nullptr) return 0;
    return stapled_status(response, size_t(len), leaf, t->status_issuer, t->options->now) == StapleStatus::Revoked
               ? 0
               : 1;
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

OSSL_LIB_CTX* tls_library_context() {
    TlsGlobals* g = tls_globals();
    return g != nullptr ? g->libctx.get() : nullptr;
}

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

bool TlsSession::drain_idle() {
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
