// Cryptographic random bytes from the kernel.
#include "platform/random.h"

#include <cerrno>
#include <cstdint>
#include <sys/random.h>

namespace tarnix {

bool fill_random(void* dst, size_t n) {
    uint8_t* p = static_cast<uint8_t*>(dst);
    while (n > 0) {
        // Large requests may come back short when a signal arrives.
        ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace tarnix
