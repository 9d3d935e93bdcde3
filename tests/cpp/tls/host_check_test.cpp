#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tls/host_check.h"

using tarnix::certificate_matches_host;
using tarnix::host_matches_pattern;
using tarnix::HostCheck;
using tarnix::Slice;
using tarnix::slice_of;

namespace {

bool matches(const char* pattern, const char* host) { return host_matches_pattern(slice_of(pattern), slice_of(host)); }

TEST(HostPattern, ExactMatchFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(matches("example.com", "example.com"));
    EXPECT_TRUE(matches("EXAMPLE.com", "example.COM"));
    EXPECT_FALSE(matches("example.com", "example.co"));
    EXPECT_FALSE(matches("example.com", "example.com."));
    // Only A-Z fold: '[' (0x5B) is not '{' (0x7B), and bytes above 0x7F are exact.
    EXPECT_FALSE(matches("a[", "a{"));
    EXPECT_FALSE(matches("\xC3\x89", "\xC3\xA9"));
    // IP literals compare as text.
    EXPECT_TRUE(matches("127.0.0.1", "127.0.0.1"));
    EXPECT_FALSE(matches("127.0.0.1", "127.0.0.01"));
}

TEST(HostPattern, EmptyNeverMatches) {
    EXPECT_FALSE(matches("", ""));
    EXPECT_FALSE(matches("", "example.com"));
    EXPECT_FALSE(matches("example.com", ""));
    EXPECT_FALSE(matches("*.example.com", ""));
}

TEST(HostPattern, WildcardCoversExactlyOneLeadingLabel) {
    EXPECT_TRUE(matches("*.example.com", "www.example.com"));
    EXPECT_TRUE(matches("*.Example.COM", "WWW.example.com"));
    EXPECT_TRUE(matches("*.example.com", "x.example.com"));
    EXPECT_FALSE(matches("*.example.com", "example.com"));
    EXPECT_FALSE(matches("*.example.com", "a.b.example.com"));
    EXPECT_FALSE(matches("*.example.com", "wwwexample.com"));
    EXPECT_FALSE(matches("*.example.com", "www.example.com.evil"));
    // The host's first dot decides, whatever comes before it.
    EXPECT_TRUE(matches("*.com", "example.com"));
    EXPECT_FALSE(matches("*.example.com", "localhost"));
    // IP literals are not domain names.
    EXPECT_FALSE(matches("*.0.0.1", "127.0.0.1"));
    EXPECT_FALSE(matches("*.0.0.1", "::ffff:127.0.0.1"));
    EXPECT_TRUE(matches("*.0.0.1a", "127.0.0.1a"));
}

TEST(HostPattern, StarElsewhereMatchesOnlyItself) {
    EXPECT_FALSE(matches("w*.example.com", "www.example.com"));
    EXPECT_TRUE(matches("w*.example.com", "w*.example.com"));
    EXPECT_FALSE(matches("*.*.example.com", "a.b.example.com"));
    EXPECT_FALSE(matches("*.*.example.com", "a.x.example.com"));
    EXPECT_FALSE(matches("www.*.com", "www.example.com"));
    EXPECT_FALSE(matches("*example.com", "wwwexample.com"));
    // Too short to be a wildcard: "*." is two characters.
    EXPECT_FALSE(matches("*.", "a."));
    EXPECT_TRUE(matches("*.", "*."));
}

// --- whole certificates -----------------------------------------------------

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct NamesFree {
    void operator()(GENERAL_NAMES* g) const { GENERAL_NAMES_free(g); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// A self-signed certificate with the given commonNames and, when `with_san`,
// a subjectAltName extension holding `dns` and `ips` (possibly none at all).
X509Ptr make_cert(std::initializer_list<const char*> cns, bool with_san, std::initializer_list<const char*> dns,
                  std::initializer_list<const char*> ips = {}) {
    static std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    X509Ptr x(X509_new());
    X509_set_version(x.get(), 2);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
    X509_NAME* name = X509_get_subject_name(x.get());
    for (const char* cn : cns) {
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    }
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), key.get());
    if (with_san) {
        std::unique_ptr<GENERAL_NAMES, NamesFree> names(GENERAL_NAMES_new());
        for (const char* d : dns) {
            GENERAL_NAME* gn = GENERAL_NAME_new();
            ASN1_IA5STRING* s = ASN1_IA5STRING_new();
            ASN1_STRING_set(s, d, int(std::strlen(d)));
            GENERAL_NAME_set0_value(gn, GEN_DNS, s);
            sk_GENERAL_NAME_push(names.get(), gn);
        }
        for (const char* ip : ips) {
            GENERAL_NAME* gn = a2i_GENERAL_NAME(nullptr, nullptr, nullptr, GEN_IPADD, ip, 0);
            sk_GENERAL_NAME_push(names.get(), gn);
        }
        X509_add1_ext_i2d(x.get(), NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT);
    }
    X509_sign(x.get(), key.get(), EVP_sha256());
    return x;
}

HostCheck check(const X509Ptr& x, const char* host) { return certificate_matches_host(x.get(), slice_of(host)); }

TEST(HostCertificate, DnsNamesOnlyWhenTheExtensionHasEntries) {
    X509Ptr x = make_cert({"other.test"}, true, {"a.test", "*.wild.test"});
    EXPECT_EQ(check(x, "a.test"), HostCheck::Match);
    EXPECT_EQ(check(x, "B.Wild.Test"), HostCheck::Match);
    EXPECT_EQ(check(x, "wild.test"), HostCheck::Mismatch);
    // The commonName is ignored beside names.
    EXPECT_EQ(check(x, "other.test"), HostCheck::Mismatch);
}

TEST(HostCertificate, AddressHosts) {
    // An address matches iPAddress entries of the same bytes, or a dNSName
    // holding its text; never a wildcard, never the commonName.
    X509Ptr entries =
        make_cert({"127.0.0.2"}, true, {"*.0.0.2"}, {"127.0.0.1", "::1", "::ffff:127.0.0.3", "7f00:4::"});
    X509Ptr names = make_cert({}, true, {"127.0.0.1", "::1"});
    X509Ptr cn_only = make_cert({"127.0.0.1"}, false, {});
    struct {
        const X509Ptr& cert;
        const char* host;
        HostCheck want;
    } cases[] = {
        {entries, "127.0.0.1", HostCheck::Match},
        {entries, "::1", HostCheck::Match},
        {entries, "0:0:0:0:0:0:0:1", HostCheck::Match},
        {entries, "::FFFF:127.0.0.3", HostCheck::Match},
        {entries, "127.0.0.3", HostCheck::Mismatch},  // 4 bytes against 16
        {entries, "127.0.0.4", HostCheck::Mismatch},
        {entries, "7f00:1::", HostCheck::Mismatch},
        {entries, "127.0.0.2", HostCheck::Mismatch},
        {entries, "localhost", HostCheck::Mismatch},
        {names, "127.0.0.1", HostCheck::Match},
        {names, "::1", HostCheck::Match},
        {names, "0::1", HostCheck::Mismatch},
        {cn_only, "127.0.0.1", HostCheck::Mismatch},
    };
    for (const auto& c : cases) EXPECT_EQ(check(c.cert, c.host), c.want) << c.host;
}

TEST(HostCertificate, CommonNameWithoutNames) {
    X509Ptr no_ext = make_cert({"cn.test"}, false, {});
    EXPECT_EQ(check(no_ext, "CN.TEST"), HostCheck::Match);
    EXPECT_EQ(check(no_ext, "x.cn.test"), HostCheck::Mismatch);
    // An extension without entries falls back to the commonName too.
    X509Ptr empty_ext = make_cert({"cn.test"}, true, {});
    EXPECT_EQ(check(empty_ext, "cn.test"), HostCheck::Match);
    // Several commonNames: the last one counts.
    X509Ptr two = make_cert({"first.test", "last.test"}, false, {});
    EXPECT_EQ(check(two, "last.test"), HostCheck::Match);
    EXPECT_EQ(check(two, "first.test"), HostCheck::Mismatch);
    X509Ptr none = make_cert({}, false, {});
    EXPECT_EQ(check(none, "cn.test"), HostCheck::Mismatch);
}

}  // namespace
