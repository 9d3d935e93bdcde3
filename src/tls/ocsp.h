// A stapled OCSP response about the server's certificate.
#pragma once
#include <cstddef>
#include <cstdint>

#include <openssl/types.h>

namespace tarnix {

enum class StapleStatus : uint8_t { Good, Revoked, Unknown };

// Judges the DER OCSP response `der` about `leaf`, issued by `issuer`, at
// `now_ns`. Only a response signed by the issuer, or by a responder
// certificate the issuer signed for OCSP signing, that is current and names
// this certificate, counts; anything else is Unknown.
StapleStatus stapled_status(const uint8_t* der, size_t len, X509* leaf, X509* issuer, __int128 now_ns);

}  // namespace tarnix
