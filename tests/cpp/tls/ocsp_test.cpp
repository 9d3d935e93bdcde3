// Judging a stapled OCSP response: who may sign it, for which certificate,
// and when it is current.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <openssl/ocsp.h>

#include "test_pki.h"
#include "tls/library.h"
#include "tls/ocsp.h"

using namespace tarnix;
using namespace testpki;

namespace {

__int128 ns(time_t t) { return static_cast<__int128>(t) * 1000000000; }

class Ocsp : public ::testing::Test {
protected:
    void SetUp() override {
        now_ = time(nullptr);
        root_key_ = ec_key();
        root_ = make_cert({"OCSP Root", "tarnix tests", 1, 0, 0, true}, root_key_.get(), nullptr, nullptr);
        leaf_key_ = ec_key();
        leaf_ = make_cert({"server.test", "tarnix tests", 10, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                          root_.get(), root_key_.get());
        ASSERT_TRUE(root_ && leaf_);
    }

    Bytes make(const Response& r) { return ocsp_response(r, root_.get(), now_); }
    StapleStatus judge(const Bytes& der, time_t at = 0) {
        return stapled_status(der.data(), der.size(), leaf_.get(), root_.get(), ns(at ? at : now_));
    }
    Cert responder(EVP_PKEY* key, const char* eku) {
        Cert c = make_cert({"OCSP Responder", "tarnix tests", 20, 0, 0, false}, key, root_.get(), root_key_.get());
        if (eku != nullptr) {
            add_ext(c.get(), root_.get(), NID_ext_key_usage, eku);
            X509_sign(c.get(), root_key_.get(), EVP_sha256());
        }
        return c;
    }

    time_t now_ = 0;
    Key root_key_, leaf_key_;
    Cert root_, leaf_;
};

TEST_F(Ocsp, TheIssuerOrItsDelegateDecides) {
    EXPECT_EQ(judge(make({leaf_.get(), root_.get(), root_key_.get()})), StapleStatus::Revoked);
    Response good{leaf_.get(), root_.get(), root_key_.get(), V_OCSP_CERTSTATUS_GOOD};
    EXPECT_EQ(judge(make(good)), StapleStatus::Good);
    Response unknown{leaf_.get(), root_.get(), root_key_.get(), V_OCSP_CERTSTATUS_UNKNOWN};
    EXPECT_EQ(judge(make(unknown)), StapleStatus::Unknown);
    // Responder named by key hash; certificate ID under SHA-256.
    Response by_key{leaf_.get(), root_.get(), root_key_.get()};
    by_key.flags = OCSP_RESPID_KEY;
    by_key.id_hash = EVP_sha256();
    EXPECT_EQ(judge(make(by_key)), StapleStatus::Revoked);

    Key rk = ec_key();
    Cert delegate = responder(rk.get(), "OCSPSigning");
    EXPECT_EQ(judge(make({leaf_.get(), delegate.get(), rk.get()})), StapleStatus::Revoked);
    Response delegate_by_key{leaf_.get(), delegate.get(), rk.get()};
    delegate_by_key.flags = OCSP_RESPID_KEY;
    EXPECT_EQ(judge(make(delegate_by_key)), StapleStatus::Revoked);
    // Without its certificate in the response, the delegate cannot be checked.
    Response no_certs{leaf_.get(), delegate.get(), rk.get()};
    no_certs.flags = OCSP_NOCERTS;
    EXPECT_EQ(judge(make(no_certs)), StapleStatus::Unknown);

    // Not allowed to sign responses, or not the issuer's.
    Cert server_only = responder(rk.get(), "serverAuth");
    EXPECT_EQ(judge(make({leaf_.get(), server_only.get(), rk.get()})), StapleStatus::Unknown);
    Cert no_eku = responder(rk.get(), nullptr);
    EXPECT_EQ(judge(make({leaf_.get(), no_eku.get(), rk.get()})), StapleStatus::Unknown);
    Key sk = ec_key();
    Cert stranger_root = make_cert({"OCSP Root", "tarnix tests", 1, 0, 0, true}, sk.get(), nullptr, nullptr);
    EXPECT_EQ(judge(make({leaf_.get(), stranger_root.get(), sk.get()})), StapleStatus::Unknown);
    Cert stranger = make_cert({"OCSP Responder", "tarnix tests", 21, 0, 0, false}, rk.get(), stranger_root.get(),
                              sk.get());
    add_ext(stranger.get(), stranger_root.get(), NID_ext_key_usage, "OCSPSigning");
    X509_sign(stranger.get(), sk.get(), EVP_sha256());
    EXPECT_EQ(judge(make({leaf_.get(), stranger.get(), rk.get()})), StapleStatus::Unknown);
    // A delegate whose own certificate expired.
    Cert old = make_cert({"OCSP Responder", "tarnix tests", 22, now_ - 7200, now_ - 60, false}, rk.get(),
                         root_.get(), root_key_.get());
    add_ext(old.get(), root_.get(), NID_ext_key_usage, "OCSPSigning");
    X509_sign(old.get(), root_key_.get(), EVP_sha256());
    EXPECT_EQ(judge(make({leaf_.get(), old.get(), rk.get()})), StapleStatus::Unknown);
}

TEST_F(Ocsp, OnlyACurrentResponseAboutThisCertificateCounts) {
    Cert other = make_cert({"server.test", "tarnix tests", 11, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                           root_.get(), root_key_.get());
    EXPECT_EQ(judge(make({other.get(), root_.get(), root_key_.get()})), StapleStatus::Unknown);

    Response stale{leaf_.get(), root_.get(), root_key_.get()};
    stale.this_update = now_ - 3 * 86400;
    stale.next_update = now_ - 86400;
    EXPECT_EQ(judge(make(stale)), StapleStatus::Unknown);
    EXPECT_EQ(judge(make(stale), now_ - 2 * 86400), StapleStatus::Revoked);  // the handshake's clock decides
    Response early{leaf_.get(), root_.get(), root_key_.get()};
    early.this_update = now_ + 3600;
    early.next_update = now_ + 86400;
    EXPECT_EQ(judge(make(early)), StapleStatus::Unknown);
    Response open_ended{leaf_.get(), root_.get(), root_key_.get()};
    open_ended.next_update = -1;
    EXPECT_EQ(judge(make(open_ended)), StapleStatus::Revoked);

    Response try_later{leaf_.get(), root_.get(), root_key_.get()};
    try_later.response_status = OCSP_RESPONSE_STATUS_TRYLATER;
    EXPECT_EQ(judge(make(try_later)), StapleStatus::Unknown);

    // Damaged bytes: a flipped bit in the signed data, a cut, a trailer.
    Response bare{leaf_.get(), root_.get(), root_key_.get()};
    bare.flags = OCSP_NOCERTS;  // so that the middle is signed data
    Bytes der = make(bare);
    ASSERT_EQ(judge(der), StapleStatus::Revoked);
    Bytes flipped = der;
    flipped[der.size() / 2] ^= 0x01;
    EXPECT_EQ(judge(flipped), StapleStatus::Unknown);
    EXPECT_EQ(judge(Bytes(der.begin(), der.end() - 1)), StapleStatus::Unknown);
    Bytes trailer = der;
    trailer.push_back(0);
    EXPECT_EQ(judge(trailer), StapleStatus::Unknown);
    EXPECT_EQ(stapled_status(nullptr, 0, leaf_.get(), root_.get(), ns(now_)), StapleStatus::Unknown);
    EXPECT_EQ(stapled_status(der.data(), der.size(), leaf_.get(), nullptr, ns(now_)), StapleStatus::Unknown);
}

}  // namespace
