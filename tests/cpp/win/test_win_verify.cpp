// Server chains verified by CryptoAPI, and the bundle rebuilt from "ROOT".
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <ctime>

#include "platform/rwlock.h"
#include "test_pki.h"
#include "tls/ca_bundle.h"
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

// One test root in the user's "ROOT" store for the whole run: a chain engine
// may read the store once, when it is first used.
struct TestRoot : ::testing::Environment {
    void SetUp() override {
        key = rsa_key();
        cert = make_cert({"tarnix Windows Test Root", "tarnix tests", 1, 0, 0, true}, key.get(), nullptr, nullptr);
        ASSERT_TRUE(cert);
        if (!under_wine()) return;
        store = CertOpenSystemStoreW(0, L"ROOT");
        ASSERT_NE(store, nullptr);
        Bytes d = der(cert.get());
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, d.data(), DWORD(d.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &added));
        // Other openers of the store (the chain engine) see it once saved.
        ASSERT_TRUE(CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr));
    }
    void TearDown() override {
        if (added != nullptr) CertDeleteCertificateFromStore(added);  // also frees the context
        if (store != nullptr) CertCloseStore(store, 0);
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

TEST_F(CryptoApiVerify, TrustedChainIsAcceptedAndTheBundleRebuiltFromRoot) {
    if (!under_wine()) GTEST_SKIP() << "adding a trusted root needs the user's confirmation on Windows";
    // No revocation information anywhere: the unknown status is ignored.
    Cert l = leaf(Eku::ServerAuth);
    Bytes ld = der(l.get()), id = der(inter_.get());
    Slice certs[2] = {{ld.data(), ld.size()}, {id.data(), id.size()}};
    X509* issuer = nullptr;
    AcceptedStore* later = reinterpret_cast<AcceptedStore*>(1);
    ASSERT_EQ(verify_chain_with_platform(certs, 2, ns(now_), &bundle_, &lock_, &issuer, &later),
              PlatformVerdict::Accepted);
    // The issuer for judging a stapled response; the bundle is already rebuilt.
    ASSERT_NE(issuer, nullptr);
    EXPECT_EQ(X509_cmp(issuer, inter_.get()), 0);
    X509_free(issuer);
    EXPECT_EQ(later, nullptr);
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
