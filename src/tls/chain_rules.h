// The rules a server chain is judged by, shared by the store path and the
// path anchored in a pool's bundle: OpenSSL's verifier under the
// server-authentication policy, with our own verdicts on time, revocation
// and key strength.
#pragma once
#include <cstdint>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace tarnix {

class StoreSnapshot;

// Restores the thread's OpenSSL error queue on the way out, so that nothing
// done here leaks errors into a handshake running on the same thread.
class ErrorMark {
public:
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
    ErrorMark(const ErrorMark&) = delete;
    ErrorMark& operator=(const ErrorMark&) = delete;
};

// State of one verification. A revocation list that cannot be trusted (bad
// signature, unknown issuer, not yet valid, ...) leaves the status unknown
// rather than revoked. On the bundle path every certificate sent has had its
// validity checked already (notAfter holds to the end of its second, where
// the verifier ends it a second early), and the anchor's expiry was judged
// when it entered the bundle, so the verifier's own time verdicts do not count.
struct VerifyState {
    bool crl_unusable = false;
    bool validity_checked = false;
    // Bundle path: the certificates sent, leaf first, up to the one the
    // anchor issued, every link of which (signature and validity) we have
    // checked already; and the verifier's own link check, for any other chain.
    STACK_OF(X509)* checked = nullptr;
    int checked_count = 0;
    X509* anchor = nullptr;
    X509_STORE_CTX_verify_fn link_check = nullptr;
};

// OpenSSL's verifier under the server-authentication policy at `now_ns`:
// both paths judge chains by these same rules. `crls`, when given, are the
// lists the leaf's revocation is checked against; `*leaf_issuer` (when
// asked for) gets a reference to the leaf's issuer in the built chain.
bool run_verifier(X509_STORE* store, X509* leaf, STACK_OF(X509)* untrusted, __int128 now_ns, unsigned long flags,
                  VerifyState& state, STACK_OF(X509_CRL)* crls, X509** leaf_issuer);

// The revocation lists of the system store file as it is now, held for the
// life of this object; none when not `wanted`, or when the file cannot be
// read or is damaged.
class StoreCrls {
public:
    explicit StoreCrls(bool wanted);
    ~StoreCrls();
    StoreCrls(const StoreCrls&) = delete;
    StoreCrls& operator=(const StoreCrls&) = delete;
    STACK_OF(X509_CRL)* get() const;

private:
    StoreSnapshot* snap_ = nullptr;
};

}  // namespace tarnix
