// Chain verification against the system trust store file, which stands in
// for an operating-system chain engine here.
#include "tls/verify.h"

#include "platform/trust_store.h"

namespace tarnix {

PlatformVerdict verify_chain_with_platform(const Slice* certs, size_t count, __int128 now_ns, CaBundle* bundle,
                                           RwLock* ca_lock, X509** leaf_issuer, AcceptedStore** defer_rebuild) {
    const char* path = system_trust_store_path();
    if (path == nullptr) return PlatformVerdict::Rejected;
    return verify_chain_with_store(path, certs, count, now_ns, bundle, ca_lock, leaf_issuer, defer_rebuild);
}

}  // namespace tarnix
