// The engine's own OpenSSL library context, and certificate parsing in it.
// Nothing here uses the default context, which another user of OpenSSL in
// the process (Python's ssl module reading an openssl.cnf) may have set up.
#pragma once
#include <cstddef>
#include <cstdint>

#include <openssl/types.h>

namespace tarnix {

// Made with the TLS client context on first use and kept for the process;
// null only when memory ran out.
OSSL_LIB_CTX* tls_library_context();

// A certificate of exactly `len` DER bytes, or null.
X509* parse_certificate(const uint8_t* der, size_t len);
// A certificate revocation list of exactly `len` DER bytes, or null.
X509_CRL* parse_crl(const uint8_t* der, size_t len);

}  // namespace tarnix
