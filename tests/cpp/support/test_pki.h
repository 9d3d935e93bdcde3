// Test PKI made on the fly with OpenSSL: keys, certificates, revocation lists
// and OCSP responses, handed out as DER or PEM. Nothing here is ever written
// to the tree.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace testpki {

struct KeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct CertFree { void operator()(X509* c) const { X509_free(c); } };
struct CrlFree { void operator()(X509_CRL* c) const { X509_CRL_free(c); } };
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;
using Crl = std::unique_ptr<X509_CRL, CrlFree>;
using Bytes = std::vector<uint8_t>;

inline Key ec_key(const char* curve = "P-256") { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve)); }
inline Key ed25519_key() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")); }
inline Key ed448_key() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED448")); }
// `primes` above 2 makes large keys quickly (each prime is smaller).
inline Key rsa_key(unsigned bits, unsigned primes = 2) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr),
                                                                   EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), int(bits)) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_primes(ctx.get(), int(primes)) <= 0 || EVP_PKEY_keygen(ctx.get(), &key) <= 0)
        return nullptr;
    return Key(key);
}

inline Key dsa_key() {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> pctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* params = nullptr;
    if (!pctx || EVP_PKEY_paramgen_init(pctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx.get(), 1024) <= 0 ||
        EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx.get(), 160) <= 0 || EVP_PKEY_paramgen(pctx.get(), &params) <= 0)
        return nullptr;
    Key p(params);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> kctx(EVP_PKEY_CTX_new(p.get(), nullptr),
                                                                    EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!kctx || EVP_PKEY_keygen_init(kctx.get()) <= 0 || EVP_PKEY_keygen(kctx.get(), &key) <= 0) return nullptr;
    return Key(key);
}

enum class Eku { None, ServerAuth, ClientAuth };

struct CertSpec {
    std::string cn;
    std::string org = "tarnix tests";
    long serial = 1;
    time_t not_before = 0;  // absolute; 0 means an hour ago
    time_t not_after = 0;   // absolute; 0 means in a year
    bool ca = false;
    Eku eku = Eku::None;
    // Leaf names in the library's configuration syntax ("DNS:a.test",
    // "IP:127.0.0.1"); empty means "DNS:<cn>". Ignored for CAs.
    std::vector<std::string> alt_names = {};
    bool no_alt_names = false;          // leaf without a subjectAltName extension
    bool no_basic_constraints = false;  // as a version 1 era certificate would be
    bool no_key_ids = false;            // neither subject nor authority key identifier
    int path_len = -1;                  // a CA's pathLenConstraint; -1 for none
    std::string key_usage = {};         // replaces the usual keyUsage; "-" leaves it out
    // Further extensions, added last: (short name or dotted OID, value in the
    // library's configuration syntax), e.g. {"nameConstraints",
    // "critical,permitted;DNS:example.test"} or {"1.2.3.4", "critical,DER:05:00"}.
    std::vector<std::pair<std::string, std::string>> extensions = {};
};

inline bool add_ext(X509* cert, X509* issuer, const char* name, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_nconf(nullptr, &ctx, name, value);
    if (ext == nullptr) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

inline bool add_ext(X509* cert, X509* issuer, int nid, const char* value) {
    return add_ext(cert, issuer, OBJ_nid2sn(nid), value);
}

inline const EVP_MD* digest_for(EVP_PKEY* key) {
    int id = EVP_PKEY_get_base_id(key);
    return (id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448) ? nullptr : EVP_sha256();
}

// Issued by (issuer, issuer_key); self-signed when issuer is null. The issuer
// Name and authority key identifier come from `issuer` and the signature from
// `issuer_key`, so a key other than the issuer's own makes a forgery that
// names a genuine issuer.
inline Cert make_cert(const CertSpec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key) {
    Cert cert(X509_new());
    time_t now = time(nullptr);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), spec.serial);
    time_t nb = spec.not_before ? spec.not_before : now - 3600;
    X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &nb);
    time_t na = spec.not_after ? spec.not_after : now + 365 * 86400;
    X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, 0, &na);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(spec.org.c_str()),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(spec.cn.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert.get(), key);
    X509* iss = issuer ? issuer : cert.get();
    if (!spec.no_key_ids) {
        add_ext(cert.get(), iss, NID_subject_key_identifier, "hash");
        if (issuer) add_ext(cert.get(), iss, NID_authority_key_identifier, "keyid");
    }
    std::string usage = spec.key_usage;
    if (spec.ca) {
        std::string bc = "critical,CA:TRUE";
        if (spec.path_len >= 0) bc += ",pathlen:" + std::to_string(spec.path_len);
        if (!spec.no_basic_constraints) add_ext(cert.get(), iss, NID_basic_constraints, bc.c_str());
        if (usage.empty()) usage = "critical,keyCertSign,cRLSign,digitalSignature";
    } else {
        if (!spec.no_basic_constraints) add_ext(cert.get(), iss, NID_basic_constraints, "critical,CA:FALSE");
        if (usage.empty()) usage = "critical,digitalSignature,keyEncipherment";
    }
    if (usage != "-" && !add_ext(cert.get(), iss, NID_key_usage, usage.c_str())) return nullptr;
    if (!spec.ca && !spec.no_alt_names) {
        std::string names;
        for (const std::string& n : spec.alt_names) names += (names.empty() ? "" : ",") + n;
        if (names.empty()) names = "DNS:" + spec.cn;
        if (!add_ext(cert.get(), iss, NID_subject_alt_name, names.c_str())) return nullptr;
    }
    if (spec.eku == Eku::ServerAuth) add_ext(cert.get(), iss, NID_ext_key_usage, "serverAuth");
    if (spec.eku == Eku::ClientAuth) add_ext(cert.get(), iss, NID_ext_key_usage, "clientAuth");
    for (const auto& [name, value] : spec.extensions) {
        if (!add_ext(cert.get(), iss, name.c_str(), value.c_str())) return nullptr;
    }
    EVP_PKEY* signer = issuer ? issuer_key : key;
    if (X509_sign(cert.get(), signer, digest_for(signer)) <= 0) return nullptr;
    return cert;
}

inline Crl make_crl(X509* issuer, EVP_PKEY* issuer_key, const std::vector<long>& revoked, time_t last_update,
                    time_t next_update) {
    Crl crl(X509_CRL_new());
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer));
    ASN1_TIME* lu = ASN1_TIME_set(nullptr, last_update);
    ASN1_TIME* nu = ASN1_TIME_set(nullptr, next_update);
    X509_CRL_set1_lastUpdate(crl.get(), lu);
    X509_CRL_set1_nextUpdate(crl.get(), nu);
    for (long serial : revoked) {
        X509_REVOKED* r = X509_REVOKED_new();
        ASN1_INTEGER* s = ASN1_INTEGER_new();
        ASN1_INTEGER_set(s, serial);
        X509_REVOKED_set_serialNumber(r, s);
        X509_REVOKED_set_revocationDate(r, lu);
        X509_CRL_add0_revoked(crl.get(), r);
        ASN1_INTEGER_free(s);
    }
    ASN1_TIME_free(lu);
    ASN1_TIME_free(nu);
    X509_CRL_sort(crl.get());
    if (X509_CRL_sign(crl.get(), issuer_key, digest_for(issuer_key)) <= 0) return nullptr;
    return crl;
}

// OCSP responses made with OpenSSL's responder functions.
struct Response {
    X509* about;               // the certificate the single response names
    X509* signer;              // signs the response
    EVP_PKEY* signer_key;
    int status = V_OCSP_CERTSTATUS_REVOKED;
    time_t this_update = 0;    // 0: an hour ago
    time_t next_update = 0;    // 0: in a day; -1: none
    const EVP_MD* id_hash = nullptr;  // null: SHA-1
    unsigned long flags = 0;   // OCSP_basic_sign flags
    int response_status = OCSP_RESPONSE_STATUS_SUCCESSFUL;
};

// A DER response from `issuer` (or its delegate) about `r.about`; times are
// relative to `now`.
inline Bytes ocsp_response(const Response& r, X509* issuer, time_t now) {
    OCSP_BASICRESP* bs = OCSP_BASICRESP_new();
    OCSP_CERTID* id = OCSP_cert_to_id(r.id_hash ? r.id_hash : EVP_sha1(), r.about, issuer);
    ASN1_TIME* tu = ASN1_TIME_set(nullptr, r.this_update ? r.this_update : now - 3600);
    ASN1_TIME* nu =
        r.next_update == -1 ? nullptr : ASN1_TIME_set(nullptr, r.next_update ? r.next_update : now + 86400);
    ASN1_TIME* revoked_at = ASN1_TIME_set(nullptr, now - 86400);
    bool revoked = r.status == V_OCSP_CERTSTATUS_REVOKED;
    OCSP_basic_add1_status(bs, id, r.status, revoked ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : 0,
                           revoked ? revoked_at : nullptr, tu, nu);
    OCSP_basic_sign(bs, r.signer, r.signer_key, EVP_sha256(), nullptr, r.flags);
    OCSP_RESPONSE* resp = OCSP_response_create(r.response_status, bs);
    unsigned char* der = nullptr;
    int n = i2d_OCSP_RESPONSE(resp, &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    OCSP_RESPONSE_free(resp);
    OCSP_BASICRESP_free(bs);
    OCSP_CERTID_free(id);
    ASN1_TIME_free(tu);
    ASN1_TIME_free(nu);
    ASN1_TIME_free(revoked_at);
    return out;
}

inline Bytes der(X509* cert) {
    unsigned char* p = nullptr;
    int n = i2d_X509(cert, &p);
    Bytes out(p, p + (n > 0 ? n : 0));
    OPENSSL_free(p);
    return out;
}

inline std::string bio_text(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(n));
}

inline std::string pem(X509* cert) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(bio.get(), cert);
    return bio_text(bio.get());
}

inline std::string pem(X509_CRL* crl) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509_CRL(bio.get(), crl);
    return bio_text(bio.get());
}

// DER of the certificate's subject Name.
inline Bytes subject_der(X509* cert) {
    const unsigned char* p = nullptr;
    size_t n = 0;
    X509_NAME_get0_der(X509_get_subject_name(cert), &p, &n);
    return Bytes(p, p + n);
}

// PEM block of `label` around arbitrary bytes, 64 columns, "\n" or "\r\n".
inline std::string pem_block(const char* label, const Bytes& data, const char* eol = "\n") {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio(bio.get(), label, "", data.data(), static_cast<long>(data.size()));
    std::string text = bio_text(bio.get());
    if (std::string(eol) == "\n") return text;
    std::string out;
    for (char c : text) {
        if (c == '\n') out += eol;
        else out += c;
    }
    return out;
}

inline bool write_file(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace testpki
