#include "tls/library.h"

#include <climits>

#include <openssl/x509.h>

#include "tls/openssl_handles.h"

namespace tarnix {

X509* parse_certificate(const uint8_t* der, size_t len) {
    OSSL_LIB_CTX* libctx = tls_library_context();
    if (libctx == nullptr || der == nullptr || len == 0 || len > static_cast<size_t>(INT_MAX)) return nullptr;
    X509* raw = X509_new_ex(libctx, nullptr);
    if (raw == nullptr) return nullptr;
    const unsigned char* p = der;
    // On failure the library frees the object and clears the pointer.
    d2i_X509(&raw, &p, static_cast<long>(len));
    X509Ptr cert(raw);
    if (!cert || static_cast<size_t>(p - der) != len) return nullptr;
    return cert.release();
}

X509_CRL* parse_crl(const uint8_t* der, size_t len) {
    OSSL_LIB_CTX* libctx = tls_library_context();
    if (libctx == nullptr || der == nullptr || len == 0 || len > static_cast<size_t>(INT_MAX)) return nullptr;
    X509_CRL* raw = X509_CRL_new_ex(libctx, nullptr);
    if (raw == nullptr) return nullptr;
    const unsigned char* p = der;
    d2i_X509_CRL(&raw, &p, static_cast<long>(len));
    X509CrlPtr crl(raw);
    if (!crl || static_cast<size_t>(p - der) != len) return nullptr;
    return crl.release();
}

}  // namespace tarnix
