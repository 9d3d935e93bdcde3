// The rules a server chain is judged by, and the check of a chain anchored
// in a certificate of a pool's bundle.
#include "tls/chain_rules.h"

#include <openssl/evp.h>

#include "tls/library.h"
#include "tls/openssl_handles.h"
#include "tls/verify.h"

namespace tarnix {

namespace {

// The verifier's last step checks every link's signature and validity
// again. When it built exactly the chain we checked, that work is done
// (two signature checks saved on a typical handshake).
int check_links(X509_STORE_CTX* ctx) {
    auto* state = static_cast<VerifyState*>(X509_STORE_CTX_get_app_data(ctx));
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    bool same = chain != nullptr && state->checked != nullptr && sk_X509_num(chain) == state->checked_count + 1 &&
                sk_X509_value(chain, state->checked_count) == state->anchor;
    for (int i = 0; same && i < state->checked_count; i++) {
        same = sk_X509_value(chain, i) == sk_X509_value(state->checked, i);
    }
    return same ? 1 : state->link_check(ctx);
}

int verify_callback(int ok, X509_STORE_CTX* ctx) {
    if (ok) return 1;
    auto* state = static_cast<VerifyState*>(X509_STORE_CTX_get_app_data(ctx));
    switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return state->validity_checked ? 1 : 0;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
        return 1;  // no list for the issuer: unknown, ignored
    case X509_V_ERR_CRL_HAS_EXPIRED:
        return 1;  // a stale list still names what was revoked
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_CRL_PATH_VALIDATION_ERROR:
        state->crl_unusable = true;
        return 1;
    case X509_V_ERR_CERT_REVOKED:
        return state->crl_unusable ? 1 : 0;
    default:
        return 0;
    }
}

int64_t floor_seconds(__int128 now_ns) {
    __int128 secs = now_ns / 1000000000;
    if (now_ns < 0 && secs * 1000000000 != now_ns) secs -= 1;
    return static_cast<int64_t>(secs);
}

// Keys under 80 bits of security (RSA or DSA under 1024 bits, EC under 160)
// can be broken by a well-funded attacker.
constexpr int MIN_SECURITY_BITS = 80;

bool strong_enough(X509* cert) {
    EVP_PKEY* key = X509_get0_pubkey(cert);
    return key != nullptr && EVP_PKEY_get_security_bits(key) >= MIN_SECURITY_BITS;
}

}  // namespace

bool run_verifier(X509_STORE* store, X509* leaf, STACK_OF(X509)* untrusted, __int128 now_ns, unsigned long flags,
                  VerifyState& state, STACK_OF(X509_CRL)* crls, X509** leaf_issuer) {
    X509StoreCtxPtr ctx(X509_STORE_CTX_new_ex(tls_library_context(), nullptr));
    if (!ctx || !X509_STORE_CTX_init(ctx.get(), store, leaf, untrusted)) return false;
    if (state.checked != nullptr) {
        state.link_check = X509_STORE_CTX_get_verify(ctx.get());
        if (state.link_check == nullptr) return false;
        X509_STORE_CTX_set_verify(ctx.get(), check_links);
    }
    X509_STORE_CTX_set_app_data(ctx.get(), &state);
    X509_STORE_CTX_set_verify_cb(ctx.get(), verify_callback);
    if (!X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER)) return false;
    if (crls != nullptr) X509_STORE_CTX_set0_crls(ctx.get(), crls);
    X509_STORE_CTX_set_flags(ctx.get(), flags);
    X509_STORE_CTX_set_time(ctx.get(), 0, static_cast<time_t>(floor_seconds(now_ns)));
    if (X509_verify_cert(ctx.get()) != 1) return false;
    // Every key of the chain, the trusted one included. The verifier's own
    // security level would also refuse SHA-1 signatures, which both paths
    // still accept.
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    if (chain == nullptr || sk_X509_num(chain) < 1) return false;
    for (int i = 0; i < sk_X509_num(chain); i++) {
        if (!strong_enough(sk_X509_value(chain, i))) return false;
    }
    // A leaf trusted as itself has no issuer to vouch for its status.
    if (leaf_issuer != nullptr && sk_X509_num(chain) > 1) {
        X509* issuer = sk_X509_value(chain, 1);
        if (X509_up_ref(issuer) != 1) return false;
        *leaf_issuer = issuer;
    }
    return true;
}

bool verify_anchored_chain(STACK_OF(X509)* certs, int count, X509* anchor, __int128 now_ns, bool check_revocation,
                           X509** leaf_issuer) {
    if (certs == nullptr || count < 1 || count > sk_X509_num(certs) || anchor == nullptr) return false;
    ErrorMark mark;
    X509StorePtr store(X509_STORE_new());
    X509RefStackPtr untrusted(sk_X509_new_null());
    if (!store || !untrusted || !X509_STORE_add_cert(store.get(), anchor)) return false;
    for (int i = 1; i < count; i++) {
        if (!sk_X509_push(untrusted.get(), sk_X509_value(certs, i))) return false;
    }
    // The anchor need not be a root: a CA file may hold an intermediate.
    unsigned long flags = X509_V_FLAG_PARTIAL_CHAIN;
    // The store as it is now: revocation data added after the rebuild counts.
    StoreCrls store_crls(check_revocation);
    STACK_OF(X509_CRL)* crls = store_crls.get();
    if (crls != nullptr) flags |= X509_V_FLAG_CRL_CHECK;
    VerifyState state;
    state.validity_checked = true;
    state.checked = certs;
    state.checked_count = count;
    state.anchor = anchor;
    return run_verifier(store.get(), sk_X509_value(certs, 0), untrusted.get(), now_ns, flags, state, crls,
                        check_revocation ? leaf_issuer : nullptr);
}

}  // namespace tarnix
