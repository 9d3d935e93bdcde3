// IP address literals as hosts are written: the connector and the TLS host
// check must agree on which host text is an address.
#include "platform/ip_literal.h"

#include <cstring>

namespace tarnix {

static bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
static uint8_t lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }

static int hex_value(uint8_t c) {
    if (is_digit(c)) return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool parse_ipv4_literal(const uint8_t* p, size_t n, in_addr* out) {
    uint8_t parts[4];
    size_t i = 0;
    for (int part = 0; part < 4; part++) {
        if (part != 0) {
            if (i >= n || p[i] != '.') return false;
            i++;
        }
        size_t begin = i;
        unsigned v = 0;
        while (i < n && is_digit(p[i]) && i - begin < 3) v = v * 10 + unsigned(p[i++] - '0');
        size_t digits = i - begin;
        if (digits == 0 || v > 255 || (digits > 1 && p[begin] == '0')) return false;
        parts[part] = uint8_t(v);
    }
    if (i != n) return false;
    std::memcpy(&out->s_addr, parts, 4);  // network order: first part first
    return true;
}

bool parse_ipv6_literal(const uint8_t* p, size_t n, in6_addr* out) {
    static const char MAPPED[] = "::ffff:";
    const size_t mapped_len = sizeof(MAPPED) - 1;
    bool mapped = n > mapped_len;
    for (size_t i = 0; mapped && i < mapped_len; i++) mapped = lower(p[i]) == uint8_t(MAPPED[i]);
    if (mapped) {
        in_addr v4;
        if (parse_ipv4_literal(p + mapped_len, n - mapped_len, &v4)) {
            std::memset(out->s6_addr, 0, 10);
            out->s6_addr[10] = 0xff;
            out->s6_addr[11] = 0xff;
            std::memcpy(out->s6_addr + 12, &v4.s_addr, 4);
            return true;
        }
    }
    if (n < 2) return false;

    uint16_t head[8], tail[8];
    int nhead = 0, ntail = 0;
    bool shorthand = false;
    size_t i = 0;
    if (p[0] == ':') {
        if (p[1] != ':') return false;
        shorthand = true;
        i = 2;
    }
    while (i < n) {
        unsigned v = 0;
        size_t begin = i;
        while (i < n && i - begin < 4 && hex_value(p[i]) >= 0) v = v * 16 + unsigned(hex_value(p[i++]));
        if (i == begin || nhead + ntail == 8) return false;
        if (shorthand)
            tail[ntail++] = uint16_t(v);
        else
            head[nhead++] = uint16_t(v);
        if (i == n) break;
        if (p[i] != ':') return false;  // also a fifth hex digit, a '%' zone or a '.'
        i++;
        if (i < n && p[i] == ':') {
            if (shorthand) return false;
            shorthand = true;
            i++;
        } else if (i == n) {
            return false;  // a single trailing colon
        }
    }
    // "::" stands for at least one group.
    if (shorthand ? nhead + ntail > 7 : nhead != 8) return false;

    std::memset(out->s6_addr, 0, 16);
    for (int k = 0; k < nhead; k++) {
        out->s6_addr[2 * k] = uint8_t(head[k] >> 8);
        out->s6_addr[2 * k + 1] = uint8_t(head[k]);
    }
    for (int k = 0; k < ntail; k++) {
        int slot = 8 - ntail + k;
        out->s6_addr[2 * slot] = uint8_t(tail[k] >> 8);
        out->s6_addr[2 * slot + 1] = uint8_t(tail[k]);
    }
    return true;
}

}  // namespace tarnix
