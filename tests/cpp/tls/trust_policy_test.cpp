// Chain policy shared by both trust paths: path rules on chains anchored in
// the bundle, minimum key strength, and store files too big to parse.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <openssl/evp.h>

#include "platform/rwlock.h"
#include "test_pki.h"
#include "tls/ca_bundle.h"
#include "tls/library.h"
#include "tls/openssl_handles.h"
#include "tls/verify.h"

using namespace tarnix;
using namespace testpki;

namespace {

__int128 ns(time_t t) { return static_cast<__int128>(t) * 1000000000; }


// Adds an extension after the fact and signs again.
bool add_and_resign(X509* cert, X509* issuer, EVP_PKEY* issuer_key, int nid, const char* value) {
    return add_ext(cert, issuer, nid, value) && X509_sign(cert, issuer_key, digest_for(issuer_key)) > 0;
}

struct StackFree {
    void operator()(STACK_OF(X509)* s) const { sk_X509_free(s); }
};
using Chain = std::unique_ptr<STACK_OF(X509), StackFree>;

Chain chain_of(std::vector<X509*> certs) {
    Chain s(sk_X509_new_null());
    for (X509* c : certs) sk_X509_push(s.get(), c);
    return s;
}

class TrustPolicy : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarnix-policy-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        store_ = dir_ + "/ca.pem";
        now_ = time(nullptr);
        root_key_ = ec_key();
        root_ = make_cert({"Policy Root", "tarnix tests", 1, 0, 0, true}, root_key_.get(), nullptr, nullptr);
        ASSERT_TRUE(root_);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    Cert ca(const std::string& cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key) {
        return make_cert({cn, "tarnix tests", serial_++, 0, 0, true}, key, issuer, issuer_key);
    }
    Cert leaf(EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key, const std::string& cn = "server.test") {
        return make_cert({cn, "tarnix tests", serial_++, 0, 0, false, Eku::ServerAuth}, key, issuer, issuer_key);
    }
    PlatformVerdict through_store(std::vector<X509*> chain) {
        std::vector<Bytes> ders;
        for (X509* c : chain) ders.push_back(der(c));
        std::vector<Slice> slices;
        for (const Bytes& d : ders) slices.push_back(Slice{d.data(), d.size()});
        return verify_chain_with_store(store_.c_str(), slices.data(), slices.size(), ns(now_), &bundle_, &lock_);
    }
    // The chain as the server sends it, anchored in `anchor` at its last certificate.
    bool through_bundle(std::vector<X509*> chain, X509* anchor) {
        Chain s = chain_of(chain);
        return verify_anchored_chain(s.get(), static_cast<int>(chain.size()), anchor, ns(now_), false);
    }
    // Both paths give the same answer for a chain from the root.
    void expect_both(std::vector<X509*> chain, bool ok) {
        EXPECT_EQ(through_bundle(chain, root_.get()), ok);
        EXPECT_EQ(through_store(chain), ok ? PlatformVerdict::Accepted : PlatformVerdict::Rejected);
    }

    std::string dir_, store_;
    time_t now_ = 0;
    long serial_ = 100;
    Key root_key_;
    Cert root_;
    CaBundle bundle_;
    RwLock lock_;
};

TEST_F(TrustPolicy, PathRulesHoldThroughTheBundleAsThroughTheStore) {
    ASSERT_TRUE(write_file(store_, pem(root_.get())));
    Key ik = ec_key(), lk = ec_key();

    Cert constrained = ca("Constrained", ik.get(), root_.get(), root_key_.get());
    ASSERT_TRUE(add_and_resign(constrained.get(), root_.get(), root_key_.get(), NID_name_constraints,
                               "critical,permitted;DNS:example.test"));
    Cert outside = leaf(lk.get(), constrained.get(), ik.get(), "server.test");
    Cert inside = leaf(lk.get(), constrained.get(), ik.get(), "www.example.test");
    expect_both({outside.get(), constrained.get()}, false);
    expect_both({inside.get(), constrained.get()}, true);

    Key tk = ec_key();
    Cert top = ca("Top", tk.get(), root_.get(), root_key_.get());
    ASSERT_TRUE(add_and_resign(top.get(), root_.get(), root_key_.get(), NID_basic_constraints,
                               "critical,CA:TRUE,pathlen:0"));
    // Only the second basicConstraints, the one with pathlen:0, stays.
    X509_EXTENSION_free(X509_delete_ext(top.get(), X509_get_ext_by_NID(top.get(), NID_basic_constraints, -1)));
    ASSERT_GT(X509_sign(top.get(), root_key_.get(), digest_for(root_key_.get())), 0);
    Cert below = ca("Below", ik.get(), top.get(), tk.get());
    Cert deep = leaf(lk.get(), below.get(), ik.get());
    expect_both({deep.get(), below.get(), top.get()}, false);

    Cert odd = leaf(lk.get(), root_.get(), root_key_.get());
    ASSERT_TRUE(add_and_resign(odd.get(), root_.get(), root_key_.get(), NID_netscape_comment, "critical,ASN1:NULL"));
    X509_EXTENSION* ext = X509_get_ext(odd.get(), X509_get_ext_by_NID(odd.get(), NID_netscape_comment, -1));
    ASN1_OBJECT* unknown = OBJ_txt2obj("1.3.6.1.4.1.55555.1.1", 1);
    X509_EXTENSION_set_object(ext, unknown);
    ASN1_OBJECT_free(unknown);
    ASSERT_GT(X509_sign(odd.get(), root_key_.get(), digest_for(root_key_.get())), 0);
    expect_both({odd.get()}, false);

    // A CA file's intermediate anchors by itself; its own rules still apply.
    EXPECT_FALSE(through_bundle({outside.get()}, constrained.get()));
    EXPECT_TRUE(through_bundle({inside.get()}, constrained.get()));
}

TEST_F(TrustPolicy, KeysUnder80BitsOfSecurityAreRefusedAnywhereInTheChain) {
    Key rsa768 = rsa_key(768), rsa1024 = rsa_key(1024), ec112 = ec_key("secp112r1"), ec160 = ec_key("secp160r1");
    Key dsa = dsa_key(), ik = ec_key(), lk = ec_key();
    ASSERT_TRUE(rsa768 && rsa1024 && ec112 && ec160 && dsa);
    ASSERT_TRUE(write_file(store_, pem(root_.get())));
    Cert inter = ca("Inter", ik.get(), root_.get(), root_key_.get());

    Cert weak_leaf = leaf(rsa768.get(), inter.get(), ik.get());
    expect_both({weak_leaf.get(), inter.get()}, false);
    Cert curve112 = leaf(ec112.get(), inter.get(), ik.get());
    expect_both({curve112.get(), inter.get()}, false);
    Cert weak_inter = ca("Weak Inter", rsa768.get(), root_.get(), root_key_.get());
    Cert under_weak = leaf(lk.get(), weak_inter.get(), rsa768.get());
    expect_both({under_weak.get(), weak_inter.get()}, false);

    // Exactly 80 bits is enough.
    Cert rsa_ok = leaf(rsa1024.get(), inter.get(), ik.get());
    expect_both({rsa_ok.get(), inter.get()}, true);
    Cert ec_ok = leaf(ec160.get(), inter.get(), ik.get());
    expect_both({ec_ok.get(), inter.get()}, true);
    Cert dsa_ok = leaf(dsa.get(), inter.get(), ik.get());
    expect_both({dsa_ok.get(), inter.get()}, true);

    // A weak root refuses everything under it, on both paths.
    Cert weak_root = make_cert({"Weak Root", "tarnix tests", 2, 0, 0, true}, rsa768.get(), nullptr, nullptr);
    Cert under_root = leaf(lk.get(), weak_root.get(), rsa768.get());
    EXPECT_FALSE(through_bundle({under_root.get()}, weak_root.get()));
    ASSERT_TRUE(write_file(store_, pem(weak_root.get())));
    EXPECT_EQ(through_store({under_root.get()}), PlatformVerdict::Rejected);
}

TEST_F(TrustPolicy, StoreFilesOf2GiBOrMoreAreRefused) {
    // A good root up front and zeros after it, 2 GiB in all (sparse, so it
    // costs no disk). Its length does not fit the parser's int.
    Key lk = ec_key();
    Cert direct = leaf(lk.get(), root_.get(), root_key_.get());
    std::string text = pem(root_.get());
    ASSERT_TRUE(write_file(store_, text));
    EXPECT_EQ(through_store({direct.get()}), PlatformVerdict::Accepted);
    ASSERT_EQ(truncate(store_.c_str(), off_t{1} << 31), 0);
    EXPECT_EQ(through_store({direct.get()}), PlatformVerdict::Rejected);
}

// Whatever another user of OpenSSL in the process did to the default library
// context (here: asked for algorithms no loaded provider has, as an
// openssl.cnf may), the engine judges certificates in its own.
TEST_F(TrustPolicy, TheDefaultLibraryContextDoesNotSway) {
    Key ik = ec_key(), lk = ec_key();
    Cert inter = ca("Inter", ik.get(), root_.get(), root_key_.get());
    Cert server = leaf(lk.get(), inter.get(), ik.get());
    ASSERT_TRUE(write_file(store_, pem(root_.get())));
    Bytes root_der = der(root_.get());

    struct Restore {
        ~Restore() { EVP_set_default_properties(nullptr, ""); }
    } restore;
    ASSERT_EQ(EVP_set_default_properties(nullptr, "fips=yes"), 1);
    CaBundle file;
    ASSERT_TRUE(file.bytes.append(root_der.data(), root_der.size()));
    EXPECT_EQ(ca_bundle_add_der(&file, 0, now_), CaAddResult::Ok);
    EXPECT_EQ(ca_bundle_count(&file), 1u);
    EXPECT_EQ(through_store({server.get(), inter.get()}), PlatformVerdict::Accepted);
    // Certificates the engine parsed itself, as the handshake hands them over.
    Bytes sd = der(server.get()), id = der(inter.get());
    X509Ptr s2(parse_certificate(sd.data(), sd.size())), i2(parse_certificate(id.data(), id.size())),
        r2(parse_certificate(root_der.data(), root_der.size()));
    ASSERT_TRUE(s2 && i2 && r2);
    EXPECT_TRUE(through_bundle({s2.get(), i2.get()}, r2.get()));
}

}  // namespace
