// Chain verification against the system trust store file, standing in for
// an operating-system chain engine: roots and CRLs come from one PEM file,
// parsed once and shared by every handshake until the file changes.
#include "tls/verify.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/file.h"
#include "platform/fork.h"
#include "platform/rwlock.h"
#include "platform/thread.h"
#include "platform/trust_store.h"
#include "tls/ca_bundle.h"
#include "tls/library.h"
#include "tls/openssl_handles.h"

namespace tarnix {

namespace {

// Restores the thread's OpenSSL error queue on the way out, so that nothing
// done here leaks errors into a handshake running on the same thread.
class ErrorMark {
public:
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
    ErrorMark(const ErrorMark&) = delete;
    ErrorMark& operator=(const ErrorMark&) = delete;
};

void free_openssl_string(char* p) { OPENSSL_free(p); }
void free_openssl_bytes(unsigned char* p) { OPENSSL_free(p); }
using OpenSslString = OpenSslPtr<char, free_openssl_string>;
using OpenSslBytes = OpenSslPtr<unsigned char, free_openssl_bytes>;
using BioPtr = OpenSslPtr<BIO, BIO_free_all>;

bool same_file(const FileVersion& a, const FileVersion& b) {
    return a.volume == b.volume && a.id == b.id && a.size == b.size && a.mtime_s == b.mtime_s &&
           a.mtime_ns == b.mtime_ns && a.ctime_s == b.ctime_s && a.ctime_ns == b.ctime_ns;
}

struct DerSpan {
    size_t off;
    size_t len;
};

// One parsed version of a store file. Reference-counted: the cache holds one
// reference, each handshake using it another.
class StoreSnapshot {
public:
    static StoreSnapshot* load(const char* path);

    void ref() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void unref() {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            this->~StoreSnapshot();
            heap_free(this);
        }
    }

    bool matches(const char* path, const FileVersion& id) const {
        return std::strcmp(path_.data() == nullptr ? "" : reinterpret_cast<const char*>(path_.data()), path) == 0 &&
               same_file(id_, id);
    }
    X509_STORE* store() const { return store_.get(); }
    STACK_OF(X509_CRL)* crls() const { return crls_.get(); }
    // A block that could not be decoded, or a revocation list that does not
    // parse: the file as a whole cannot be relied on.
    bool damaged() const { return damaged_; }
    size_t cert_count() const { return spans_.size() / sizeof(DerSpan); }
    // The bundle built from this version's roots, kept for the next pools
    // that rebuild (under the cache mutex).
    SharedCaBundle*& bundle() { return bundle_; }
    Slice cert(size_t i) const {
        DerSpan s;
        std::memcpy(&s, spans_.data() + i * sizeof(DerSpan), sizeof s);
        return Slice{ders_.data() + s.off, s.len};
    }

private:
    StoreSnapshot() = default;
    ~StoreSnapshot() {
        if (bundle_ != nullptr) shared_ca_bundle_unref(bundle_);
    }
    bool parse(const uint8_t* text, size_t len);

    std::atomic<int> refs_{1};
    ByteBuf path_;  // NUL-terminated copy
    FileVersion id_{};
    X509StorePtr store_;
    X509CrlStackPtr crls_;  // also in store_; handed to chains anchored in a rebuilt bundle
    ByteBuf ders_;   // DER of every certificate block, in file order
    ByteBuf spans_;  // DerSpan per certificate block
    bool damaged_ = false;
    SharedCaBundle* bundle_ = nullptr;
};

StoreSnapshot* StoreSnapshot::load(const char* path) {
    OwnedBytes text;
    FileVersion version;
    // The PEM parser takes an int length: 2 GiB or more would go negative.
    if (file_read_all(path, INT_MAX, &text, &version) != FileStatus::Ok) return nullptr;

    void* mem = heap_alloc(sizeof(StoreSnapshot));
    if (mem == nullptr) return nullptr;
    StoreSnapshot* snap = new (mem) StoreSnapshot();
    snap->id_ = version;
    snap->store_.reset(X509_STORE_new());
    snap->crls_.reset(sk_X509_CRL_new_null());
    if (!snap->store_ || !snap->crls_ || !snap->path_.append(path, std::strlen(path) + 1) ||
        !snap->parse(text.data(), text.size())) {
        snap->unref();
        return nullptr;
    }
    return snap;
}

bool StoreSnapshot::parse(const uint8_t* text, size_t len) {
    if (len == 0) return true;
    ErrorMark mark;
    BioPtr bio(BIO_new_mem_buf(text, static_cast<int>(len)));
    if (!bio) return false;
    for (;;) {
        char* name_raw = nullptr;
        char* header_raw = nullptr;
        unsigned char* data_raw = nullptr;
        long n = 0;
        int ok = PEM_read_bio(bio.get(), &name_raw, &header_raw, &data_raw, &n);
        OpenSslString name(name_raw), header(header_raw);
        OpenSslBytes data(data_raw);
        if (!ok) {
            unsigned long e = ERR_peek_last_error();
            if (ERR_GET_LIB(e) != ERR_LIB_PEM || ERR_GET_REASON(e) != PEM_R_NO_START_LINE) damaged_ = true;
            return true;
        }
        if (std::strcmp(name.get(), PEM_STRING_X509) == 0) {
            DerSpan span{ders_.size(), static_cast<size_t>(n)};
            if (!ders_.append(data.get(), span.len) || !spans_.append(&span, sizeof span)) return false;
            // A certificate that does not parse cannot anchor anything; the
            // bundle rebuild still sees it and refuses the file.
            X509Ptr cert(parse_certificate(data.get(), static_cast<size_t>(n)));
            if (cert && !X509_STORE_add_cert(store_.get(), cert.get())) return false;
        } else if (std::strcmp(name.get(), PEM_STRING_X509_CRL) == 0) {
            X509CrlPtr crl(parse_crl(data.get(), static_cast<size_t>(n)));
            if (!crl) {
                damaged_ = true;
                return true;
            }
            if (!X509_STORE_add_crl(store_.get(), crl.get()) || !sk_X509_CRL_push(crls_.get(), crl.get()))
                return false;
            crl.release();
        }
        // Keys, trusted-certificate blocks and anything else: not ours.
    }
}

// The process-wide cache of the parsed store file.
Mutex g_cache_mutex;
StoreSnapshot* g_cache = nullptr;

// A fork waits for a parse under way: the child gets the cache whole and the
// lock free.
void cache_before_fork() { g_cache_mutex.lock(); }
void cache_after_fork() { g_cache_mutex.unlock(); }
void cache_in_child() { g_cache_mutex.reset_after_fork(); }
const bool g_cache_fork = on_fork(cache_before_fork, cache_after_fork, cache_in_child);

class SnapshotRef {
public:
    explicit SnapshotRef(StoreSnapshot* s) : s_(s) {}
    ~SnapshotRef() {
        if (s_ != nullptr) s_->unref();
    }
    SnapshotRef(const SnapshotRef&) = delete;
    SnapshotRef& operator=(const SnapshotRef&) = delete;
    StoreSnapshot* get() const { return s_; }

private:
    StoreSnapshot* s_;
};

// The current parse of the store file at `path`, or null when it cannot be
// read. Parsing happens under the mutex, so a changed file is parsed once.
StoreSnapshot* acquire_snapshot(const char* path) {
    FileVersion id;
    if (path == nullptr || file_version(path, &id) != FileStatus::Ok) return nullptr;
    g_cache_mutex.lock();
    StoreSnapshot* snap = g_cache;
    if (snap == nullptr || !snap->matches(path, id)) {
        snap = StoreSnapshot::load(path);
        if (snap != nullptr) {
            if (g_cache != nullptr) g_cache->unref();
            g_cache = snap;
        }
    }
    if (snap != nullptr) snap->ref();
    g_cache_mutex.unlock();
    return snap;
}

// State of one verification. A revocation list that cannot be trusted (bad
// signature, unknown issuer, not yet valid, ...) leaves the status unknown
// rather than revoked. On the bundle path every certificate sent has had its
// validity checked already (notAfter holds to the end of its second, where
// the verifier ends it a second early), and the anchor's expiry was judged
// when it entered the bundle, so the verifier's own time verdicts do not count.
struct VerifyState {
    bool crl_unusable = false;
    bool validity_checked = false;
    // Bundle path: the certificates sent, leaf first, up to the one the
    // anchor issued, every link of which (signature and validity) we have
    // checked already; and the verifier's own link check, for any other chain.
    STACK_OF(X509)* checked = nullptr;
    int checked_count = 0;
    X509* anchor = nullptr;
    X509_STORE_CTX_verify_fn link_check = nullptr;
};

// The verifier's last step checks every link's signature and validity
// again. When it built exactly the chain we checked, that work is done
// (two signature checks saved on a typical handshake).
int check_links(X509_STORE_CTX* ctx) {
    auto* state = static_cast<VerifyState*>(X509_STORE_CTX_get_app_data(ctx));
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    bool same = chain != nullptr && state->checked != nullptr && sk_X509_num(chain) == state->checked_count + 1 &&
                sk_X509_value(chain, state->checked_count) == state->anchor;
    for (int i = 0; same && i < state->checked_count; i++) {
        same = sk_X509_value(chain, i) == sk_X509_value(state->checked, i);
    }
    return same ? 1 : state->link_check(ctx);
}

int verify_callback(int ok, X509_STORE_CTX* ctx) {
    if (ok) return 1;
    auto* state = static_cast<VerifyState*>(X509_STORE_CTX_get_app_data(ctx));
    switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return state->validity_checked ? 1 : 0;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
        return 1;  // no list for the issuer: unknown, ignored
    case X509_V_ERR_CRL_HAS_EXPIRED:
        return 1;  // a stale list still names what was revoked
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_CRL_PATH_VALIDATION_ERROR:
        state->crl_unusable = true;
        return 1;
    case X509_V_ERR_CERT_REVOKED:
        return state->crl_unusable ? 1 : 0;
    default:
        return 0;
    }
}

X509* parse_exact(const Slice& der) { return parse_certificate(der.ptr, der.len); }

void free_x509_stack_only(STACK_OF(X509)* s) { sk_X509_free(s); }
using X509RefStackPtr = OpenSslPtr<STACK_OF(X509), free_x509_stack_only>;  // borrows its certificates

int64_t floor_seconds(__int128 now_ns) {
    __int128 secs = now_ns / 1000000000;
    if (now_ns < 0 && secs * 1000000000 != now_ns) secs -= 1;
    return static_cast<int64_t>(secs);
}

// Keys under 80 bits of security (RSA or DSA under 1024 bits, EC under 160)
// can be broken by a well-funded attacker.
constexpr int MIN_SECURITY_BITS = 80;

bool strong_enough(X509* cert) {
    EVP_PKEY* key = X509_get0_pubkey(cert);
    return key != nullptr && EVP_PKEY_get_security_bits(key) >= MIN_SECURITY_BITS;
}

// OpenSSL's verifier under the server-authentication policy at `now_ns`:
// both paths judge chains by these same rules.
bool run_verifier(X509_STORE* store, X509* leaf, STACK_OF(X509)* untrusted, __int128 now_ns, unsigned long flags,
                  VerifyState& state, STACK_OF(X509_CRL)* crls, X509** leaf_issuer) {
    X509StoreCtxPtr ctx(X509_STORE_CTX_new_ex(tls_library_context(), nullptr));
    if (!ctx || !X509_STORE_CTX_init(ctx.get(), store, leaf, untrusted)) return false;
    if (state.checked != nullptr) {
        state.link_check = X509_STORE_CTX_get_verify(ctx.get());
        if (state.link_check == nullptr) return false;
        X509_STORE_CTX_set_verify(ctx.get(), check_links);
    }
    X509_STORE_CTX_set_app_data(ctx.get(), &state);
    X509_STORE_CTX_set_verify_cb(ctx.get(), verify_callback);
    if (!X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER)) return false;
    if (crls != nullptr) X509_STORE_CTX_set0_crls(ctx.get(), crls);
    X509_STORE_CTX_set_flags(ctx.get(), flags);
    X509_STORE_CTX_set_time(ctx.get(), 0, static_cast<time_t>(floor_seconds(now_ns)));
    if (X509_verify_cert(ctx.get()) != 1) return false;
    // Every key of the chain, the trusted one included. The verifier's own
    // security level would also refuse SHA-1 signatures, which both paths
    // still accept.
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    if (chain == nullptr || sk_X509_num(chain) < 1) return false;
    for (int i = 0; i < sk_X509_num(chain); i++) {
        if (!strong_enough(sk_X509_value(chain, i))) return false;
    }
    // A leaf trusted as itself has no issuer to vouch for its status.
    if (leaf_issuer != nullptr && sk_X509_num(chain) > 1) {
        X509* issuer = sk_X509_value(chain, 1);
        if (X509_up_ref(issuer) != 1) return false;
        *leaf_issuer = issuer;
    }
    return true;
}

bool chain_accepted(StoreSnapshot* snap, const Slice* certs, size_t count, __int128 now_ns, X509** leaf_issuer) {
    X509Ptr leaf(parse_exact(certs[0]));
    X509StackPtr untrusted(sk_X509_new_null());
    if (!leaf || !untrusted) return false;
    for (size_t i = 1; i < count; i++) {
        X509Ptr c(parse_exact(certs[i]));
        if (!c || !sk_X509_push(untrusted.get(), c.get())) return false;
        c.release();
    }
    // Only the end certificate's revocation is checked.
    VerifyState state;
    return run_verifier(snap->store(), leaf.get(), untrusted.get(), now_ns, X509_V_FLAG_CRL_CHECK, state, nullptr,
                        leaf_issuer);
}

int64_t whole_seconds(__int128 now_ns) { return static_cast<int64_t>(now_ns / 1000000000); }

// Swaps in the bundle of the snapshot's certificates, built once per store
// version and shared by every pool. False only when memory ran out while
// indexing a certificate.
bool rebuild_bundle(StoreSnapshot* snap, CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) {
    if (snap->damaged()) return true;
    SharedCaBundle* shared = nullptr;
    g_cache_mutex.lock();
    // A certificate that expired since the build must not count.
    if (snap->bundle() != nullptr && snap->bundle()->bundle.earliest_expiry >= now_seconds) {
        shared = snap->bundle();
        shared_ca_bundle_ref(shared);
    }
    g_cache_mutex.unlock();
    if (shared == nullptr) {
        CaBundle built;
        for (size_t i = 0; i < snap->cert_count(); i++) {
            Slice der = snap->cert(i);
            size_t start = built.bytes.size();
            if (start + der.len >= CA_BUNDLE_MAX_BYTES || !built.bytes.append(der.ptr, der.len)) return true;
            switch (ca_bundle_add_der(&built, start, now_seconds)) {
            case CaAddResult::Ok:
                break;
            case CaAddResult::OutOfMemory:
                return false;
            case CaAddResult::Failed:
                return true;  // a root that does not parse: keep the bundle as it was
            }
        }
        built.from_system_store = true;
        shared = shared_ca_bundle_from(&built);
        if (shared == nullptr) return false;
        shared_ca_bundle_ref(shared);
        g_cache_mutex.lock();
        SharedCaBundle* old = snap->bundle();
        snap->bundle() = shared;
        g_cache_mutex.unlock();
        if (old != nullptr) shared_ca_bundle_unref(old);
    }
    CaBundle fresh;
    fresh.shared = shared;  // our reference
    {
        ExclusiveGuard guard(*ca_lock);
        bundle->swap(fresh);
    }
    return true;  // `fresh` now holds the old bundle and frees it outside the lock
}

}  // namespace

namespace {

struct AcceptedSnapshot final : AcceptedStore {
    explicit AcceptedSnapshot(StoreSnapshot* s) : snap(s) {}
    bool rebuild(CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) override {
        return rebuild_bundle(snap, bundle, ca_lock, now_seconds);
    }
    void release() override {
        snap->unref();
        delete this;
    }
    StoreSnapshot* snap;  // one reference
};

}  // namespace

void release_accepted_store(AcceptedStore* accepted) {
    if (accepted != nullptr) accepted->release();
}

bool rebuild_from_accepted_store(AcceptedStore* accepted, CaBundle* bundle, RwLock* ca_lock, __int128 now_ns) {
    if (accepted == nullptr) return true;
    bool ok = bundle == nullptr || ca_lock == nullptr || accepted->rebuild(bundle, ca_lock, whole_seconds(now_ns));
    accepted->release();
    return ok;
}

PlatformVerdict verify_chain_with_store(const char* store_path, const Slice* certs, size_t count, __int128 now_ns,
                                        CaBundle* bundle, RwLock* ca_lock, X509** leaf_issuer,
                                        AcceptedStore** defer_rebuild) {
    if (certs == nullptr || count == 0 || bundle == nullptr || ca_lock == nullptr) return PlatformVerdict::Rejected;
    SnapshotRef snap(acquire_snapshot(store_path));
    if (snap.get() == nullptr || snap.get()->damaged()) return PlatformVerdict::Rejected;
    X509* issuer = nullptr;
    {
        ErrorMark mark;
        if (!chain_accepted(snap.get(), certs, count, now_ns, &issuer)) return PlatformVerdict::Rejected;
    }
    if (defer_rebuild != nullptr) {
        auto* accepted = new (std::nothrow) AcceptedSnapshot(snap.get());
        if (accepted == nullptr) {
            X509_free(issuer);
            return PlatformVerdict::OutOfMemory;
        }
        snap.get()->ref();
        *defer_rebuild = accepted;
    } else if (!rebuild_bundle(snap.get(), bundle, ca_lock, whole_seconds(now_ns))) {
        X509_free(issuer);
        return PlatformVerdict::OutOfMemory;
    }
    if (leaf_issuer != nullptr) {
        *leaf_issuer = issuer;
    } else {
        X509_free(issuer);
    }
    return PlatformVerdict::Accepted;
}

bool verify_anchored_chain(STACK_OF(X509)* certs, int count, X509* anchor, __int128 now_ns, bool check_revocation,
                           X509** leaf_issuer) {
    if (certs == nullptr || count < 1 || count > sk_X509_num(certs) || anchor == nullptr) return false;
    ErrorMark mark;
    X509StorePtr store(X509_STORE_new());
    X509RefStackPtr untrusted(sk_X509_new_null());
    if (!store || !untrusted || !X509_STORE_add_cert(store.get(), anchor)) return false;
    for (int i = 1; i < count; i++) {
        if (!sk_X509_push(untrusted.get(), sk_X509_value(certs, i))) return false;
    }
    // The anchor need not be a root: a CA file may hold an intermediate.
    unsigned long flags = X509_V_FLAG_PARTIAL_CHAIN;
    // The store as it is now: revocation data added after the rebuild counts.
    SnapshotRef snap(check_revocation ? acquire_snapshot(system_trust_store_path()) : nullptr);
    STACK_OF(X509_CRL)* crls = nullptr;
    if (snap.get() != nullptr && !snap.get()->damaged()) {
        crls = snap.get()->crls();
        flags |= X509_V_FLAG_CRL_CHECK;
    }
    VerifyState state;
    state.validity_checked = true;
    state.checked = certs;
    state.checked_count = count;
    state.anchor = anchor;
    return run_verifier(store.get(), sk_X509_value(certs, 0), untrusted.get(), now_ns, flags, state, crls,
                        check_revocation ? leaf_issuer : nullptr);
}

bool rescan_roots_from_store(const char* store_path, CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) {
    if (bundle == nullptr || ca_lock == nullptr) return true;
    SnapshotRef snap(acquire_snapshot(store_path));
    if (snap.get() == nullptr) return true;
    return rebuild_bundle(snap.get(), bundle, ca_lock, now_seconds);
}

#ifndef _WIN32  // Windows asks its own chain engine (win/verify.cpp)
PlatformVerdict verify_chain_with_platform(const Slice* certs, size_t count, __int128 now_ns, CaBundle* bundle,
                                           RwLock* ca_lock, X509** leaf_issuer, AcceptedStore** defer_rebuild) {
    const char* path = system_trust_store_path();
    if (path == nullptr) return PlatformVerdict::Rejected;
    return verify_chain_with_store(path, certs, count, now_ns, bundle, ca_lock, leaf_issuer, defer_rebuild);
}
#endif

}  // namespace tarnix
