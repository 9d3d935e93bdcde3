// Chain verification by the system's certificate chain engine, and the
// rebuild of a pool's bundle from the current user's "ROOT" store.
#include "tls/verify.h"

#include <new>

#include "platform/rwlock.h"
#include "platform/win/chain_engine.h"
#include "tls/ca_bundle.h"

namespace tarnix {

namespace {

enum class Rebuild : uint8_t { Done, Kept, OutOfMemory };

struct RootCollector {
    CaBundle* fresh;
    int64_t now_seconds;
    Rebuild result;
};

bool collect_root(void* ctx, const uint8_t* der, size_t len) {
    auto* c = static_cast<RootCollector*>(ctx);
    size_t start = c->fresh->bytes.size();
    if (start + len >= CA_BUNDLE_MAX_BYTES || !c->fresh->bytes.append(der, len)) {
        c->result = Rebuild::Kept;
        return false;
    }
    CaAddResult added = ca_bundle_add_der(c->fresh, start, c->now_seconds);
    if (added != CaAddResult::Ok) {
        c->result = added == CaAddResult::OutOfMemory ? Rebuild::OutOfMemory : Rebuild::Kept;
        return false;
    }
    return true;
}

// Builds a bundle from `roots` and swaps it in. Bytes that cannot grow or a
// root that does not parse leave the pool's bundle as it was.
Rebuild rebuild_from_root_store(const SystemRoots& roots, CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) {
    CaBundle fresh;
    RootCollector collector{&fresh, now_seconds, Rebuild::Done};
    roots.each(collect_root, &collector);
    if (collector.result != Rebuild::Done) return collector.result;
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
    explicit AcceptedRootStore(SystemRoots&& r) : roots(static_cast<SystemRoots&&>(r)) {}
    bool rebuild(CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) override {
        return rebuild_from_root_store(roots, bundle, ca_lock, now_seconds) != Rebuild::OutOfMemory;
    }
    void release() override { delete this; }
    SystemRoots roots;
};

int64_t whole_seconds(__int128 now_ns) {
    __int128 s = now_ns / 1000000000;
    if (now_ns < 0 && s * 1000000000 != now_ns) s -= 1;
    return static_cast<int64_t>(s);
}

// A reference to the leaf's issuer from its DER, or nullptr.
X509* parse_issuer(const OwnedBytes& der) {
    if (der.size() == 0) return nullptr;
    const unsigned char* p = der.data();
    return d2i_X509(nullptr, &p, long(der.size()));
}

}  // namespace

PlatformVerdict verify_chain_with_platform(const Slice* certs, size_t count, __int128 now_ns, CaBundle* bundle,
                                           RwLock* ca_lock, X509** leaf_issuer, AcceptedStore** defer_rebuild) {
    if (defer_rebuild != nullptr) *defer_rebuild = nullptr;
    if (certs == nullptr || count == 0 || bundle == nullptr || ca_lock == nullptr) return PlatformVerdict::Rejected;
    OwnedBytes issuer_der;
    if (!system_chain_accepted(certs, count, now_ns, &issuer_der)) return PlatformVerdict::Rejected;
    X509* issuer = parse_issuer(issuer_der);
    // A store that cannot be opened leaves the bundle as it was.
    SystemRoots roots;
    bool out_of_memory = false;
    if (!roots.open()) {
        // nothing to rebuild from
    } else if (defer_rebuild != nullptr) {
        auto* accepted = new (std::nothrow) AcceptedRootStore(static_cast<SystemRoots&&>(roots));
        if (accepted != nullptr)
            *defer_rebuild = accepted;
        else
            out_of_memory = true;
    } else {
        out_of_memory = rebuild_from_root_store(roots, bundle, ca_lock, whole_seconds(now_ns)) == Rebuild::OutOfMemory;
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
