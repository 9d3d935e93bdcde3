// Real handshakes of the engine's TLS client against an in-process OpenSSL
// server: every rule a server's chain is judged by.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_pki.h"
#include "tls_harness.h"

using namespace testpki;
using namespace tlstest;

namespace {

class Handshake : public ::testing::Test {
protected:
    void SetUp() override {
        now_ = time(nullptr);
        root_key_ = ec_key();
        root_ = make_cert({"Handshake Root", "tarnix tests", 1, 0, 0, true}, root_key_.get(), nullptr, nullptr);
        inter_key_ = ec_key();
        inter_ = make_cert({"Handshake Intermediate", "tarnix tests", 2, 0, 0, true}, inter_key_.get(), root_.get(),
                           root_key_.get());
        leaf_key_ = ec_key();
        leaf_ = leaf({"server.test", "tarnix tests", 100, 0, 0, false, Eku::ServerAuth});
        ASSERT_TRUE(root_ && inter_ && leaf_);
        ASSERT_TRUE(trust_.add(root_.get()));
    }

    // A leaf with the fixture's leaf key, issued by the intermediate.
    Cert leaf(const CertSpec& spec) { return make_cert(spec, leaf_key_.get(), inter_.get(), inter_key_.get()); }

    // Whether the engine accepts `chain` (sent as given, served with `key`)
    // for `host`, judged at `now` (0: the wall clock). A refusal must also
    // end the handshake on the server's side.
    bool accepts(std::vector<X509*> chain, const std::string& host = "server.test", Trust* trust = nullptr,
                 __int128 now = 0, EVP_PKEY* key = nullptr) {
        TlsTestServer server({chain, key ? key : leaf_key_.get()});
        EXPECT_TRUE(server.ok());
        bool ok = handshake(server, host, trust ? *trust : trust_, now);
        if (!ok) {
            EXPECT_EQ(server.next_event(), "handshake failed");
        }
        return ok;
    }

    time_t now_ = 0;
    Key root_key_, inter_key_, leaf_key_;
    Cert root_, inter_, leaf_;
    Trust trust_;
};

TEST_F(Handshake, ChainAnchoredInTheBundle) {
    EXPECT_TRUE(accepts({leaf_.get(), inter_.get()}));
    // The intermediate in the bundle anchors a leaf sent alone; a pinned
    // self-signed leaf anchors itself.
    Trust inter_only;
    ASSERT_TRUE(inter_only.add(inter_.get()));
    EXPECT_TRUE(accepts({leaf_.get()}, "server.test", &inter_only));
    Key self_key = ec_key();
    Cert self_signed = make_cert({"server.test", "tarnix tests", 7, 0, 0, false, Eku::ServerAuth}, self_key.get(),
                                 nullptr, nullptr);
    Trust pinned;
    ASSERT_TRUE(pinned.add(self_signed.get()));
    EXPECT_TRUE(accepts({self_signed.get()}, "server.test", &pinned, 0, self_key.get()));
    // Nothing in the bundle, nothing in any store: refused.
    Trust empty;
    EXPECT_FALSE(accepts({leaf_.get(), inter_.get()}, "server.test", &empty));
    EXPECT_FALSE(accepts({self_signed.get()}, "server.test", &trust_, 0, self_key.get()));
}

TEST_F(Handshake, EachLinkMustBeSignedByTheNextCertificate) {
    // A forgery names the genuine intermediate as its issuer, with its key
    // identifier, but is signed by an attacker's key; sent with the genuine
    // intermediate, whose own link to the bundle is sound.
    Key attacker = ec_key();
    Cert forged = make_cert({"server.test", "tarnix tests", 101, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                            inter_.get(), attacker.get());
    ASSERT_TRUE(forged);
    EXPECT_FALSE(accepts({forged.get(), inter_.get()}));

    // The same one link further up: a second intermediate forged in the
    // genuine one's name, issuing an otherwise sound leaf.
    Key sub_key = ec_key();
    Cert forged_sub = make_cert({"Sub CA", "tarnix tests", 3, 0, 0, true}, sub_key.get(), inter_.get(), attacker.get());
    Cert sub_leaf = make_cert({"server.test", "tarnix tests", 102, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                              forged_sub.get(), sub_key.get());
    EXPECT_FALSE(accepts({sub_leaf.get(), forged_sub.get(), inter_.get()}));
    // Signed by the intermediate's real key, the same chain passes.
    Cert sub = make_cert({"Sub CA", "tarnix tests", 3, 0, 0, true}, sub_key.get(), inter_.get(), inter_key_.get());
    EXPECT_TRUE(accepts({sub_leaf.get(), sub.get(), inter_.get()}));

    // The link into the bundle: an intermediate of the same name under a
    // root of the same name but another key.
    Key twin_key = ec_key();
    Cert twin_root = make_cert({"Handshake Root", "tarnix tests", 1, 0, 0, true}, twin_key.get(), nullptr, nullptr);
    Cert twin_inter = make_cert({"Handshake Intermediate", "tarnix tests", 2, 0, 0, true}, inter_key_.get(),
                                twin_root.get(), twin_key.get());
    EXPECT_FALSE(accepts({leaf_.get(), twin_inter.get()}));
}

}  // namespace
