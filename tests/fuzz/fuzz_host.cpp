// Host checks: the syntax of host text (IP literals and host names, checked
// against the C library's parser and a plain restatement of the name rule),
// one certificate name pattern against a host, and a whole certificate's
// names against a host.
//
// Input: one mode byte, then the text; in the pattern and certificate modes
// the host runs up to the first NUL and the pattern or DER follows it.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/x509.h>

#include "http/host.h"
#include "tls/host_check.h"

using namespace tarnix;

namespace {

bool alnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
uint8_t lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }

bool name_ok(std::string s) {
    if (!s.empty() && s.back() == '.') s.pop_back();
    if (s.empty() || s.size() > 255) return false;
    size_t start = 0;
    for (;;) {
        size_t dot = s.find('.', start);
        std::string label = s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > 63 || label[0] == '-' || !alnum(uint8_t(label.back()))) return false;
        for (char c : label)
            if (!alnum(uint8_t(c)) && c != '-') return false;
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

bool ieq(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (lower(uint8_t(a[i])) != lower(uint8_t(b[i]))) return false;
    return true;
}

void check_syntax(const uint8_t* p, size_t n) {
    std::string text(reinterpret_cast<const char*>(p), n);
    const bool has_nul = text.find('\0') != std::string::npos;

    in_addr v4{}, ref4{};
    bool ours4 = parse_ipv4_literal(p, n, &v4);
    if (!has_nul) {
        bool libc4 = inet_pton(AF_INET, text.c_str(), &ref4) == 1;
        if (ours4 != libc4 || (ours4 && v4.s_addr != ref4.s_addr)) std::abort();
    } else if (ours4) {
        std::abort();
    }

    in6_addr v6{}, ref6{};
    bool ours6 = parse_ipv6_literal(p, n, &v6);
    if (!has_nul) {
        bool libc6 = inet_pton(AF_INET6, text.c_str(), &ref6) == 1;
        if (ours6 && (!libc6 || std::memcmp(&v6, &ref6, sizeof v6) != 0)) std::abort();
        // Only the embedded IPv4 forms other than "::ffff:" are ours to refuse.
        if (libc6 && !ours6 && text.find('.') == std::string::npos) std::abort();
    } else if (ours6) {
        std::abort();
    }

    if (is_valid_host_name(p, n) != name_ok(text)) std::abort();
}

void check_pattern(const std::string& host, const std::string& pattern) {
    const auto* hp = reinterpret_cast<const uint8_t*>(host.data());
    const auto* pp = reinterpret_cast<const uint8_t*>(pattern.data());
    bool m = host_matches_pattern(Slice{pp, pattern.size()}, Slice{hp, host.size()});
    if (host.empty() || pattern.empty()) {
        if (m) std::abort();
        return;
    }
    bool expect = ieq(pattern, host);
    if (!expect && pattern.size() >= 3 && pattern[0] == '*' && pattern[1] == '.' &&
        pattern.find('*', 2) == std::string::npos) {
        size_t dot = host.find('.');
        std::string last = host.substr(host.rfind('.') + 1);
        bool ip_like = dot != std::string::npos && !last.empty() &&
                       last.find_first_not_of("0123456789") == std::string::npos;
        expect = dot != std::string::npos && !ip_like && ieq(pattern.substr(2), host.substr(dot + 1));
    }
    if (m != expect) std::abort();
}

void check_certificate(const std::string& host, const uint8_t* der, size_t n) {
    const uint8_t* q = der;
    X509* cert = d2i_X509(nullptr, &q, long(n));
    if (cert == nullptr) return;
    const auto* hp = reinterpret_cast<const uint8_t*>(host.data());
    HostCheck r = certificate_matches_host(cert, Slice{hp, host.size()});
    if (r != HostCheck::Match && r != HostCheck::Mismatch && r != HostCheck::Malformed) std::abort();
    if (host.empty() && r == HostCheck::Match) std::abort();
    X509_free(cert);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t* p = data + 1;
    const size_t n = size - 1;
    const void* nul = std::memchr(p, 0, n);
    const size_t host_len = nul ? size_t(static_cast<const uint8_t*>(nul) - p) : n;
    const std::string host(reinterpret_cast<const char*>(p), host_len);
    const uint8_t* rest = nul ? p + host_len + 1 : p + n;
    const size_t rest_len = n - (size_t(rest - p));
    switch (data[0] % 3) {
        case 0: check_syntax(p, n); break;
        case 1: check_pattern(host, std::string(reinterpret_cast<const char*>(rest), rest_len)); break;
        default: check_certificate(host, rest, rest_len); break;
    }
    return 0;
}
