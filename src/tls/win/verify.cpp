// Chain verification by the system's certificate chain engine (CryptoAPI),
// and the rebuild of a pool's bundle from the current user's "ROOT" store.
#include "tls/verify.h"

#include <windows.h>
#include <wincrypt.h>

#include <new>

#include "platform/rwlock.h"
#include "tls/ca_bundle.h"

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

// A reference to the leaf's issuer in the built chain (for judging a stapled
// status response), or nullptr.
X509* leaf_issuer_of(PCCERT_CHAIN_CONTEXT chain) {
    if (chain->cChain == 0 || chain->rgpChain[0]->cElement < 2) return nullptr;
    PCCERT_CONTEXT issuer = chain->rgpChain[0]->rgpElement[1]->pCertContext;
    const unsigned char* p = issuer->pbCertEncoded;
    return d2i_X509(nullptr, &p, long(issuer->cbCertEncoded));
}

bool chain_accepted(PCCERT_CONTEXT leaf, __int128 now_ns, X509** leaf_issuer) {
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
    if (ok && leaf_issuer != nullptr) *leaf_issuer = leaf_issuer_of(chain);
    CertFreeCertificateChain(chain);
    return ok;
}

enum class Rebuild : uint8_t { Done, Kept, OutOfMemory };

// Builds a bundle from `root` and swaps it in. Bytes that cannot grow or a
// root that does not parse leave the pool's bundle as it was.
Rebuild rebuild_from_root_store(HCERTSTORE root, CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) {
    CaBundle fresh;
    Rebuild result = Rebuild::Done;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(root, c)) != nullptr) {
        size_t start = fresh.bytes.size();
        if (start + c->cbCertEncoded >= CA_BUNDLE_MAX_BYTES ||
            !fresh.bytes.append(c->pbCertEncoded, c->cbCertEncoded)) {
            result = Rebuild::Kept;
            break;
        }
        CaAddResult added = ca_bundle_add_der(&fresh, start, now_seconds);
        if (added != CaAddResult::Ok) {
            result = added == CaAddResult::OutOfMemory ? Rebuild::OutOfMemory : Rebuild::Kept;
            break;
        }
    }
    // Leaving the loop early still holds the last context.
    if (c != nullptr) CertFreeCertificateContext(c);
    if (result != Rebuild::Done) return result;
    {
        fresh.from_system_store = true;
        ExclusiveGuard guard(*ca_lock);
        bundle->swap(fresh);
    }
    return Rebuild::Done;  // `fresh` now holds the old bundle and frees it outside the lock
}

// The "ROOT" store as opened when it accepted a chain, held until the
// handshake is over: a handshake that fails after the chain check (a revoked
// staple, a server without the certificate's key) must not touch the bundle.
struct AcceptedRootStore final : AcceptedStore {
    explicit AcceptedRootStore(HCERTSTORE s) : root(s) {}
    bool rebuild(CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) override {
        return rebuild_from_root_store(root, bundle, ca_lock, now_seconds) != Rebuild::OutOfMemory;
    }
    void release() override {
        CertCloseStore(root, 0);
        delete this;
    }
    HCERTSTORE root;
};

int64_t whole_seconds(__int128 now_ns) {
    __int128 s = now_ns / 1000000000;
    if (now_ns < 0 && s * 1000000000 != now_ns) s -= 1;
    return static_cast<int64_t>(s);
}

}  // namespace

PlatformVerdict verify_chain_with_platform(const Slice* certs, size_t count, __int128 now_ns, CaBundle* bundle,
                                           RwLock* ca_lock, X509** leaf_issuer, AcceptedStore** defer_rebuild) {
    if (defer_rebuild != nullptr) *defer_rebuild = nullptr;
    if (certs == nullptr || count == 0 || bundle == nullptr || ca_lock == nullptr) return PlatformVerdict::Rejected;
    X509* issuer = nullptr;
    {
        ServerChain chain;
        if (!chain.collect(certs, count) || !chain_accepted(chain.leaf(), now_ns, &issuer))
            return PlatformVerdict::Rejected;
    }
    // A store that cannot be opened leaves the bundle as it was.
    HCERTSTORE root = CertOpenSystemStoreW(0, L"ROOT");
    bool out_of_memory = false;
    if (root != nullptr && defer_rebuild != nullptr) {
        auto* accepted = new (std::nothrow) AcceptedRootStore(root);
        if (accepted != nullptr) {
            *defer_rebuild = accepted;
        } else {
            CertCloseStore(root, 0);
            out_of_memory = true;
        }
    } else if (root != nullptr) {
        out_of_memory = rebuild_from_root_store(root, bundle, ca_lock, whole_seconds(now_ns)) == Rebuild::OutOfMemory;
        CertCloseStore(root, 0);
    }
    if (out_of_memory) {
        X509_free(issuer);
        return PlatformVerdict::OutOfMemory;
    }
    if (leaf_issuer != nullptr)
        *leaf_issuer = issuer;
    else
        X509_free(issuer);
    return PlatformVerdict::Accepted;
}

}  // namespace tarnix
