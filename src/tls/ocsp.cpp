#include "tls/ocsp.h"

#include <climits>
#include <cstring>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tls/library.h"
#include "tls/openssl_handles.h"

namespace tarnix {

namespace {

// Clock difference allowed between the responder and us.
constexpr time_t SKEW_SECONDS = 300;

time_t seconds_of(__int128 now_ns) {
    __int128 s = now_ns / 1000000000;
    if (now_ns < 0 && s * 1000000000 != now_ns) s -= 1;
    return static_cast<time_t>(s);
}

// Compared with `t`: -1 before, 0 equal, 1 after; -2 when it cannot be read.
int cmp_time(const ASN1_TIME* a, time_t t) { return a == nullptr ? -2 : ASN1_TIME_cmp_time_t(a, t); }

bool within(const X509* cert, time_t now) {
    int before = cmp_time(X509_get0_notBefore(cert), now);
    int after = cmp_time(X509_get0_notAfter(cert), now);
    return before != -2 && before <= 0 && after != -2 && after >= 0;
}

// The copy of a certificate from the response, parsed in our own library
// context (the response's own copies use the default one).
X509Ptr reparse(X509* cert) {
    unsigned char* der = nullptr;
    int n = i2d_X509(cert, &der);
    if (n <= 0) return nullptr;
    X509Ptr out(parse_certificate(der, static_cast<size_t>(n)));
    OPENSSL_free(der);
    return out;
}

// The responder ID (by name or by the SHA-1 of its key) names `cert`.
bool names(const ASN1_OCTET_STRING* key_hash, const X509_NAME* name, X509* cert) {
    if (name != nullptr) return X509_NAME_cmp(name, X509_get_subject_name(cert)) == 0;
    if (key_hash == nullptr) return false;
    EvpMdPtr sha1(EVP_MD_fetch(tls_library_context(), "SHA1", nullptr));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!sha1 || !X509_pubkey_digest(cert, sha1.get(), md, &n)) return false;
    return static_cast<unsigned int>(ASN1_STRING_length(key_hash)) == n &&
           std::memcmp(ASN1_STRING_get0_data(key_hash), md, n) == 0;
}

// A responder the issuer delegated to: issued and signed by it, allowed to
// sign OCSP responses, and valid now.
bool delegated_by(X509* responder, X509* issuer, time_t now) {
    if (X509_NAME_cmp(X509_get_issuer_name(responder), X509_get_subject_name(issuer)) != 0) return false;
    EVP_PKEY* issuer_key = X509_get0_pubkey(issuer);
    if (issuer_key == nullptr || X509_verify(responder, issuer_key) != 1) return false;
    if ((X509_get_extension_flags(responder) & EXFLAG_XKUSAGE) == 0 ||
        (X509_get_extended_key_usage(responder) & XKU_OCSP_SIGN) == 0)
        return false;
    return within(responder, now);
}

// The signature over the response data checks out under `key`.
bool signed_with(OCSP_BASICRESP* basic, EVP_PKEY* key) {
    return key != nullptr &&
           ASN1_item_verify_ex(ASN1_ITEM_rptr(OCSP_RESPDATA), OCSP_resp_get0_tbs_sigalg(basic),
                               OCSP_resp_get0_signature(basic), OCSP_resp_get0_respdata(basic), nullptr, key,
                               tls_library_context(), nullptr) == 1;
}

// Signed by the issuer itself or by a responder it delegated to.
bool signature_trusted(OCSP_BASICRESP* basic, X509* issuer, time_t now) {
    const ASN1_OCTET_STRING* key_hash = nullptr;
    const X509_NAME* name = nullptr;
    if (OCSP_resp_get0_id(basic, &key_hash, &name) != 1) return false;
    if (names(key_hash, name, issuer)) return signed_with(basic, X509_get0_pubkey(issuer));
    const STACK_OF(X509)* certs = OCSP_resp_get0_certs(basic);
    for (int i = 0; i < sk_X509_num(certs); i++) {
        X509Ptr responder(reparse(sk_X509_value(certs, i)));
        if (!responder || !names(key_hash, name, responder.get())) continue;
        if (delegated_by(responder.get(), issuer, now) && signed_with(basic, X509_get0_pubkey(responder.get())))
            return true;
    }
    return false;
}

// The single response's certificate ID is that of `leaf`, under whichever
// hash the responder chose.
bool about(const OCSP_CERTID* id, X509* leaf, X509* issuer) {
    ASN1_OBJECT* hash_alg = nullptr;
    if (OCSP_id_get0_info(nullptr, &hash_alg, nullptr, nullptr, const_cast<OCSP_CERTID*>(id)) != 1) return false;
    const char* md_name = OBJ_nid2sn(OBJ_obj2nid(hash_alg));
    if (md_name == nullptr) return false;
    EvpMdPtr md(EVP_MD_fetch(tls_library_context(), md_name, nullptr));
    if (!md) return false;
    OcspCertIdPtr ours(OCSP_cert_to_id(md.get(), leaf, issuer));
    return ours && OCSP_id_cmp(ours.get(), id) == 0;
}

// thisUpdate not in the future, nextUpdate (when given) not in the past.
bool current(const ASN1_GENERALIZEDTIME* this_update, const ASN1_GENERALIZEDTIME* next_update, time_t now) {
    int t = cmp_time(this_update, now + SKEW_SECONDS);
    if (t == -2 || t > 0) return false;
    if (next_update == nullptr) return true;
    int n = cmp_time(next_update, now - SKEW_SECONDS);
    return n != -2 && n >= 0;
}

}  // namespace

StapleStatus stapled_status(const uint8_t* der, size_t len, X509* leaf, X509* issuer, __int128 now_ns) {
    if (der == nullptr || len == 0 || len > static_cast<size_t>(INT_MAX) || leaf == nullptr || issuer == nullptr ||
        tls_library_context() == nullptr)
        return StapleStatus::Unknown;
    ERR_set_mark();
    StapleStatus result = StapleStatus::Unknown;
    const unsigned char* p = der;
    OcspResponsePtr response(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(len)));
    OcspBasicPtr basic(response && static_cast<size_t>(p - der) == len &&
                               OCSP_response_status(response.get()) == OCSP_RESPONSE_STATUS_SUCCESSFUL
                           ? OCSP_response_get1_basic(response.get())
                           : nullptr);
    time_t now = seconds_of(now_ns);
    if (basic && signature_trusted(basic.get(), issuer, now)) {
        for (int i = 0; i < OCSP_resp_count(basic.get()); i++) {
            OCSP_SINGLERESP* single = OCSP_resp_get0(basic.get(), i);
            if (single == nullptr || !about(OCSP_SINGLERESP_get0_id(single), leaf, issuer)) continue;
            int reason = 0;
            ASN1_GENERALIZEDTIME *revoked_at = nullptr, *this_update = nullptr, *next_update = nullptr;
            int status = OCSP_single_get0_status(single, &reason, &revoked_at, &this_update, &next_update);
            if (!current(this_update, next_update, now)) continue;
            if (status == V_OCSP_CERTSTATUS_REVOKED) {
                result = StapleStatus::Revoked;
                break;
            }
            if (status == V_OCSP_CERTSTATUS_GOOD) result = StapleStatus::Good;
        }
    }
    ERR_pop_to_mark();
    return result;
}

}  // namespace tarnix
