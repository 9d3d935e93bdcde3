// The system's certificate chain engine and its "ROOT" store (CryptoAPI):
// certificates go in and come out as DER, verdicts as booleans.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"

namespace tarnix {

// Builds a chain from certs[0] (the leaf; the rest are intermediates the
// server sent) to a root the system trusts at `now_ns`, for server
// authentication, checking the leaf's revocation where the engine can (an
// unknown status is no reason to refuse), with no host-name check. On
// acceptance `leaf_issuer` (when given) gets the DER of the leaf's issuer in
// the built chain, or stays empty when the leaf is itself the root.
bool system_chain_accepted(const Slice* certs, size_t count, __int128 now_ns, OwnedBytes* leaf_issuer);

// The current user's "ROOT" store as opened at one moment. Moved, never copied.
class SystemRoots {
public:
    SystemRoots() = default;
    ~SystemRoots();
    SystemRoots(SystemRoots&& o) noexcept : store_(o.store_) { o.store_ = nullptr; }
    SystemRoots(const SystemRoots&) = delete;
    SystemRoots& operator=(const SystemRoots&) = delete;

    // False when the store cannot be opened.
    bool open();
    // Calls visit(ctx, der, len) for every root, in the store's order, until
    // it returns false.
    void each(bool (*visit)(void* ctx, const uint8_t* der, size_t len), void* ctx) const;

private:
    void* store_ = nullptr;  // an HCERTSTORE
};

}  // namespace tarnix
