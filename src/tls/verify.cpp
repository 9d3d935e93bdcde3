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
#include "tls/chain_rules.h"
#include "tls/library.h"
#include "tls/openssl_handles.h"

namespace tarnix {

namespace {

bool same_file(const FileVersion& a, const FileVersion& b) {
    return a.volume == b.volume && a.id == b.id && a.size == b.size && a.mtime_s == b.mtime_s &&
           a.mtime_ns == b.mtime_ns && a.ctime_s == b.ctime_s && a.ctime_ns == b.ctime_ns;
}

struct DerSpan {
    size_t off;
    size_t len;
};

}  // namespace

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

namespace {

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

X509* parse_exact(const Slice& der) { return parse_certificate(der.ptr, der.len); }

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

StoreCrls::StoreCrls(bool wanted) {
    if (!wanted) return;
    snap_ = acquire_snapshot(system_trust_store_path());
    if (snap_ != nullptr && snap_->damaged()) {
        snap_->unref();
        snap_ = nullptr;
    }
}

StoreCrls::~StoreCrls() {
    if (snap_ != nullptr) snap_->unref();
}

STACK_OF(X509_CRL)* StoreCrls::get() const { return snap_ != nullptr ? snap_->crls() : nullptr; }

bool rescan_roots_from_store(const char* store_path, CaBundle* bundle, RwLock* ca_lock, int64_t now_seconds) {
    if (bundle == nullptr || ca_lock == nullptr) return true;
    SnapshotRef snap(acquire_snapshot(store_path));
    if (snap.get() == nullptr) return true;
    return rebuild_bundle(snap.get(), bundle, ca_lock, now_seconds);
}


}  // namespace tarnix
