#include "http/host.h"

#include "http/text.h"

namespace tarnix {

static bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
static bool is_alnum(uint8_t c) { return is_digit(c) || (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'z'); }

bool is_valid_host_name(const uint8_t* p, size_t n) {
    if (n != 0 && p[n - 1] == '.') n--;
    if (n == 0 || n > 255) return false;
    size_t label = 0;
    for (size_t i = 0; i <= n; i++) {
        if (i == n || p[i] == '.') {
            if (label == 0 || label > 63 || !is_alnum(p[i - 1])) return false;
            label = 0;
            continue;
        }
        uint8_t c = p[i];
        if (!is_alnum(c) && c != '-') return false;
        if (label == 0 && c == '-') return false;
        label++;
    }
    return true;
}

}  // namespace tarnix
