// The system's chain engine and "ROOT" store over CryptoAPI.
#include "platform/win/chain_engine.h"

#include <windows.h>
#include <wincrypt.h>

namespace tarnix {

namespace {

// 100 ns ticks between 1601-01-01 and 1970-01-01, in nanoseconds.
constexpr __int128 FILETIME_EPOCH_NS = static_cast<__int128>(11644473600LL) * 1000000000;

// `now_ns` as a FILETIME, rounded down; false before 1601 or past its range.
bool to_filetime(__int128 now_ns, FILETIME* ft) {
    __int128 v = now_ns + FILETIME_EPOCH_NS;
    if (v < 0) return false;
    __int128 ticks = v / 100;
    if (ticks > static_cast<__int128>(INT64_MAX)) return false;
    ft->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
    ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return true;
}

// The server's certificates in an in-memory store, and the context of the
// first (the leaf) which keeps the store's other certificates in reach of the
// chain engine. Both are released on every path.
class ServerChain {
public:
    ServerChain() = default;
    ~ServerChain() {
        if (leaf_ != nullptr) CertFreeCertificateContext(leaf_);
        if (store_ != nullptr) CertCloseStore(store_, 0);
    }
    ServerChain(const ServerChain&) = delete;
    ServerChain& operator=(const ServerChain&) = delete;

    bool collect(const Slice* certs, size_t count) {
        for (size_t i = 0; i < count; i++) {
            if (certs[i].ptr == nullptr || certs[i].len == 0 || certs[i].len > MAXDWORD) return false;
            if (store_ == nullptr) {
                store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
                if (store_ == nullptr) return false;
            }
            if (!CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, certs[i].ptr, DWORD(certs[i].len),
                                                  CERT_STORE_ADD_ALWAYS, leaf_ == nullptr ? &leaf_ : nullptr))
                return false;
        }
        return leaf_ != nullptr;
    }
    PCCERT_CONTEXT leaf() const { return leaf_; }

private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT leaf_ = nullptr;
};

// The DER of the leaf's issuer in the built chain; empty when there is none.
bool copy_leaf_issuer(PCCERT_CHAIN_CONTEXT chain, OwnedBytes* out) {
    if (chain->cChain == 0 || chain->rgpChain[0]->cElement < 2) return true;
    PCCERT_CONTEXT issuer = chain->rgpChain[0]->rgpElement[1]->pCertContext;
    return out->assign_copy(issuer->pbCertEncoded, issuer->cbCertEncoded);
}

bool chain_accepted(PCCERT_CONTEXT leaf, __int128 now_ns, OwnedBytes* leaf_issuer) {
    FILETIME at;
    if (!to_filetime(now_ns, &at)) return false;
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The server's intermediates are found through the leaf's own store,
    // named explicitly: not every chain engine searches it by itself.
    if (!CertGetCertificateChain(nullptr, leaf, &at, leaf->hCertStore, &para,
                                 CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                                 nullptr, &chain))
        return false;

    // Host names were checked by the handshake already; an unknown
    // revocation status is no reason to refuse.
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = 0;
    ssl.pwszServerName = nullptr;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    BOOL evaluated = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    // Some chain engines (Wine's) still fail the policy for a revocation
    // status that could not be determined: accept when that is the chain's
    // only flaw. A revoked certificate is reported as such and stays refused.
    constexpr DWORD kUnknownRevocation = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    bool ok = evaluated && (status.dwError == 0 || ((status.dwError == DWORD(CRYPT_E_REVOCATION_OFFLINE) ||
                                                     status.dwError == DWORD(CERT_E_REVOCATION_FAILURE)) &&
                                                    (chain->TrustStatus.dwErrorStatus & ~kUnknownRevocation) == 0));
    // The issuer is an optional extra: a copy that fails leaves it out.
    if (ok && leaf_issuer != nullptr && !copy_leaf_issuer(chain, leaf_issuer)) leaf_issuer->reset();
    CertFreeCertificateChain(chain);
    return ok;
}

}  // namespace

bool system_chain_accepted(const Slice* certs, size_t count, __int128 now_ns, OwnedBytes* leaf_issuer) {
    ServerChain chain;
    return chain.collect(certs, count) && chain_accepted(chain.leaf(), now_ns, leaf_issuer);
}

SystemRoots::~SystemRoots() {
    if (store_ != nullptr) CertCloseStore(static_cast<HCERTSTORE>(store_), 0);
}

bool SystemRoots::open() {
    if (store_ == nullptr) store_ = CertOpenSystemStoreW(0, L"ROOT");
    return store_ != nullptr;
}

void SystemRoots::each(bool (*visit)(void* ctx, const uint8_t* der, size_t len), void* ctx) const {
    if (store_ == nullptr) return;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(static_cast<HCERTSTORE>(store_), c)) != nullptr) {
        if (!visit(ctx, c->pbCertEncoded, c->cbCertEncoded)) break;
    }
    // Leaving the loop early still holds the last context.
    if (c != nullptr) CertFreeCertificateContext(c);
}

}  // namespace tarnix
