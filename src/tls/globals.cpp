// The process-wide library state: a private library context, the client
// context with our protocol settings and callbacks, and the BIO method.
#include <atomic>
#include <cstring>
#include <new>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/fork.h"
#include "platform/thread.h"
#include "tls/exit_gate.h"
#include "tls/library.h"
#include "tls/session_internal.h"

namespace tarnix {

namespace {

std::atomic<TlsGlobals*> g_tls{nullptr};
Mutex g_tls_init;

// A fork waits for a set-up under way, so the child never inherits the lock
// held by a thread it does not have.
void tls_init_before_fork() { g_tls_init.lock(); }
void tls_init_after_fork() { g_tls_init.unlock(); }
void tls_init_in_child() { g_tls_init.reset_after_fork(); }
const bool g_tls_init_fork = on_fork(tls_init_before_fork, tls_init_after_fork, tls_init_in_child);

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
    g->bio_method.reset(new_transport_bio_method());
    if (!g->bio_method) return nullptr;
    g->ctx.reset(SSL_CTX_new_ex(g->libctx.get(), nullptr, TLS_client_method()));
    if (!g->ctx || !configure_context(g->ctx.get())) return nullptr;
    return g.release();
}

}  // namespace

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

TlsGlobals* tls_globals_if_made() { return g_tls.load(std::memory_order_acquire); }

OSSL_LIB_CTX* tls_library_context() {
    TlsGlobals* g = tls_globals();
    return g != nullptr ? g->libctx.get() : nullptr;
}

}  // namespace tarnix
