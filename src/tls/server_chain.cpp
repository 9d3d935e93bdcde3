// The server's certificate chain, judged in the handshake's verify hook:
// links, host and key rules, then the pool's bundle or the system store;
// and the stapled status response judged after it.
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/heap.h"
#include "platform/rwlock.h"
#include "tls/ca_bundle.h"
#include "tls/host_check.h"
#include "tls/ocsp.h"
#include "tls/session.h"
#include "tls/session_internal.h"
#include "tls/verify.h"

namespace tarnix {

namespace {

// Longest leaf public key (the subjectPublicKey BIT STRING's bytes) accepted.
constexpr int MAX_LEAF_KEY_BYTES = 600;

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

}  // namespace

int verify_server_chain(X509_STORE_CTX* store_ctx, void*) {
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store_ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TlsTransport* t = ssl != nullptr ? static_cast<TlsTransport*>(SSL_get_app_data(ssl)) : nullptr;
    TlsGlobals* g = tls_globals_if_made();
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

}  // namespace tarnix
