// Real handshakes of the engine's TLS client against an in-process OpenSSL
// server: every rule a server's chain is judged by.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "http/framing.h"
#include "http/pool.h"
#include "http/tls_connection.h"
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
    // What follows the first anchored certificate is not looked at.
    EXPECT_TRUE(accepts({leaf_.get(), inter_.get(), root_.get()}));
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

TEST_F(Handshake, EachLinkMustBeValidAtTheHandshakesTime) {
    // The certificate that links to the bundle: a sound leaf sent with an
    // expired intermediate (the root is in the bundle) ...
    Cert old_inter = make_cert({"Handshake Intermediate", "tarnix tests", 2, now_ - 7200, now_ - 60, true},
                               inter_key_.get(), root_.get(), root_key_.get());
    EXPECT_FALSE(accepts({leaf_.get(), old_inter.get()}));
    // ... and a leaf sent alone, its issuer in the bundle: valid from
    // notBefore to the last nanosecond of notAfter's second, never outside.
    Trust inter_only;
    ASSERT_TRUE(inter_only.add(inter_.get()));
    time_t from = now_ - 1000, to = now_ + 1000;
    Cert leaf = this->leaf({"server.test", "tarnix tests", 103, from, to, false, Eku::ServerAuth});
    EXPECT_TRUE(accepts({leaf.get()}, "server.test", &inter_only, ns(from)));
    EXPECT_TRUE(accepts({leaf.get()}, "server.test", &inter_only, ns(to)));
    EXPECT_FALSE(accepts({leaf.get()}, "server.test", &inter_only, ns(to) + 1));
    EXPECT_FALSE(accepts({leaf.get()}, "server.test", &inter_only, ns(from) - 1));
    Cert expired = this->leaf({"server.test", "tarnix tests", 104, now_ - 7200, now_ - 60, false, Eku::ServerAuth});
    Cert later = this->leaf({"server.test", "tarnix tests", 105, now_ + 3600, now_ + 7200, false, Eku::ServerAuth});
    EXPECT_FALSE(accepts({expired.get()}, "server.test", &inter_only));
    EXPECT_FALSE(accepts({later.get()}, "server.test", &inter_only));

    // Links between the certificates the server sends: an expired or not
    // yet valid leaf before a sound intermediate, an expired intermediate
    // between the leaf and a sound one.
    EXPECT_FALSE(accepts({expired.get(), inter_.get()}));
    EXPECT_FALSE(accepts({later.get(), inter_.get()}));
    EXPECT_TRUE(accepts({later.get(), inter_.get()}, "server.test", nullptr, ns(now_ + 3600)));
    Key sub_key = ec_key();
    Cert old_sub = make_cert({"Sub CA", "tarnix tests", 3, now_ - 7200, now_ - 60, true}, sub_key.get(), inter_.get(),
                             inter_key_.get());
    Cert sub_leaf = make_cert({"server.test", "tarnix tests", 106, now_ - 7200, now_ + 3600, false, Eku::ServerAuth},
                              leaf_key_.get(), old_sub.get(), sub_key.get());
    EXPECT_FALSE(accepts({sub_leaf.get(), old_sub.get(), inter_.get()}));
    EXPECT_TRUE(accepts({sub_leaf.get(), old_sub.get(), inter_.get()}, "server.test", nullptr, ns(now_ - 1800)));
}

TEST_F(Handshake, EveryIssuerTheServerSendsMustBeACa) {
    Key k = ec_key();
    CertSpec not_ca{"Handshake Intermediate", "tarnix tests", 2, 0, 0, false};
    not_ca.no_alt_names = true;
    Cert plain = make_cert(not_ca, inter_key_.get(), root_.get(), root_key_.get());
    EXPECT_FALSE(accepts({leaf_.get(), plain.get()}));
    CertSpec no_flag{"Handshake Intermediate", "tarnix tests", 2, 0, 0, true};
    no_flag.no_basic_constraints = true;
    Cert unflagged = make_cert(no_flag, inter_key_.get(), root_.get(), root_key_.get());
    EXPECT_FALSE(accepts({leaf_.get(), unflagged.get()}));
    // A leaf of the trusted chain signing for another name.
    Cert honest = leaf({"honest.test", "tarnix tests", 107, 0, 0, false, Eku::ServerAuth});
    Cert minted = make_cert({"server.test", "tarnix tests", 108, 0, 0, false, Eku::ServerAuth}, k.get(), honest.get(),
                            leaf_key_.get());
    EXPECT_FALSE(accepts({minted.get(), honest.get(), inter_.get()}, "server.test", nullptr, 0, k.get()));
}

TEST_F(Handshake, ABundleCertificateIssuesOnlyWhenItIsACaThatMaySign) {
    // A pinned server certificate in the CA file vouches for itself, not
    // for what its key signs.
    Key pin_key = ec_key();
    Cert pinned = make_cert({"pinned.test", "tarnix tests", 140, 0, 0, false, Eku::ServerAuth}, pin_key.get(),
                            nullptr, nullptr);
    Cert minted = make_cert({"server.test", "tarnix tests", 141, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                            pinned.get(), pin_key.get());
    Trust pins;
    ASSERT_TRUE(pins.add(pinned.get()));
    EXPECT_TRUE(accepts({pinned.get()}, "pinned.test", &pins, 0, pin_key.get()));
    EXPECT_FALSE(accepts({minted.get()}, "server.test", &pins));

    // A CA:FALSE certificate that a trusted root issued, and CAs whose key
    // usage leaves out certificate signing, root or intermediate.
    CertSpec plain_spec{"File Entry", "tarnix tests", 142, 0, 0, false};
    plain_spec.no_alt_names = true;
    Key k = ec_key();
    Cert plain = make_cert(plain_spec, k.get(), root_.get(), root_key_.get());
    CertSpec crl_only{"CRL Signer", "tarnix tests", 143, 0, 0, true};
    crl_only.key_usage = "critical,cRLSign,digitalSignature";
    Cert crl_root = make_cert(crl_only, k.get(), nullptr, nullptr);
    crl_only.serial = 144;
    Cert crl_inter = make_cert(crl_only, k.get(), root_.get(), root_key_.get());
    for (X509* entry : {plain.get(), crl_root.get(), crl_inter.get()}) {
        Trust file;
        ASSERT_TRUE(file.add(entry));
        Cert issued = make_cert({"server.test", "tarnix tests", 145, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                                entry, k.get());
        EXPECT_FALSE(accepts({issued.get()}, "server.test", &file));
    }
}

TEST_F(Handshake, IntermediatesMustAllowServerAuthentication) {
    Cert client_inter = make_cert({"Handshake Intermediate", "tarnix tests", 2, 0, 0, true, Eku::ClientAuth},
                                  inter_key_.get(), root_.get(), root_key_.get());
    CertSpec both{"Handshake Intermediate", "tarnix tests", 2, 0, 0, true};
    both.extensions = {{"extendedKeyUsage", "clientAuth,serverAuth"}};
    Cert both_inter = make_cert(both, inter_key_.get(), root_.get(), root_key_.get());
    // Sent by the server ...
    EXPECT_FALSE(accepts({leaf_.get(), client_inter.get()}));
    EXPECT_TRUE(accepts({leaf_.get(), both_inter.get()}));
    // ... or anchoring the chain from the CA file.
    Trust client_only, with_server;
    ASSERT_TRUE(client_only.add(client_inter.get()));
    ASSERT_TRUE(with_server.add(both_inter.get()));
    EXPECT_FALSE(accepts({leaf_.get()}, "server.test", &client_only));
    EXPECT_TRUE(accepts({leaf_.get()}, "server.test", &with_server));
}

TEST_F(Handshake, PathRulesAreJudgedOnTheLinksWhoseSignaturesWereChecked) {
    // Two intermediates named alike: the leaf is signed by the first, whose
    // name constraints leave the host out, but its authority key identifier
    // points at the second. The verifier's own path skips the first and its
    // constraints; its signatures must then be checked along that path.
    Key k1 = ec_key(), k2 = ec_key();
    Cert upper = make_cert({"Twin CA", "tarnix tests", 150, 0, 0, true}, k2.get(), root_.get(), root_key_.get());
    CertSpec lower_spec{"Twin CA", "tarnix tests", 151, 0, 0, true};
    lower_spec.extensions = {{"nameConstraints", "critical,permitted;DNS:example.test"}};
    Cert lower = make_cert(lower_spec, k1.get(), upper.get(), k2.get());
    Cert misled = make_cert({"server.test", "tarnix tests", 152, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                            upper.get(), k1.get());
    EXPECT_FALSE(accepts({misled.get(), lower.get(), upper.get()}));
    // With a truthful identifier the constraints are met or not on their own.
    Cert honest = make_cert({"server.test", "tarnix tests", 153, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                            lower.get(), k1.get());
    Cert inside = make_cert({"www.example.test", "tarnix tests", 154, 0, 0, false, Eku::ServerAuth},
                            leaf_key_.get(), lower.get(), k1.get());
    EXPECT_FALSE(accepts({honest.get(), lower.get(), upper.get()}));
    EXPECT_TRUE(accepts({inside.get(), lower.get(), upper.get()}, "www.example.test"));
}

TEST_F(Handshake, TheLeafMustNameTheHost) {
    auto named = [&](std::vector<std::string> names, const std::string& cn = "tarnix leaf") {
        CertSpec spec{cn, "tarnix tests", 109, 0, 0, false, Eku::ServerAuth};
        spec.alt_names = std::move(names);
        spec.no_alt_names = spec.alt_names.empty();
        return leaf(spec);
    };
    Cert exact = named({"DNS:other.test", "DNS:Server.Test"});
    EXPECT_TRUE(accepts({exact.get(), inter_.get()}, "server.TEST"));
    EXPECT_FALSE(accepts({exact.get(), inter_.get()}, "server.test.example"));
    Cert wild = named({"DNS:*.wild.test"});
    EXPECT_TRUE(accepts({wild.get(), inter_.get()}, "A.wild.test"));
    EXPECT_FALSE(accepts({wild.get(), inter_.get()}, "wild.test"));
    EXPECT_FALSE(accepts({wild.get(), inter_.get()}, "a.b.wild.test"));
    Cert partial = named({"DNS:a*.wild.test"});
    EXPECT_FALSE(accepts({partial.get(), inter_.get()}, "ab.wild.test"));
    // The commonName counts only without any subjectAltName.
    Cert cn_only = named({}, "server.test");
    EXPECT_TRUE(accepts({cn_only.get(), inter_.get()}));
    Cert cn_beside = named({"DNS:other.test"}, "server.test");
    EXPECT_FALSE(accepts({cn_beside.get(), inter_.get()}));
    // An address host: iPAddress entries, or a dNSName holding its text.
    Cert ip_as_name = named({"DNS:127.0.0.1"});
    EXPECT_TRUE(accepts({ip_as_name.get(), inter_.get()}, "127.0.0.1"));
    Cert ip_entries = named({"IP:127.0.0.1", "IP:::1"}, "127.0.0.2");
    EXPECT_TRUE(accepts({ip_entries.get(), inter_.get()}, "127.0.0.1"));
    EXPECT_TRUE(accepts({ip_entries.get(), inter_.get()}, "::1"));
    EXPECT_FALSE(accepts({ip_entries.get(), inter_.get()}, "127.0.0.2"));
}

TEST_F(Handshake, LeafUsageAndKeySize) {
    Cert client = leaf({"server.test", "tarnix tests", 110, 0, 0, false, Eku::ClientAuth});
    EXPECT_FALSE(accepts({client.get(), inter_.get()}));
    Cert no_eku = leaf({"server.test", "tarnix tests", 111, 0, 0, false, Eku::None});
    EXPECT_TRUE(accepts({no_eku.get(), inter_.get()}));
    CertSpec both{"server.test", "tarnix tests", 112, 0, 0, false};
    both.extensions = {{"extendedKeyUsage", "clientAuth,serverAuth"}};
    Cert both_uses = leaf(both);
    EXPECT_TRUE(accepts({both_uses.get(), inter_.get()}));

    // A P-521 key signs with ecdsa_secp521r1_sha512, which must be offered.
    Key p521 = ec_key("P-521");
    Cert p521_leaf = make_cert({"server.test", "tarnix tests", 117, 0, 0, false, Eku::ServerAuth}, p521.get(),
                               inter_.get(), inter_key_.get());
    EXPECT_TRUE(accepts({p521_leaf.get(), inter_.get()}, "server.test", nullptr, 0, p521.get()));

    // 526 bytes of public key pass; 614 are above the 600-byte limit.
    for (unsigned bits : {4096u, 4800u}) {
        SCOPED_TRACE(bits);
        Key rsa = rsa_key(bits, 4);
        ASSERT_TRUE(rsa);
        Cert big = make_cert({"server.test", "tarnix tests", 113, 0, 0, false, Eku::ServerAuth}, rsa.get(),
                             inter_.get(), inter_key_.get());
        EXPECT_EQ(accepts({big.get(), inter_.get()}, "server.test", nullptr, 0, rsa.get()), bits == 4096);
    }
}

TEST_F(Handshake, Tls12OnlyServers) {
    // ECDHE suites for RSA and ECDSA certificates alike, under the chain and
    // host rules of TLS 1.3.
    Key rsa = rsa_key(2048);
    Key attacker = ec_key();
    for (EVP_PKEY* key : {rsa.get(), leaf_key_.get()}) {
        auto cert = [&](long serial, EVP_PKEY* signer, Eku eku = Eku::ServerAuth) {
            return make_cert({"server.test", "tarnix tests", serial, 0, 0, false, eku}, key, inter_.get(), signer);
        };
        auto tls12 = [&](const Cert& leaf, const char* host = "server.test") {
            TlsTestServer server({{leaf.get(), inter_.get()}, key, TLS1_2_VERSION, TLS1_2_VERSION});
            return handshake(server, host, trust_);
        };
        Cert good = cert(114, inter_key_.get());
        EXPECT_TRUE(tls12(good));
        EXPECT_FALSE(tls12(good, "other.test"));
        EXPECT_FALSE(tls12(cert(115, attacker.get())));
        EXPECT_FALSE(tls12(cert(116, inter_key_.get(), Eku::ClientAuth)));
    }
}

// Chains the bundle does not anchor go to the system trust store, which this
// test build looks for in its own build tree first.
class PlatformHandshake : public Handshake {
protected:
    void SetUp() override {
        Handshake::SetUp();
        if (!store_.available()) GTEST_SKIP() << "build without a test trust store";
        // The pool's bundle before any platform verification: one unrelated CA.
        Key k = ec_key();
        file_ca_ = make_cert({"From the CA file", "tarnix tests", 9, 0, 0, true}, k.get(), nullptr, nullptr);
        ASSERT_TRUE(file_trust_.add(file_ca_.get()));
    }
    bool bundle_has(Trust& trust, X509* cert) {
        Bytes subject = subject_der(cert);
        uint32_t off = 0;
        return tarnix::ca_bundle_find_issuer(&trust.bundle, subject.data(), subject.size(), &off);
    }

    SystemStore store_;
    Cert file_ca_;
    Trust file_trust_;
};

TEST_F(PlatformHandshake, StoreAcceptanceRebuildsTheBundleFromTheStore) {
    ASSERT_TRUE(store_.write(pem(root_.get())));
    Trust empty;
    EXPECT_TRUE(accepts({leaf_.get(), inter_.get()}, "server.test", &empty));
    EXPECT_EQ(empty.count(), 1u);
    EXPECT_TRUE(bundle_has(empty, root_.get()));

    // A CA file that does not anchor the chain: the store decides, and its
    // roots then replace the file's certificates.
    EXPECT_TRUE(accepts({leaf_.get(), inter_.get()}, "server.test", &file_trust_));
    EXPECT_TRUE(bundle_has(file_trust_, root_.get()));
    EXPECT_FALSE(bundle_has(file_trust_, file_ca_.get()));

    // The rebuilt bundle anchors on its own, whatever the store says now.
    ASSERT_TRUE(store_.write(""));
    EXPECT_TRUE(accepts({leaf_.get(), inter_.get()}, "server.test", &empty));
    Trust fresh;
    EXPECT_FALSE(accepts({leaf_.get(), inter_.get()}, "server.test", &fresh));
}

TEST_F(PlatformHandshake, StoreRefusalsLeaveTheBundleAlone) {
    ASSERT_TRUE(store_.write(pem(root_.get())));
    Key self_key = ec_key();
    Cert self_signed = make_cert({"server.test", "tarnix tests", 120, 0, 0, false, Eku::ServerAuth}, self_key.get(),
                                 nullptr, nullptr);
    Cert client = leaf({"server.test", "tarnix tests", 121, 0, 0, false, Eku::ClientAuth});
    Cert expired = leaf({"server.test", "tarnix tests", 122, now_ - 7200, now_ - 60, false, Eku::ServerAuth});
    Key attacker = ec_key();
    Cert forged = make_cert({"server.test", "tarnix tests", 123, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                            inter_.get(), attacker.get());
    EXPECT_FALSE(accepts({self_signed.get()}, "server.test", &file_trust_, 0, self_key.get()));
    EXPECT_FALSE(accepts({leaf_.get()}, "server.test", &file_trust_));  // intermediate missing
    EXPECT_FALSE(accepts({client.get(), inter_.get()}, "server.test", &file_trust_));
    EXPECT_FALSE(accepts({expired.get(), inter_.get()}, "server.test", &file_trust_));
    EXPECT_FALSE(accepts({forged.get(), inter_.get()}, "server.test", &file_trust_));
    // Server authentication is required of the intermediates too.
    Cert client_inter = make_cert({"Handshake Intermediate", "tarnix tests", 2, 0, 0, true, Eku::ClientAuth},
                                  inter_key_.get(), root_.get(), root_key_.get());
    EXPECT_FALSE(accepts({leaf_.get(), client_inter.get()}, "server.test", &file_trust_));
    EXPECT_EQ(file_trust_.count(), 1u);
    EXPECT_TRUE(bundle_has(file_trust_, file_ca_.get()));
    // The host is still the engine's to check.
    EXPECT_FALSE(accepts({leaf_.get(), inter_.get()}, "other.test", &file_trust_));
    // The store judges at the handshake's time too.
    Cert later = leaf({"server.test", "tarnix tests", 124, now_ + 3600, now_ + 7200, false, Eku::ServerAuth});
    EXPECT_FALSE(accepts({later.get(), inter_.get()}, "server.test", &file_trust_));
    EXPECT_TRUE(accepts({later.get(), inter_.get()}, "server.test", &file_trust_, ns(now_ + 3600)));
}

TEST_F(PlatformHandshake, EndCertificateRevokedByTheIssuersList) {
    Cert other = leaf({"server.test", "tarnix tests", 125, 0, 0, false, Eku::ServerAuth});
    Crl revoking = make_crl(inter_.get(), inter_key_.get(), {100}, now_ - 3600, now_ + 86400);
    ASSERT_TRUE(revoking);
    ASSERT_TRUE(store_.write(pem(root_.get()) + pem(revoking.get())));
    Trust a, b;
    EXPECT_FALSE(accepts({leaf_.get(), inter_.get()}, "server.test", &a));
    EXPECT_EQ(a.count(), 0u);
    EXPECT_TRUE(accepts({other.get(), inter_.get()}, "server.test", &b));
}

TEST_F(PlatformHandshake, ConcurrentHandshakesWhileTheBundleIsReplaced) {
    // Early handshakes go to the store and swap in a rebuilt bundle while
    // others look their issuers up in it.
    ASSERT_TRUE(store_.write(pem(root_.get())));
    Trust shared;
    TlsTestServer server({{leaf_.get(), inter_.get()}, leaf_key_.get()});
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; i++) accepted += handshake(server, "server.test", shared) ? 1 : 0;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(accepted.load(), 20);
    EXPECT_TRUE(bundle_has(shared, root_.get()));
}

// Whole connections as a pool opens them: loopback TCP, then exchanges.
class Connections : public Handshake {
protected:
    void SetUp() override {
        Handshake::SetUp();
        localhost_ = leaf({"localhost", "tarnix tests", 130, 0, 0, false, Eku::ServerAuth});
        pool_ = tarnix::pool_new();
        ASSERT_NE(pool_, nullptr);
        ASSERT_TRUE(pool_->host.assign_copy("localhost", 9));
        pool_->use_tls = 1;
        pool_->max_connections = 2;
        Bytes d = der(root_.get());
        ASSERT_TRUE(pool_->ca_bundle.bytes.append(d.data(), d.size()));
        ASSERT_EQ(tarnix::ca_bundle_add_der(&pool_->ca_bundle, 0, now_), tarnix::CaAddResult::Ok);
    }
    void TearDown() override {
        if (pool_ != nullptr) tarnix::pool_release(pool_);
    }
    std::unique_ptr<TlsTestServer> serve(Responder respond) {
        auto server = std::make_unique<TlsTestServer>(
            ServerSpec{{localhost_.get(), inter_.get()}, leaf_key_.get(), TLS1_2_VERSION, TLS1_3_VERSION, respond});
        pool_->port = server->listen();
        return server;
    }
    tarnix::RawResponse get(tarnix::TlsConnection* c) {
        static const char request[] = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
        tarnix::Slice r{reinterpret_cast<const uint8_t*>(request), sizeof request - 1};
        return tarnix::send_and_receive(tarnix::tls_connection_writer(c), tarnix::tls_connection_reader(c), r,
                                        &tarnix::tls_connection_socket_writer(c), 0);
    }
    static std::string body(const tarnix::RawResponse& r) {
        const char* p = reinterpret_cast<const char*>(r.bytes.data());
        return std::string(p + r.head_len, r.bytes.size() - r.head_len);
    }

    Cert localhost_;
    tarnix::Pool* pool_ = nullptr;
};

TEST_F(Connections, ReusedSessionAndCloseNotifyAtTheEnd) {
    auto server = serve(respond_keep_alive);
    tarnix::TlsConnection* c = nullptr;
    ASSERT_EQ(tarnix::open_tls_connection(pool_, &c), tarnix::ErrorKind::None);
    tarnix::RawResponse first = get(c);
    tarnix::RawResponse second = get(c);
    EXPECT_EQ(first.error, tarnix::ErrorKind::None);
    EXPECT_EQ(body(first), "hello 1");
    EXPECT_EQ(second.error, tarnix::ErrorKind::None);
    EXPECT_EQ(body(second), "hello 2");
    EXPECT_TRUE(second.reusable);
    EXPECT_EQ(server->handshakes(), 1);
    tarnix::destroy_tls_connection(c);
    EXPECT_EQ(server->next_event(), "close_notify");
}

TEST_F(Connections, BodyToTheEndNeedsCloseNotify) {
    struct Case {
        Responder respond;
        bool ok;
    } cases[] = {{respond_to_end(true), true}, {respond_to_end(false), false}, {respond_short_body, false}};
    for (Case& k : cases) {
        auto server = serve(k.respond);
        tarnix::TlsConnection* c = nullptr;
        ASSERT_EQ(tarnix::open_tls_connection(pool_, &c), tarnix::ErrorKind::None);
        tarnix::RawResponse r = get(c);
        EXPECT_EQ(server->next_event(), "closed");
        if (k.ok) {
            EXPECT_EQ(r.error, tarnix::ErrorKind::None);
            EXPECT_EQ(body(r), "body up to the end");
            EXPECT_FALSE(r.reusable);
        } else {
            // A truncation attack looks exactly like this.
            EXPECT_EQ(r.error, tarnix::ErrorKind::ConnectionReset);
        }
        tarnix::destroy_tls_connection(c);
    }
}

TEST_F(Connections, RefusedChainGivesTheSlotBack) {
    localhost_ = leaf({"elsewhere.test", "tarnix tests", 131, 0, 0, false, Eku::ServerAuth});
    auto server = serve(respond_keep_alive);
    tarnix::Connection conn;
    bool fresh = false;
    EXPECT_EQ(tarnix::acquire_connection(pool_, &conn, &fresh), tarnix::ErrorKind::TlsFailed);
    EXPECT_EQ(conn.tls, nullptr);
    EXPECT_EQ(server->next_event(), "handshake failed");
    tarnix::SpinGuard g(pool_->lock);
    EXPECT_EQ(pool_->open_connections, 0u);
}

}  // namespace
