// Owning handles for OpenSSL objects, one per type: each frees its object
// with the library's own free function. The SSL object itself is owned by
// TlsSession, whose deleter also minds the exit gate.
#pragma once
#include <memory>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace tarnix {

template <typename T, void (*Free)(T*)>
struct OpenSslFree {
    void operator()(T* p) const noexcept { Free(p); }
};

template <typename T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree<T, Free>>;

namespace openssl_free {
inline void x509_stack(STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); }
// The stack only: its certificates are borrowed.
inline void x509_stack_only(STACK_OF(X509)* s) { sk_X509_free(s); }
inline void crl_stack(STACK_OF(X509_CRL)* s) { sk_X509_CRL_pop_free(s, X509_CRL_free); }
inline void string(char* p) { OPENSSL_free(p); }
inline void bytes(unsigned char* p) { OPENSSL_free(p); }
}  // namespace openssl_free

using LibCtxPtr = OpenSslPtr<OSSL_LIB_CTX, OSSL_LIB_CTX_free>;
using SslCtxPtr = OpenSslPtr<SSL_CTX, SSL_CTX_free>;
using BioMethodPtr = OpenSslPtr<BIO_METHOD, BIO_meth_free>;
using BioPtr = OpenSslPtr<BIO, BIO_free_all>;
using EvpPkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using EvpMdPtr = OpenSslPtr<EVP_MD, EVP_MD_free>;

using X509Ptr = OpenSslPtr<X509, X509_free>;
using X509CrlPtr = OpenSslPtr<X509_CRL, X509_CRL_free>;
using X509StorePtr = OpenSslPtr<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = OpenSslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509StackPtr = OpenSslPtr<STACK_OF(X509), openssl_free::x509_stack>;
using X509RefStackPtr = OpenSslPtr<STACK_OF(X509), openssl_free::x509_stack_only>;
using X509CrlStackPtr = OpenSslPtr<STACK_OF(X509_CRL), openssl_free::crl_stack>;
using GeneralNamesPtr = OpenSslPtr<GENERAL_NAMES, GENERAL_NAMES_free>;

using OcspResponsePtr = OpenSslPtr<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using OcspBasicPtr = OpenSslPtr<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using OcspCertIdPtr = OpenSslPtr<OCSP_CERTID, OCSP_CERTID_free>;

// Strings and byte arrays the library allocated for us.
using OpenSslString = OpenSslPtr<char, openssl_free::string>;
using OpenSslBytes = OpenSslPtr<unsigned char, openssl_free::bytes>;

}  // namespace tarnix
