// OCSP responses made for tests with OpenSSL's responder functions.
#pragma once
#include <ctime>

#include <openssl/ocsp.h>

#include "test_pki.h"

namespace testpki {

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

}  // namespace testpki
