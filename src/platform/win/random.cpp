// Cryptographic random bytes from the system's preferred generator.
#include "platform/random.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>

namespace tarnix {

bool fill_random(void* dst, size_t n) {
    auto* p = static_cast<uint8_t*>(dst);
    while (n > 0) {
        // The length is a ULONG: large requests go in pieces.
        ULONG chunk = n > 0x40000000u ? 0x40000000u : static_cast<ULONG>(n);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        p += chunk;
        n -= chunk;
    }
    return true;
}

}  // namespace tarnix
