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

__int128 ns(time_t t) { return static_cast<__int128>(t) * 1000000000; }

// Adding a root to the user's store asks for confirmation on Windows itself;
// only Wine takes it silently.
bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class CryptoApiVerify : public ::testing::Test {
protected:
    void SetUp() override {
        now_ = time(nullptr);
        root_key_ = ec_key();
        root_ = make_cert({"tarnix Windows Test Root", "tarnix tests", 1, 0, 0, true}, root_key_.get(), nullptr,
                          nullptr);
        inter_key_ = ec_key();
        inter_ = make_cert({"tarnix Windows Test Intermediate", "tarnix tests", 2, 0, 0, true}, inter_key_.get(),
                           root_.get(), root_key_.get());
        leaf_key_ = ec_key();
        ASSERT_TRUE(root_ && inter_ && leaf_key_);

        Key k = ec_key();
        Cert file_ca = make_cert({"From the CA file", "tarnix tests", 3, 0, 0, true}, k.get(), nullptr, nullptr);
        file_ca_subject_ = subject_der(file_ca.get());
        Bytes d = der(file_ca.get());
        ASSERT_TRUE(bundle_.bytes.append(d.data(), d.size()));
        ASSERT_EQ(ca_bundle_add_der(&bundle_, 0, now_), CaAddResult::Ok);
    }
    void TearDown() override {
        if (added_ != nullptr) CertDeleteCertificateFromStore(added_);  // also frees the context
        if (root_store_ != nullptr) CertCloseStore(root_store_, 0);
    }

    void trust_root() {
        root_store_ = CertOpenSystemStoreW(0, L"ROOT");
        ASSERT_NE(root_store_, nullptr);
        Bytes d = der(root_.get());
        ASSERT_TRUE(CertAddEncodedCertificateToStore(root_store_, X509_ASN_ENCODING, d.data(), DWORD(d.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &added_));
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
    Key root_key_, inter_key_, leaf_key_;
    Cert root_, inter_;
    Bytes file_ca_subject_;
    CaBundle bundle_;
    RwLock lock_;
    HCERTSTORE root_store_ = nullptr;
    PCCERT_CONTEXT added_ = nullptr;
};

}  // namespace

TEST_F(CryptoApiVerify, UntrustedRootIsRejectedAndTheBundleKept) {
    Cert l = leaf(Eku::ServerAuth);
    EXPECT_EQ(verify(l.get(), true, ns(now_)), PlatformVerdict::Rejected);
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
    trust_root();
    // No revocation information anywhere: the unknown status is ignored.
    Cert l = leaf(Eku::ServerAuth);
    ASSERT_EQ(verify(l.get(), true, ns(now_)), PlatformVerdict::Accepted);
    EXPECT_TRUE(bundle_has(subject_der(root_.get())));
    EXPECT_FALSE(bundle_has(file_ca_subject_));
}

TEST_F(CryptoApiVerify, WrongUsageTimeOrMissingIntermediateIsRejected) {
    if (!under_wine()) GTEST_SKIP() << "adding a trusted root needs the user's confirmation on Windows";
    trust_root();
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
