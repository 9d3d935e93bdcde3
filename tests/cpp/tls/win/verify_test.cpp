// Server chains verified by CryptoAPI, and the bundle rebuilt from "ROOT".
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "platform/rwlock.h"
#include "test_pki.h"
#include "tls/ca_bundle.h"
#include "tls/session.h"
#include "tls/verify.h"

using namespace tarnix;
using namespace testpki;

namespace {

// RSA throughout: the chain engines of every Windows version (and Wine's)
// check its signatures.
Key rsa_key() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048))); }

__int128 ns(time_t t) { return static_cast<__int128>(t) * 1000000000; }

// Adding a root to the user's store asks for confirmation on Windows itself;
// only Wine takes it silently.
bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

constexpr char kRootName[] = "tarnix Windows Test Root";

// One test root in the user's "ROOT" store for the whole run: a chain engine
// may read the store once, when it is first used.
struct TestRoot : ::testing::Environment {
    void SetUp() override {
        key = rsa_key();
        cert = make_cert({kRootName, "tarnix tests", 1, 0, 0, true}, key.get(), nullptr, nullptr);
        ASSERT_TRUE(cert);
        if (!under_wine()) return;
        store = CertOpenSystemStoreW(0, L"ROOT");
        ASSERT_NE(store, nullptr);
        // Test roots an interrupted run left behind share our subject and
        // would stand in for ours wherever roots are looked up by name.
        // Deleting while enumerating does not end under Wine: collect first.
        std::vector<PCCERT_CONTEXT> stale;
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
            char name[64];
            CertGetNameStringA(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
            if (strcmp(name, kRootName) == 0) stale.push_back(CertDuplicateCertificateContext(c));
        }
        for (PCCERT_CONTEXT old : stale) CertDeleteCertificateFromStore(old);  // also frees the context
        Bytes d = der(cert.get());
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, d.data(), DWORD(d.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &added));
        // Other openers of the store (the chain engine) see it once saved.
        ASSERT_TRUE(CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr));
    }
    void TearDown() override {
        if (added != nullptr) CertDeleteCertificateFromStore(added);  // also frees the context
        if (store == nullptr) return;
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(store, 0);
    }
    Key key;
    Cert cert;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT added = nullptr;
};
TestRoot* const g_root = static_cast<TestRoot*>(::testing::AddGlobalTestEnvironment(new TestRoot));

class CryptoApiVerify : public ::testing::Test {
protected:
    void SetUp() override {
        now_ = time(nullptr);
        inter_key_ = rsa_key();
        inter_ = make_cert({"tarnix Windows Test Intermediate", "tarnix tests", 2, 0, 0, true}, inter_key_.get(),
                           g_root->cert.get(), g_root->key.get());
        leaf_key_ = rsa_key();
        ASSERT_TRUE(inter_ && leaf_key_);

        Key k = ec_key();
        Cert file_ca = make_cert({"From the CA file", "tarnix tests", 3, 0, 0, true}, k.get(), nullptr, nullptr);
        file_ca_subject_ = subject_der(file_ca.get());
        Bytes d = der(file_ca.get());
        ASSERT_TRUE(bundle_.bytes.append(d.data(), d.size()));
        ASSERT_EQ(ca_bundle_add_der(&bundle_, 0, now_), CaAddResult::Ok);
    }
    Cert leaf(Eku eku, time_t nb = 0, time_t na = 0) {
        return make_cert({"server.test", "tarnix tests", 1000, nb, na, false, eku}, leaf_key_.get(), inter_.get(),
                         inter_key_.get());
    }
    PlatformVerdict verify(X509* leaf_cert, bool with_intermediate, __int128 at) {
        Bytes l = der(leaf_cert), i = der(inter_.get());
        Slice certs[2] = {{l.data(), l.size()}, {i.data(), i.size()}};
        return verify_chain_with_platform(certs, with_intermediate ? 2 : 1, at, &bundle_, &lock_);
    }
    bool bundle_has(const Bytes& subject) {
        uint32_t off;
        return ca_bundle_find_issuer(&bundle_, subject.data(), subject.size(), &off);
    }

    time_t now_{};
    Key inter_key_, leaf_key_;
    Cert inter_;
    Bytes file_ca_subject_;
    CaBundle bundle_;
    RwLock lock_;
};

}  // namespace

TEST_F(CryptoApiVerify, UntrustedRootIsRejectedAndTheBundleKept) {
    Key k = rsa_key();
    Cert self = make_cert({"server.test", "tarnix tests", 7, 0, 0, false, Eku::ServerAuth}, k.get(), nullptr, nullptr);
    Bytes d = der(self.get());
    Slice one[1] = {{d.data(), d.size()}};
    EXPECT_EQ(verify_chain_with_platform(one, 1, ns(now_), &bundle_, &lock_), PlatformVerdict::Rejected);
    EXPECT_EQ(ca_bundle_count(&bundle_), 1u);
    EXPECT_TRUE(bundle_has(file_ca_subject_));

    Slice none[1] = {{nullptr, 0}};
    EXPECT_EQ(verify_chain_with_platform(none, 1, ns(now_), &bundle_, &lock_), PlatformVerdict::Rejected);
    uint8_t junk[] = {0x30, 0x03, 0x02, 0x01, 0x00};
    Slice bad[1] = {{junk, sizeof junk}};
    EXPECT_EQ(verify_chain_with_platform(bad, 1, ns(now_), &bundle_, &lock_), PlatformVerdict::Rejected);
}

TEST_F(CryptoApiVerify, TrustedChainIsAcceptedAndTheBundleRebuiltFromRootOnlyWhenAsked) {
    if (!under_wine()) GTEST_SKIP() << "adding a trusted root needs the user's confirmation on Windows";
    // No revocation information anywhere: the unknown status is ignored.
    Cert l = leaf(Eku::ServerAuth);
    Bytes ld = der(l.get()), id = der(inter_.get());
    Slice certs[2] = {{ld.data(), ld.size()}, {id.data(), id.size()}};
    X509* issuer = nullptr;
    AcceptedStore* later = nullptr;
    ASSERT_EQ(verify_chain_with_platform(certs, 2, ns(now_), &bundle_, &lock_, &issuer, &later),
              PlatformVerdict::Accepted);
    // The issuer for judging a stapled response.
    ASSERT_NE(issuer, nullptr);
    EXPECT_EQ(X509_cmp(issuer, inter_.get()), 0);
    X509_free(issuer);
    // Acceptance alone leaves the bundle; so does dropping what accepted.
    ASSERT_NE(later, nullptr);
    EXPECT_TRUE(bundle_has(file_ca_subject_));
    release_accepted_store(later);
    EXPECT_FALSE(bundle_.from_system_store);
    EXPECT_TRUE(bundle_has(file_ca_subject_));

    ASSERT_EQ(verify_chain_with_platform(certs, 2, ns(now_), &bundle_, &lock_, nullptr, &later),
              PlatformVerdict::Accepted);
    EXPECT_TRUE(rebuild_from_accepted_store(later, &bundle_, &lock_, ns(now_)));
    EXPECT_TRUE(bundle_.from_system_store);
    EXPECT_TRUE(bundle_has(subject_der(g_root->cert.get())));
    EXPECT_FALSE(bundle_has(file_ca_subject_));
}

TEST_F(CryptoApiVerify, WrongUsageTimeOrMissingIntermediateIsRejected) {
    if (!under_wine()) GTEST_SKIP() << "adding a trusted root needs the user's confirmation on Windows";
    Cert client = leaf(Eku::ClientAuth);
    EXPECT_EQ(verify(client.get(), true, ns(now_)), PlatformVerdict::Rejected);
    Cert expired = leaf(Eku::ServerAuth, now_ - 10 * 86400, now_ - 86400);
    EXPECT_EQ(verify(expired.get(), true, ns(now_)), PlatformVerdict::Rejected);
    // The verification time is the one passed in, not the system's.
    Cert good = leaf(Eku::ServerAuth);
    EXPECT_EQ(verify(good.get(), true, ns(now_ - 30 * 86400)), PlatformVerdict::Rejected);
    EXPECT_EQ(verify(good.get(), false, ns(now_)), PlatformVerdict::Rejected);
    // None of these touched the bundle.
    EXPECT_TRUE(bundle_has(file_ca_subject_));
    EXPECT_EQ(verify(good.get(), true, ns(now_)), PlatformVerdict::Accepted);
}

namespace {

class SocketSource final : public ByteSource {
public:
    explicit SocketSource(SOCKET s) : s_(s) {}
    ssize_t read_some(uint8_t* dst, size_t cap) override {
        int n = recv(s_, reinterpret_cast<char*>(dst), int(cap > 65536 ? 65536 : cap), 0);
        return n < 0 ? -1 : n;
    }

private:
    SOCKET s_;
};

class SocketSink final : public ByteSink {
public:
    explicit SocketSink(SOCKET s) : s_(s) {}
    bool write_all(const uint8_t* src, size_t n) override {
        while (n > 0) {
            int k = send(s_, reinterpret_cast<const char*>(src), int(n > 65536 ? 65536 : n), 0);
            if (k <= 0) return false;
            src += k;
            n -= size_t(k);
        }
        return true;
    }
    bool flush() override { return true; }

private:
    SOCKET s_;
};

int staple_response(SSL* ssl, void* arg) {
    const Bytes& staple = *static_cast<const Bytes*>(arg);
    if (staple.empty()) return SSL_TLSEXT_ERR_NOACK;
    auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(staple.data(), staple.size()));
    if (copy == nullptr) return SSL_TLSEXT_ERR_ALERT_FATAL;
    SSL_set_tlsext_status_ocsp_resp(ssl, copy, long(staple.size()));  // the library owns the copy now
    return SSL_TLSEXT_ERR_OK;
}

// Connected loopback sockets, both with receive and send timeouts so that a
// broken handshake fails the test instead of hanging it.
bool loopback_pair(SOCKET* client, SOCKET* server) {
    WSADATA d;
    if (WSAStartup(MAKEWORD(2, 2), &d) != 0) return false;
    SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    bool ok = l != INVALID_SOCKET && bind(l, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(l, 1) == 0 &&
              getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    *client = ok ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    ok = ok && *client != INVALID_SOCKET && connect(*client, reinterpret_cast<sockaddr*>(&a), len) == 0;
    *server = ok ? accept(l, nullptr, nullptr) : INVALID_SOCKET;
    if (l != INVALID_SOCKET) closesocket(l);
    DWORD ms = 10000;
    for (SOCKET s : {*client, *server}) {
        if (s == INVALID_SOCKET) continue;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    }
    return *server != INVALID_SOCKET;
}

// Whole handshakes with a server that staples a status response.
class CryptoApiHandshake : public CryptoApiVerify {
protected:
    bool handshake(X509* leaf_cert, const Bytes& staple) {
        std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        if (!ctx || SSL_CTX_use_certificate(ctx.get(), leaf_cert) != 1 ||
            SSL_CTX_use_PrivateKey(ctx.get(), leaf_key_.get()) != 1 ||
            SSL_CTX_add1_chain_cert(ctx.get(), inter_.get()) != 1)
            return false;
        SSL_CTX_set_tlsext_status_cb(ctx.get(), staple_response);
        SSL_CTX_set_tlsext_status_arg(ctx.get(), const_cast<Bytes*>(&staple));
        SOCKET c = INVALID_SOCKET, srv = INVALID_SOCKET;
        if (!loopback_pair(&c, &srv)) {
            if (c != INVALID_SOCKET) closesocket(c);
            return false;
        }
        std::thread server([&] {
            SSL* ssl = SSL_new(ctx.get());
            if (ssl != nullptr && SSL_set_fd(ssl, int(srv)) == 1) SSL_accept(ssl);
            SSL_free(ssl);
            closesocket(srv);
        });
        std::vector<uint8_t> buffers(4 * 20000);
        SocketSource source(c);
        SocketSink sink(c);
        BufferedReader reader(&source, buffers.data(), 20000);
        TlsSessionOptions o;
        o.now = ns(now_);
        o.server_name = Slice{reinterpret_cast<const uint8_t*>("server.test"), 11};
        o.ca_bundle = &bundle_;
        o.ca_lock = &lock_;
        o.read_buffer = buffers.data() + 20000;
        o.read_buffer_len = 20000;
        o.write_buffer = buffers.data() + 40000;
        o.write_buffer_len = 20000;
        TlsSession session;
        bool ok = tls_session_open(&session, reader, sink, o);
        closesocket(c);
        server.join();
        return ok;
    }
    Bytes status_of(X509* leaf_cert, int status) {
        return ocsp_response(Response{leaf_cert, inter_.get(), inter_key_.get(), status}, inter_.get(), now_);
    }
};

}  // namespace

TEST_F(CryptoApiHandshake, OnlyASucceededHandshakeRebuildsTheBundleFromRoot) {
    if (!under_wine()) GTEST_SKIP() << "adding a trusted root needs the user's confirmation on Windows";
    Cert l = leaf(Eku::ServerAuth);
    // The store accepts the chain, then the stapled status refuses the leaf.
    EXPECT_FALSE(handshake(l.get(), status_of(l.get(), V_OCSP_CERTSTATUS_REVOKED)));
    EXPECT_FALSE(bundle_.from_system_store);
    EXPECT_EQ(ca_bundle_count(&bundle_), 1u);
    EXPECT_TRUE(bundle_has(file_ca_subject_));

    EXPECT_TRUE(handshake(l.get(), status_of(l.get(), V_OCSP_CERTSTATUS_GOOD)));
    EXPECT_TRUE(bundle_.from_system_store);
    EXPECT_TRUE(bundle_has(subject_der(g_root->cert.get())));
    EXPECT_FALSE(bundle_has(file_ca_subject_));
    // Anchored in the rebuilt bundle now, the stapled status still counts.
    EXPECT_FALSE(handshake(l.get(), status_of(l.get(), V_OCSP_CERTSTATUS_REVOKED)));
    EXPECT_TRUE(handshake(l.get(), status_of(l.get(), V_OCSP_CERTSTATUS_GOOD)));
}
