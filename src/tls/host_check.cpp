#include "tls/host_check.h"

#include <cstring>
#include <memory>

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/ip_literal.h"
#include "tls/openssl_handles.h"

namespace tarnix {
namespace {

inline uint8_t fold(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }

bool equal_ignoring_case(const uint8_t* a, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

}  // namespace

bool host_matches_pattern(Slice pattern, Slice host) {
    if (pattern.len == 0 || host.len == 0) return false;
    if (pattern.len == host.len && equal_ignoring_case(pattern.ptr, host.ptr, host.len)) return true;
    if (pattern.len < 3 || pattern.ptr[0] != '*' || pattern.ptr[1] != '.') return false;
    const uint8_t* rest = pattern.ptr + 2;
    size_t rest_len = pattern.len - 2;
    for (size_t i = 0; i < rest_len; i++) {
        if (rest[i] == '*') return false;
    }
    // An IP literal (its last label all digits) is no domain name, so no
    // wildcard covers it: "*.0.0.1" must not vouch for 127.0.0.1.
    size_t last = host.len;
    while (last > 0 && host.ptr[last - 1] != '.') last--;
    bool numeric = last < host.len;
    for (size_t i = last; i < host.len; i++) numeric = numeric && host.ptr[i] >= '0' && host.ptr[i] <= '9';
    if (numeric) return false;
    size_t dot = 0;
    while (dot < host.len && host.ptr[dot] != '.') dot++;
    if (dot == host.len) return false;
    size_t tail_len = host.len - dot - 1;
    return tail_len == rest_len && equal_ignoring_case(rest, host.ptr + dot + 1, rest_len);
}

size_t host_address(Slice host, uint8_t out[16]) {
    in_addr v4;
    if (parse_ipv4_literal(host.ptr, host.len, &v4)) {
        std::memcpy(out, &v4.s_addr, 4);
        return 4;
    }
    in6_addr v6;
    if (parse_ipv6_literal(host.ptr, host.len, &v6)) {
        std::memcpy(out, v6.s6_addr, 16);
        return 16;
    }
    return 0;
}

HostCheck certificate_matches_host(const x509_st* leaf, Slice host) {
    int crit = 0;
    // crit: -1 absent, -2 present more than once; otherwise present, and a
    // null result then means it did not decode.
    GeneralNamesPtr names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(leaf, NID_subject_alt_name, &crit, nullptr)));
    if (crit == -2 || (crit >= 0 && !names)) return HostCheck::Malformed;
    uint8_t address[16];
    const size_t address_len = host_address(host, address);
    const int n = names ? sk_GENERAL_NAME_num(names.get()) : 0;
    for (int i = 0; i < n; i++) {
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names.get(), i);
        if (gn->type == GEN_IPADD && address_len != 0) {
            const ASN1_OCTET_STRING* ip = gn->d.iPAddress;
            if (size_t(ASN1_STRING_length(ip)) == address_len &&
                std::memcmp(ASN1_STRING_get0_data(ip), address, address_len) == 0)
                return HostCheck::Match;
            continue;
        }
        if (gn->type != GEN_DNS) continue;
        const ASN1_IA5STRING* s = gn->d.dNSName;
        Slice pattern{ASN1_STRING_get0_data(s), size_t(ASN1_STRING_length(s))};
        // For an address only the literal itself: no wildcard covers one.
        if (host_matches_pattern(pattern, host)) return HostCheck::Match;
    }
    // An address never matches the commonName, as in browsers.
    if (n > 0 || address_len != 0) return HostCheck::Mismatch;
    // No names in an extension: the subject's commonName (the last one, the
    // most specific) is the only pattern.
    const X509_NAME* subject = X509_get_subject_name(leaf);
    int idx = -1, last = -1;
    while ((idx = X509_NAME_get_index_by_NID(subject, NID_commonName, idx)) >= 0) last = idx;
    if (last < 0) return HostCheck::Mismatch;
    const ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, last));
    Slice pattern{ASN1_STRING_get0_data(cn), size_t(ASN1_STRING_length(cn))};
    return host_matches_pattern(pattern, host) ? HostCheck::Match : HostCheck::Mismatch;
}

}  // namespace tarnix
