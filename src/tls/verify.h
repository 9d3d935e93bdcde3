// Verification of a server chain against the system trust store, and the
// rebuild of a pool's bundle from that store.
#pragma once
#include <cstddef>
#include <cstdint>

#include <openssl/x509.h>

#include "platform/bytes.h"

namespace tarnix {

struct CaBundle;
class RwLock;

enum class PlatformVerdict : uint8_t { Accepted, Rejected, OutOfMemory };

// The store version that accepted a chain, kept until the handshake is over:
// the pool's bundle is rebuilt from it only once the handshake succeeded.
// Each platform verifier hands out its own kind.
struct AcceptedStore {
    // Called through the two functions below only.
    virtual bool rebuild(CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) = 0;
    virtual void release() = 0;

protected:
    ~AcceptedStore() = default;
};
// Rebuilds `bundle` from that version and exchanges it under `ca_lock`; a
// version that cannot be read whole leaves the bundle as it was. False only
// when memory ran out. Releases `accepted` either way.
bool rebuild_from_accepted_store(AcceptedStore* accepted, CaBundle* bundle, RwLock* ca_lock, __int128 now_ns);
void release_accepted_store(AcceptedStore* accepted);

// Builds and verifies a chain from certs[0] (the leaf; the rest are untrusted
// intermediates, in the order the server sent them) to a root of the system
// store at `now_ns`, requiring server-authentication usage, checking the
// leaf's revocation against CRLs kept with the store (unknown status is
// ignored), with no host-name check. On acceptance the bundle is rebuilt from
// the store and exchanged under the exclusive side of `ca_lock` (or, with
// `defer_rebuild`, the accepting store version is handed out for that), and
// `*leaf_issuer` (when asked for) gets a reference to the leaf's issuer in
// the verified chain, for the check of a stapled OCSP response.
PlatformVerdict verify_chain_with_platform(const Slice* certs, size_t count, __int128 now_ns, CaBundle* bundle,
                                           RwLock* ca_lock, X509** leaf_issuer = nullptr,
                                           AcceptedStore** defer_rebuild = nullptr);

// The same against the store file at `store_path`: a PEM file whose
// "CERTIFICATE" blocks are the trusted roots and whose "X509 CRL" blocks are
// the revocation lists. The parsed file is cached for the process and parsed
// again when the file changes.
PlatformVerdict verify_chain_with_store(const char* store_path, const Slice* certs, size_t count, __int128 now_ns,
                                        CaBundle* bundle, RwLock* ca_lock, X509** leaf_issuer = nullptr,
                                        AcceptedStore** defer_rebuild = nullptr);
// A chain the server sent, leaf first, each certificate issued by the next,
// whose certificate at `count - 1` was issued by `anchor`, a certificate of
// the pool's bundle; the caller has checked every link's signature and the
// validity of every certificate sent. Applies the store path's rules (path
// length, name constraints, key usage, unknown critical extensions, server
// authentication) with `anchor` as the only trusted certificate. With
// `check_revocation` (the anchor came from the system store) the leaf is
// checked against the store's current CRLs as on the store path, and
// `*leaf_issuer` (when asked for) gets a reference to the leaf's issuer.
bool verify_anchored_chain(STACK_OF(X509)* certs, int count, X509* anchor, __int128 now_ns, bool check_revocation,
                           X509** leaf_issuer = nullptr);

// Rebuilds `bundle` from the store's roots (a store that cannot be read
// leaves it as it was). False only when memory ran out while indexing.
bool rescan_roots_from_store(const char* store_path, CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds);

}  // namespace tarnix
