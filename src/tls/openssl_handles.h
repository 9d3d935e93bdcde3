// Owning handles for the OpenSSL objects used by the CA bundle and the chain
// verification: each frees its object with the library's own free function.
#pragma once
#include <memory>

#include <openssl/bio.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace tarnix {

template <typename T, void (*Free)(T*)>
struct OpenSslFree {
    void operator()(T* p) const noexcept { Free(p); }
};

template <typename T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree<T, Free>>;

using X509Ptr = OpenSslPtr<X509, X509_free>;
using X509CrlPtr = OpenSslPtr<X509_CRL, X509_CRL_free>;
using X509StorePtr = OpenSslPtr<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = OpenSslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;

inline void free_x509_stack(STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); }
using X509StackPtr = OpenSslPtr<STACK_OF(X509), free_x509_stack>;
inline void free_crl_stack(STACK_OF(X509_CRL)* s) { sk_X509_CRL_pop_free(s, X509_CRL_free); }
using X509CrlStackPtr = OpenSslPtr<STACK_OF(X509_CRL), free_crl_stack>;

}  // namespace tarnix
