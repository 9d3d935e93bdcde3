// Real handshakes for the trust policy: path rules and key strength on the
// bundle path, revocation that holds once the bundle holds the store's
// roots, and stapled OCSP responses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_pki.h"
#include "tls_harness.h"

using namespace testpki;
using namespace tlstest;

namespace {

class TrustHandshake : public ::testing::Test {
protected:
    void SetUp() override {
        now_ = time(nullptr);
        root_key_ = ec_key();
        root_ = make_cert({"Trust Root", "tarnix tests", 1, 0, 0, true}, root_key_.get(), nullptr, nullptr);
        inter_key_ = ec_key();
        inter_ = make_cert({"Trust Intermediate", "tarnix tests", 2, 0, 0, true}, inter_key_.get(), root_.get(),
                           root_key_.get());
        leaf_key_ = ec_key();
        leaf_ = leaf(100);
        ASSERT_TRUE(root_ && inter_ && leaf_);
    }

    Cert leaf(long serial, EVP_PKEY* key = nullptr, const std::string& host = "server.test") {
        return make_cert({host, "tarnix tests", serial, 0, 0, false, Eku::ServerAuth}, key ? key : leaf_key_.get(),
                         inter_.get(), inter_key_.get());
    }
    ServerSpec spec(std::vector<X509*> chain, EVP_PKEY* key = nullptr, Bytes staple = {}) {
        ServerSpec s{chain, key ? key : leaf_key_.get()};
        s.ocsp_staple = std::move(staple);
        return s;
    }
    bool accepts(const ServerSpec& s, Trust& trust, const std::string& host = "server.test") {
        TlsTestServer server(s);
        EXPECT_TRUE(server.ok());
        bool ok = handshake(server, host, trust);
        if (!ok) {
            EXPECT_EQ(server.next_event(), "handshake failed");
        }
        return ok;
    }
    Bytes revoked_by_inter(X509* about, int status = V_OCSP_CERTSTATUS_REVOKED) {
        Response r{about, inter_.get(), inter_key_.get(), status};
        return ocsp_response(r, inter_.get(), now_);
    }

    time_t now_ = 0;
    Key root_key_, inter_key_, leaf_key_;
    Cert root_, inter_, leaf_;
};

TEST_F(TrustHandshake, TheBundlePathAppliesPathRulesAndKeyStrength) {
    Trust trust;
    ASSERT_TRUE(trust.add(root_.get()));
    Key ck = ec_key();
    Cert constrained = make_cert({"Constrained", "tarnix tests", 3, 0, 0, true}, ck.get(), root_.get(),
                                 root_key_.get());
    ASSERT_TRUE(add_ext(constrained.get(), root_.get(), NID_name_constraints, "critical,permitted;DNS:example.test"));
    ASSERT_GT(X509_sign(constrained.get(), root_key_.get(), EVP_sha256()), 0);
    Cert outside = make_cert({"server.test", "tarnix tests", 101, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                             constrained.get(), ck.get());
    Cert inside = make_cert({"www.example.test", "tarnix tests", 102, 0, 0, false, Eku::ServerAuth},
                            leaf_key_.get(), constrained.get(), ck.get());
    EXPECT_FALSE(accepts(spec({outside.get(), constrained.get()}), trust));
    EXPECT_TRUE(accepts(spec({inside.get(), constrained.get()}), trust, "www.example.test"));

    Key weak(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{768}));
    ASSERT_TRUE(weak);
    Cert weak_leaf = leaf(103, weak.get());
    EXPECT_FALSE(accepts(spec({weak_leaf.get(), inter_.get()}, weak.get()), trust));
    EXPECT_TRUE(accepts(spec({leaf_.get(), inter_.get()}), trust));
}

class StoreTrustHandshake : public TrustHandshake {
protected:
    void SetUp() override {
        TrustHandshake::SetUp();
        if (!store_.available()) GTEST_SKIP() << "build without a test trust store";
    }
    SystemStore store_;
};

TEST_F(StoreTrustHandshake, RevocationHoldsOnceTheBundleHoldsTheStoreRoots) {
    Cert revoked = leaf(104);
    Crl crl = make_crl(inter_.get(), inter_key_.get(), {104}, now_ - 3600, now_ + 86400);
    ASSERT_TRUE(store_.write(pem(root_.get()) + pem(crl.get())));
    Trust pool;
    EXPECT_FALSE(accepts(spec({revoked.get(), inter_.get()}), pool));
    EXPECT_TRUE(accepts(spec({leaf_.get(), inter_.get()}), pool));
    ASSERT_EQ(pool.count(), 1u);  // the store's root
    EXPECT_FALSE(accepts(spec({revoked.get(), inter_.get()}), pool));
    // A list added to the store later counts as well.
    Crl both = make_crl(inter_.get(), inter_key_.get(), {100, 104}, now_ - 3600, now_ + 86400);
    ASSERT_TRUE(store_.write(pem(root_.get()) + pem(both.get())));
    EXPECT_FALSE(accepts(spec({leaf_.get(), inter_.get()}), pool));
    // A list that is not valid yet cannot be trusted: unknown, as on the store path.
    Crl early = make_crl(inter_.get(), inter_key_.get(), {100, 104}, now_ + 3600, now_ + 86400);
    ASSERT_TRUE(store_.write(pem(root_.get()) + pem(early.get())));
    EXPECT_TRUE(accepts(spec({leaf_.get(), inter_.get()}), pool));
}

TEST_F(StoreTrustHandshake, StapledResponsesWhereRevocationIsChecked) {
    ASSERT_TRUE(store_.write(pem(root_.get())));
    Trust pool;
    // The store path: revoked is refused, good and unknown are accepted.
    EXPECT_FALSE(accepts(spec({leaf_.get(), inter_.get()}, nullptr, revoked_by_inter(leaf_.get())), pool));
    EXPECT_EQ(pool.count(), 0u);  // a refused handshake does not rebuild the bundle
    EXPECT_TRUE(accepts(
        spec({leaf_.get(), inter_.get()}, nullptr, revoked_by_inter(leaf_.get(), V_OCSP_CERTSTATUS_UNKNOWN)), pool));
    // Now through the rebuilt bundle.
    ASSERT_EQ(pool.count(), 1u);
    EXPECT_FALSE(accepts(spec({leaf_.get(), inter_.get()}, nullptr, revoked_by_inter(leaf_.get())), pool));
    EXPECT_TRUE(accepts(
        spec({leaf_.get(), inter_.get()}, nullptr, revoked_by_inter(leaf_.get(), V_OCSP_CERTSTATUS_GOOD)), pool));
    Bytes garbage = {0x30, 0x03, 0x0a, 0x01, 0x00};
    EXPECT_TRUE(accepts(spec({leaf_.get(), inter_.get()}, nullptr, garbage), pool));

    // TLS 1.2 delivers the response in a message of its own.
    Key rsa(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
    Cert rsa_leaf = leaf(105, rsa.get());
    ServerSpec tls12 = spec({rsa_leaf.get(), inter_.get()}, rsa.get(), revoked_by_inter(rsa_leaf.get()));
    tls12.max_version = TLS1_2_VERSION;
    EXPECT_FALSE(accepts(tls12, pool));
    Trust fresh;
    EXPECT_FALSE(accepts(tls12, fresh));
}

}  // namespace
