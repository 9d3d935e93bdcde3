#include "tls/client_cert.h"

#include <atomic>
#include <cstring>
#include <new>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "platform/file.h"
#include "platform/heap.h"
#include "tls/exit_gate.h"
#include "tls/library.h"
#include "tls/openssl_handles.h"

namespace tarnix {


struct ClientCert {
    std::atomic<uint32_t> refs{1};
    X509Ptr leaf;
    EvpPkeyPtr key;
    X509StackPtr chain;  // may be empty, never null
};

namespace {

// Far more than any certificate chain and key: a bound on what one bad
// path (a large file given by mistake) makes us read.
constexpr size_t PEM_FILE_MAX = size_t(1) << 20;

// Heap bytes wiped before they are freed: the file holding the key.
struct WipedBytes {
    OwnedBytes bytes;
    ~WipedBytes() {
        if (bytes.size() != 0) OPENSSL_cleanse(bytes.data(), bytes.size());
    }
};

struct PasswordUse {
    Slice password;
    bool asked = false;
};

int give_password(char* buf, int size, int, void* arg) {
    auto* use = static_cast<PasswordUse*>(arg);
    use->asked = true;
    if (use->password.len == 0 || use->password.len > size_t(size)) return 0;
    std::memcpy(buf, use->password.ptr, use->password.len);
    return int(use->password.len);
}

ClientCertStatus read_file(const char* path, WipedBytes* out, ClientCertStatus not_found,
                           ClientCertStatus unreadable) {
    switch (file_read_all(path, PEM_FILE_MAX, &out->bytes)) {
        case FileStatus::Ok: return ClientCertStatus::Ok;
        case FileStatus::NotFound: return not_found;
        case FileStatus::OutOfMemory: return ClientCertStatus::OutOfMemory;
        default: return unreadable;
    }
}

BioPtr memory_bio(const OwnedBytes& bytes) {
    // An empty file owns no buffer; the library wants one all the same.
    static const uint8_t nothing = 0;
    return BioPtr(BIO_new_mem_buf(bytes.size() != 0 ? bytes.data() : &nothing, int(bytes.size())));
}

ClientCertStatus load_certificates(const OwnedBytes& pem, OSSL_LIB_CTX* libctx, ClientCert* c) {
    BioPtr bio = memory_bio(pem);
    if (!bio) return ClientCertStatus::OutOfMemory;
    c->chain.reset(sk_X509_new_null());
    if (!c->chain) return ClientCertStatus::OutOfMemory;
    for (;;) {
        X509* cert = X509_new_ex(libctx, nullptr);
        if (cert == nullptr) return ClientCertStatus::OutOfMemory;
        // Blocks that are no certificate (the key, in a combined file) are skipped.
        if (PEM_read_bio_X509(bio.get(), &cert, nullptr, nullptr) == nullptr) {
            X509_free(cert);
            break;
        }
        if (!c->leaf) {
            c->leaf.reset(cert);
        } else if (sk_X509_push(c->chain.get(), cert) == 0) {
            X509_free(cert);
            return ClientCertStatus::OutOfMemory;
        }
    }
    ERR_clear_error();  // the end of the file reads as an error
    return c->leaf ? ClientCertStatus::Ok : ClientCertStatus::CertUnreadable;
}

ClientCertStatus load_key(const OwnedBytes& pem, Slice password, OSSL_LIB_CTX* libctx, ClientCert* c) {
    BioPtr bio = memory_bio(pem);
    if (!bio) return ClientCertStatus::OutOfMemory;
    PasswordUse use{password};
    c->key.reset(PEM_read_bio_PrivateKey_ex(bio.get(), nullptr, give_password, &use, libctx, nullptr));
    ERR_clear_error();
    if (c->key) return ClientCertStatus::Ok;
    if (use.asked) return password.len == 0 ? ClientCertStatus::KeyNeedsPassword : ClientCertStatus::WrongPassword;
    return ClientCertStatus::KeyUnreadable;
}

}  // namespace

const char* client_cert_message(ClientCertStatus status) {
    switch (status) {
        case ClientCertStatus::Ok: return "";
        case ClientCertStatus::CertNotFound: return "client certificate file not found";
        case ClientCertStatus::CertUnreadable:
            return "cannot read a PEM certificate from the client certificate file";
        case ClientCertStatus::KeyNotFound: return "client key file not found";
        case ClientCertStatus::KeyUnreadable: return "cannot read a PEM private key for the client certificate";
        case ClientCertStatus::KeyNeedsPassword: return "the client certificate's key is encrypted and needs a password";
        case ClientCertStatus::WrongPassword: return "wrong password for the client certificate's key";
        case ClientCertStatus::KeyMismatch: return "the private key does not match the client certificate";
        case ClientCertStatus::OutOfMemory: return "out of memory loading the client certificate";
    }
    return "cannot load the client certificate";
}

ClientCertStatus client_cert_load(const char* cert_path, const char* key_path, Slice password, ClientCert** out) {
    *out = nullptr;
    TlsGate gate;
    OSSL_LIB_CTX* libctx = gate.open() ? tls_library_context() : nullptr;
    if (libctx == nullptr) return ClientCertStatus::OutOfMemory;

    WipedBytes cert_pem;
    ClientCertStatus s =
        read_file(cert_path, &cert_pem, ClientCertStatus::CertNotFound, ClientCertStatus::CertUnreadable);
    if (s != ClientCertStatus::Ok) return s;
    WipedBytes key_pem;
    if (key_path != nullptr) {
        s = read_file(key_path, &key_pem, ClientCertStatus::KeyNotFound, ClientCertStatus::KeyUnreadable);
        if (s != ClientCertStatus::Ok) return s;
    }

    void* block = heap_alloc(sizeof(ClientCert));
    if (block == nullptr) return ClientCertStatus::OutOfMemory;
    ClientCertPtr c(new (block) ClientCert());
    s = load_certificates(cert_pem.bytes, libctx, c.get());
    if (s == ClientCertStatus::Ok)
        s = load_key(key_path != nullptr ? key_pem.bytes : cert_pem.bytes, password, libctx, c.get());
    if (s == ClientCertStatus::Ok && X509_check_private_key(c->leaf.get(), c->key.get()) != 1)
        s = ClientCertStatus::KeyMismatch;
    ERR_clear_error();
    if (s != ClientCertStatus::Ok) return s;
    *out = c.release();
    return ClientCertStatus::Ok;
}

void client_cert_ref(ClientCert* cert) { cert->refs.fetch_add(1, std::memory_order_relaxed); }

void client_cert_free(ClientCert* cert) {
    if (cert == nullptr || cert->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    TlsGate gate;
    // At exit the library may be gone: the objects are left to the process's end.
    if (!gate.open()) return;
    cert->~ClientCert();
    heap_free(cert);
}

bool client_cert_apply(const ClientCert* cert, ssl_st* ssl) {
    bool ok = SSL_use_certificate(ssl, cert->leaf.get()) == 1 && SSL_use_PrivateKey(ssl, cert->key.get()) == 1;
    for (int i = 0; ok && i < sk_X509_num(cert->chain.get()); i++)
        ok = SSL_add1_chain_cert(ssl, sk_X509_value(cert->chain.get(), i)) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace tarnix
