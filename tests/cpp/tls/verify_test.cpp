#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/rwlock.h"
#include "test_pki.h"
#include "tls/ca_bundle.h"
#include "tls/verify.h"

using namespace tarnix;
using namespace testpki;

namespace {

__int128 ns(time_t t) { return static_cast<__int128>(t) * 1000000000; }

class PlatformVerify : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarnix-store-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        store_ = dir_ + "/ca.pem";
        now_ = time(nullptr);
        root_key_ = ec_key();
        root_ = make_cert({"Test Root", "tarnix tests", 1, 0, 0, true}, root_key_.get(), nullptr, nullptr);
        inter_key_ = ec_key();
        inter_ = make_cert({"Test Intermediate", "tarnix tests", 2, 0, 0, true}, inter_key_.get(), root_.get(),
                           root_key_.get());
        leaf_key_ = ec_key();
        leaf_ = issue("server.test", 1000, Eku::ServerAuth);
        ASSERT_TRUE(root_ && inter_ && leaf_);

        // The pool's bundle before any platform verification: one unrelated CA.
        Key k = ec_key();
        Cert file_ca = make_cert({"From the CA file", "tarnix tests", 3, 0, 0, true}, k.get(), nullptr, nullptr);
        file_ca_subject_ = subject_der(file_ca.get());
        Bytes d = der(file_ca.get());
        ASSERT_TRUE(bundle_.bytes.append(d.data(), d.size()));
        ASSERT_EQ(ca_bundle_add_der(&bundle_, 0, now_), CaAddResult::Ok);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    Cert issue(const std::string& cn, long serial, Eku eku, time_t nb = 0, time_t na = 0) {
        return make_cert({cn, "tarnix tests", serial, nb, na, false, eku}, leaf_key_.get(), inter_.get(),
                         inter_key_.get());
    }
    // Replaces the store file the way package managers do: write, then rename.
    void write_store(const std::string& text) {
        std::string tmp = store_ + ".new";
        ASSERT_TRUE(write_file(tmp, text));
        ASSERT_EQ(rename(tmp.c_str(), store_.c_str()), 0);
    }
    PlatformVerdict verify(std::vector<X509*> chain, time_t at = 0) {
        std::vector<Bytes> ders;
        for (X509* c : chain) ders.push_back(der(c));
        std::vector<Slice> slices;
        for (const Bytes& d : ders) slices.push_back(Slice{d.data(), d.size()});
        return verify_chain_with_store(store_.c_str(), slices.data(), slices.size(), ns(at ? at : now_), &bundle_,
                                       &lock_);
    }
    bool bundle_has(const Bytes& subject) {
        uint32_t off = 0;
        return ca_bundle_find_issuer(&bundle_, subject.data(), subject.size(), &off);
    }
    bool bundle_untouched() { return ca_bundle_count(&bundle_) == 1 && bundle_has(file_ca_subject_); }

    std::string dir_, store_;
    time_t now_ = 0;
    Key root_key_, inter_key_, leaf_key_;
    Cert root_, inter_, leaf_;
    CaBundle bundle_;
    RwLock lock_;
    Bytes file_ca_subject_;
};

TEST_F(PlatformVerify, AcceptedChainReplacesTheBundleWithTheStoreRoots) {
    Key k1 = ec_key(), k2 = ec_key(), k448 = ed448_key();
    Cert expired = make_cert({"Old Root", "tarnix tests", 4, now_ - 7200, now_ - 60, true}, k1.get(), nullptr,
                             nullptr);
    Cert twin = make_cert({"Test Root", "tarnix tests", 5, 0, 0, true}, k2.get(), nullptr, nullptr);
    Cert ed448 = make_cert({"Ed448 Root", "tarnix tests", 6, 0, 0, true}, k448.get(), nullptr, nullptr);
    write_store("# system roots\n" + pem(expired.get()) + pem(root_.get()) + pem(ed448.get()) + pem(twin.get()) +
                "-----BEGIN TRUSTED CERTIFICATE-----\nAAAA\n-----END TRUSTED CERTIFICATE-----\n");

    ASSERT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Accepted);
    EXPECT_EQ(ca_bundle_count(&bundle_), 1u);
    EXPECT_FALSE(bundle_has(file_ca_subject_));
    uint32_t off = 0;
    Bytes subject = subject_der(root_.get());
    ASSERT_TRUE(ca_bundle_find_issuer(&bundle_, subject.data(), subject.size(), &off));
    Bytes root_der = der(root_.get());
    ASSERT_EQ(ca_bundle_certs(&bundle_)->bytes.size(), root_der.size());
    EXPECT_EQ(std::memcmp(ca_bundle_certs(&bundle_)->bytes.data() + off, root_der.data(), root_der.size()), 0);

    // Intermediates come in any order after the leaf; a leaf issued straight
    // by the root needs none.
    Cert direct = make_cert({"direct.test", "tarnix tests", 7, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                            root_.get(), root_key_.get());
    EXPECT_EQ(verify({direct.get()}), PlatformVerdict::Accepted);
    EXPECT_EQ(verify({leaf_.get(), direct.get(), inter_.get()}), PlatformVerdict::Accepted);
}

TEST_F(PlatformVerify, RejectsWhatTheStoreDoesNotVouchFor) {
    write_store(pem(root_.get()));
    Key self_key = ec_key();
    Cert self_signed = make_cert({"server.test", "tarnix tests", 9, 0, 0, false, Eku::ServerAuth}, self_key.get(),
                                 nullptr, nullptr);
    Cert expired = issue("server.test", 1001, Eku::ServerAuth, now_ - 7200, now_ - 1);
    Cert client_only = issue("server.test", 1002, Eku::ClientAuth);
    Cert later = issue("server.test", 1003, Eku::ServerAuth, now_ + 86400, now_ + 2 * 86400);
    Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
    Slice bad{garbage.data(), garbage.size()};

    EXPECT_EQ(verify({self_signed.get()}), PlatformVerdict::Rejected);
    EXPECT_EQ(verify({leaf_.get()}), PlatformVerdict::Rejected);  // intermediate missing
    EXPECT_EQ(verify({expired.get(), inter_.get()}), PlatformVerdict::Rejected);
    EXPECT_EQ(verify({client_only.get(), inter_.get()}), PlatformVerdict::Rejected);
    EXPECT_EQ(verify({later.get(), inter_.get()}), PlatformVerdict::Rejected);
    EXPECT_EQ(verify_chain_with_store(store_.c_str(), &bad, 1, ns(now_), &bundle_, &lock_), PlatformVerdict::Rejected);
    EXPECT_EQ(verify_chain_with_store(store_.c_str(), nullptr, 0, ns(now_), &bundle_, &lock_),
              PlatformVerdict::Rejected);
    EXPECT_TRUE(bundle_untouched());

    // The handshake's clock decides, not the machine's.
    EXPECT_EQ(verify({later.get(), inter_.get()}, now_ + 86400 + 3600), PlatformVerdict::Accepted);
    Cert no_eku = issue("server.test", 1004, Eku::None);
    EXPECT_EQ(verify({no_eku.get(), inter_.get()}), PlatformVerdict::Accepted);

    // The shipped list of system stores does not vouch for a test root.
    Bytes leaf_der = der(leaf_.get()), inter_der = der(inter_.get());
    Slice chain[] = {{leaf_der.data(), leaf_der.size()}, {inter_der.data(), inter_der.size()}};
    CaBundle other;
    EXPECT_EQ(verify_chain_with_platform(chain, 2, ns(now_), &other, &lock_), PlatformVerdict::Rejected);
    EXPECT_EQ(ca_bundle_count(&other), 0u);
}

TEST_F(PlatformVerify, RevocationOfTheEndCertificateAgainstCrlsInTheStore) {
    Cert other_leaf = issue("other.test", 1005, Eku::ServerAuth);
    Crl revoking = make_crl(inter_.get(), inter_key_.get(), {1000}, now_ - 3600, now_ + 86400);
    Crl stale = make_crl(inter_.get(), inter_key_.get(), {1000}, now_ - 3 * 86400, now_ - 86400);
    Key forger = ec_key();
    Crl forged = make_crl(inter_.get(), forger.get(), {1000}, now_ - 3600, now_ + 86400);
    // The root revoking the intermediate: only the end certificate is checked.
    Crl root_crl = make_crl(root_.get(), root_key_.get(), {2}, now_ - 3600, now_ + 86400);
    ASSERT_TRUE(revoking && stale && forged && root_crl);
    std::string roots = pem(root_.get());

    write_store(roots + pem(revoking.get()));
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Rejected);
    EXPECT_TRUE(bundle_untouched());
    EXPECT_EQ(verify({other_leaf.get(), inter_.get()}), PlatformVerdict::Accepted);

    write_store(pem(stale.get()) + roots);  // a stale list still names what was revoked
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Rejected);
    EXPECT_EQ(verify({other_leaf.get(), inter_.get()}), PlatformVerdict::Accepted);

    write_store(roots + pem(forged.get()));  // cannot be trusted: status unknown
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Accepted);

    write_store(roots + pem(root_crl.get()));
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Accepted);
}

TEST_F(PlatformVerify, StoreChangesAndUnreadableStores) {
    Key k = ec_key();
    Cert stranger = make_cert({"Stranger Root", "tarnix tests", 8, 0, 0, true}, k.get(), nullptr, nullptr);
    write_store(pem(root_.get()));
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Accepted);
    write_store(pem(stranger.get()));
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Rejected);
    write_store(pem(stranger.get()) + pem(root_.get()));
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Accepted);
    EXPECT_EQ(ca_bundle_count(&bundle_), 2u);

    // Gone: nothing is trusted, and a rescan keeps the bundle.
    ASSERT_EQ(unlink(store_.c_str()), 0);
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Rejected);
    EXPECT_TRUE(rescan_roots_from_store(store_.c_str(), &bundle_, &lock_, now_));
    EXPECT_EQ(ca_bundle_count(&bundle_), 2u);

    // A root that does not parse: the chain still verifies through the good
    // one, but the bundle is not rebuilt from a store it cannot read whole.
    write_store(pem(root_.get()) + pem_block("CERTIFICATE", {0x30, 0x03, 0x02, 0x01, 0x01}));
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Accepted);
    EXPECT_EQ(ca_bundle_count(&bundle_), 2u);

    // A block that does not decode makes the file unreliable as a whole.
    write_store(pem(root_.get()) + "-----BEGIN X509 CRL-----\n!!!!\n-----END X509 CRL-----\n");
    EXPECT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Rejected);

    write_store(pem(root_.get()));
    EXPECT_TRUE(rescan_roots_from_store(store_.c_str(), &bundle_, &lock_, now_));
    EXPECT_EQ(ca_bundle_count(&bundle_), 1u);
}

// Pools rebuilt from one store version share one bundle; a root that has
// expired since it was built makes the next pool build its own.
TEST_F(PlatformVerify, PoolsRebuiltFromOneStoreVersionShareTheBundle) {
    Key k = ec_key();
    Cert soon = make_cert({"Short Root", "tarnix tests", 9, now_ - 7200, now_ + 50, true}, k.get(), nullptr, nullptr);
    write_store(pem(root_.get()) + pem(soon.get()));
    ASSERT_EQ(verify({leaf_.get(), inter_.get()}), PlatformVerdict::Accepted);
    ASSERT_EQ(ca_bundle_count(&bundle_), 2u);
    CaBundle other, later;
    RwLock other_lock, later_lock;
    Bytes leaf = der(leaf_.get()), inter = der(inter_.get());
    Slice chain[] = {{leaf.data(), leaf.size()}, {inter.data(), inter.size()}};
    ASSERT_EQ(verify_chain_with_store(store_.c_str(), chain, 2, ns(now_ + 10), &other, &other_lock),
              PlatformVerdict::Accepted);
    EXPECT_EQ(ca_bundle_certs(&other), ca_bundle_certs(&bundle_));
    ASSERT_EQ(verify_chain_with_store(store_.c_str(), chain, 2, ns(now_ + 51), &later, &later_lock),
              PlatformVerdict::Accepted);
    EXPECT_NE(ca_bundle_certs(&later), ca_bundle_certs(&bundle_));
    EXPECT_EQ(ca_bundle_count(&later), 1u);
    EXPECT_EQ(ca_bundle_count(&bundle_), 2u);  // the pools that had it keep theirs
}

TEST_F(PlatformVerify, ConcurrentHandshakesWhileTheStoreChanges) {
    write_store(pem(root_.get()));
    Bytes leaf_der = der(leaf_.get()), inter_der = der(inter_.get());
    Slice chain[] = {{leaf_der.data(), leaf_der.size()}, {inter_der.data(), inter_der.size()}};
    Bytes root_subject = subject_der(root_.get());
    std::atomic<int> accepted{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 30; i++) {
                if (verify_chain_with_store(store_.c_str(), chain, 2, ns(now_), &bundle_, &lock_) ==
                    PlatformVerdict::Accepted)
                    accepted++;
            }
        });
    }
    std::thread reader([&] {
        while (!stop) {
            SharedGuard g(lock_);
            uint32_t off = 0;
            if (ca_bundle_find_issuer(&bundle_, root_subject.data(), root_subject.size(), &off)) {
                EXPECT_EQ(ca_bundle_certs(&bundle_)->bytes.data()[off], 0x30);
            }
        }
    });
    std::string one = pem(root_.get()), two = "# again\n" + one;
    for (int i = 0; i < 20; i++) write_store(i % 2 ? one : two);
    for (auto& th : threads) th.join();
    stop = true;
    reader.join();
    EXPECT_EQ(accepted.load(), 90);
    EXPECT_EQ(ca_bundle_count(&bundle_), 1u);
}

}  // namespace
