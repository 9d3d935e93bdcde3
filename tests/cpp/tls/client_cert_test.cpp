// Loading a client certificate: every way a file can be unusable is told
// apart, and a usable one goes on a connection.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <string>

#include "test_pki.h"
#include "tls/client_cert.h"

using namespace tarnix;

namespace {

std::string key_pem(EVP_PKEY* key, const char* password = nullptr) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (password == nullptr)
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    else
        PEM_write_bio_PKCS8PrivateKey(bio.get(), key, EVP_aes_256_cbc(), nullptr, 0, nullptr,
                                      const_cast<char*>(password));
    return testpki::bio_text(bio.get());
}

Slice text(const char* s) { return Slice{reinterpret_cast<const uint8_t*>(s), std::strlen(s)}; }

}  // namespace

TEST(ClientCert, LoadStatuses) {
    testpki::Key ca_key = testpki::ec_key();
    testpki::Cert ca = testpki::make_cert({.cn = "client CA", .ca = true}, ca_key.get(), nullptr, nullptr);
    testpki::Key key = testpki::ec_key();
    testpki::Cert leaf = testpki::make_cert({.cn = "client", .eku = testpki::Eku::ClientAuth, .no_alt_names = true},
                                            key.get(), ca.get(), ca_key.get());
    testpki::Key other = testpki::ec_key();
    const std::string dir = testing::TempDir();
    struct File {
        const char* name;
        std::string content;
    } files[] = {
        {"cert.pem", testpki::pem(leaf.get())},
        {"chain.pem", testpki::pem(leaf.get()) + testpki::pem(ca.get())},
        {"combined.pem", key_pem(key.get()) + testpki::pem(leaf.get())},
        {"key.pem", key_pem(key.get())},
        {"key_enc.pem", key_pem(key.get(), "pw")},
        {"other.pem", key_pem(other.get())},
        {"garbage.pem", "no PEM here\n"},
        {"empty.pem", ""},
    };
    for (const File& f : files) ASSERT_TRUE(testpki::write_file(dir + f.name, f.content)) << f.name;

    struct Case {
        const char* cert;
        const char* key;  // null: from the certificate file
        const char* password;
        ClientCertStatus want;
    } cases[] = {
        {"combined.pem", nullptr, "", ClientCertStatus::Ok},
        {"chain.pem", "key.pem", "", ClientCertStatus::Ok},
        {"cert.pem", "key_enc.pem", "pw", ClientCertStatus::Ok},
        {"missing.pem", "key.pem", "", ClientCertStatus::CertNotFound},
        {"cert.pem", "missing.pem", "", ClientCertStatus::KeyNotFound},
        {"garbage.pem", "key.pem", "", ClientCertStatus::CertUnreadable},
        {"empty.pem", "key.pem", "", ClientCertStatus::CertUnreadable},
        {"cert.pem", nullptr, "", ClientCertStatus::KeyUnreadable},
        {"cert.pem", "empty.pem", "", ClientCertStatus::KeyUnreadable},
        {"cert.pem", "key_enc.pem", "", ClientCertStatus::KeyNeedsPassword},
        {"cert.pem", "key_enc.pem", "wrong", ClientCertStatus::WrongPassword},
        {"cert.pem", "other.pem", "", ClientCertStatus::KeyMismatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " " + (c.key ? c.key : "-") + " " + c.password);
        std::string cert_path = dir + c.cert, key_path = c.key ? dir + c.key : "";
        ClientCert* cert = nullptr;
        ClientCertStatus got =
            client_cert_load(cert_path.c_str(), c.key ? key_path.c_str() : nullptr, text(c.password), &cert);
        EXPECT_EQ(int(got), int(c.want));
        EXPECT_EQ(cert != nullptr, c.want == ClientCertStatus::Ok);
        if (cert == nullptr) continue;
        // Shared between pools: each reference goes on its own.
        client_cert_ref(cert);
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        SSL* ssl = SSL_new(ctx);
        EXPECT_TRUE(client_cert_apply(cert, ssl));
        EXPECT_EQ(X509_cmp(SSL_get_certificate(ssl), leaf.get()), 0);
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        client_cert_free(cert);
        client_cert_free(cert);
    }
    for (const File& f : files) std::remove((dir + f.name).c_str());
}
