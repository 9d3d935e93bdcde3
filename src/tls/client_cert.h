// A client certificate with its private key (and the certificates that
// chain it to the server's trusted CA), loaded once and shown in every
// handshake whose server asks for one.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/bytes.h"

struct ssl_st;

namespace tarnix {

struct ClientCert;

enum class ClientCertStatus : uint8_t {
    Ok,
    CertNotFound,
    CertUnreadable,   // cannot be read, or holds no PEM certificate
    KeyNotFound,
    KeyUnreadable,    // cannot be read, or holds no PEM private key
    KeyNeedsPassword,
    WrongPassword,
    KeyMismatch,      // the key is not the certificate's
    OutOfMemory,
};

// The message for a failed load; never names the password.
const char* client_cert_message(ClientCertStatus status);

// Reads the certificate (then any chain certificates) from the PEM file at
// `cert_path` and the private key from `key_path`, or from the certificate
// file when `key_path` is null. `password` unlocks an encrypted key; the
// copies of it made here are wiped before this returns.
// The loaded object starts with one reference; pools that show it take
// their own.
ClientCertStatus client_cert_load(const char* cert_path, const char* key_path, Slice password, ClientCert** out);
void client_cert_ref(ClientCert* cert);
// Drops one reference; the last frees the object.
void client_cert_free(ClientCert* cert);

// Puts the certificate, key and chain on a connection before its handshake.
bool client_cert_apply(const ClientCert* cert, ssl_st* ssl);

struct ClientCertFree {
    void operator()(ClientCert* c) const { client_cert_free(c); }
};
using ClientCertPtr = std::unique_ptr<ClientCert, ClientCertFree>;

}  // namespace tarnix
