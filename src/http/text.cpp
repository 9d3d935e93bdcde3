#include "http/text.h"

#include <cstring>

namespace tarnix {

bool ascii_ieq(const uint8_t* a, size_t alen, const char* lower_b, size_t blen) {
    if (alen != blen) return false;
    for (size_t i = 0; i < alen; i++)
        if (ascii_lower(a[i]) != uint8_t(lower_b[i])) return false;
    return true;
}

bool ascii_icontains(const uint8_t* hay, size_t n, const char* lower_word, size_t wlen) {
    if (wlen == 0) return true;
    if (n < wlen) return false;
    const uint8_t first = uint8_t(lower_word[0]);
    for (size_t i = 0; i + wlen <= n; i++) {
        if (ascii_lower(hay[i]) != first) continue;
        size_t k = 1;
        while (k < wlen && ascii_lower(hay[i + k]) == uint8_t(lower_word[k])) k++;
        if (k == wlen) return true;
    }
    return false;
}

void trim_wire_space(const uint8_t** p, size_t* n) {
    const uint8_t* s = *p;
    size_t len = *n;
    while (len != 0 && is_wire_space(s[0])) { s++; len--; }
    while (len != 0 && is_wire_space(s[len - 1])) len--;
    *p = s;
    *n = len;
}

static int digit_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

NumberStatus parse_number(const uint8_t* p, size_t n, unsigned base, unsigned bits, uint64_t* out) {
    if (n == 0) return NumberStatus::Invalid;
    bool negative = false;
    if (p[0] == '+' || p[0] == '-') {
        negative = p[0] == '-';
        p++;
        n--;
        if (n == 0) return NumberStatus::Invalid;
    }
    if (p[0] == '_' || p[n - 1] == '_') return NumberStatus::Invalid;
    const uint64_t max = bits >= 64 ? UINT64_MAX : (uint64_t(1) << bits) - 1;
    uint64_t value = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] == '_') continue;
        int d = digit_value(p[i]);
        if (d >= int(base)) return NumberStatus::Invalid;
        // Only "-0", "-00", ... fit an unsigned target.
        if (negative) {
            if (d != 0) return NumberStatus::Overflow;
            continue;
        }
        if (value > (max - uint64_t(d)) / base) return NumberStatus::Overflow;
        value = value * base + uint64_t(d);
    }
    *out = value;
    return NumberStatus::Ok;
}

}  // namespace tarnix
