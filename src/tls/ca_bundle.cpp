// The CA bundle: PEM scan, strict Base64, keep-or-skip rules and the subject
// index. OpenSSL only parses the DER; everything else is ours.
#include "tls/ca_bundle.h"

#include <cstring>
#include <new>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "platform/file.h"
#include "platform/fork.h"
#include "platform/heap.h"
#include "platform/spinlock.h"
#include "tls/library.h"
#include "tls/openssl_handles.h"

namespace tarnix {

// ---------------------------------------------------------------------------
// Subject index: open addressing with linear probing. Keys are spans of the
// bundle's own bytes (offset and length), so they stay valid when the bytes
// move to a bigger block.

class SubjectIndex {
public:
    struct Slot {
        uint32_t hash;
        uint32_t key_off;
        uint32_t key_len;  // 0 marks an empty slot: a Name is never empty
        uint32_t value;
    };

    static SubjectIndex* create() {
        void* mem = heap_alloc(sizeof(SubjectIndex));
        if (mem == nullptr) return nullptr;
        SubjectIndex* idx = new (mem) SubjectIndex();
        if (!idx->rehash(kInitialSlots)) {
            heap_free(mem);
            return nullptr;
        }
        return idx;
    }

    static void destroy(SubjectIndex* idx) {
        if (idx == nullptr) return;
        heap_free(idx->slots_);
        idx->~SubjectIndex();
        heap_free(idx);
    }

    static uint32_t hash(const uint8_t* p, size_t n) {
        uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a, folded to 32 bits
        for (size_t i = 0; i < n; i++) {
            h ^= p[i];
            h *= 0x100000001b3ull;
        }
        return static_cast<uint32_t>(h ^ (h >> 32));
    }

    const Slot* find(const uint8_t* base, const uint8_t* key, size_t len, uint32_t h) const {
        for (uint32_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.key_len == 0) return nullptr;
            if (s.hash == h && s.key_len == len && std::memcmp(base + s.key_off, key, len) == 0) return &s;
        }
    }

    // The key must not be present yet. False when the table cannot grow.
    bool insert(uint32_t h, uint32_t key_off, uint32_t key_len, uint32_t value) {
        if ((static_cast<uint64_t>(count_) + 1) * 4 > static_cast<uint64_t>(mask_ + 1) * 3) {
            if (mask_ >= 0x7fffffffu || !rehash((mask_ + 1) * 2)) return false;
        }
        place(Slot{h, key_off, key_len, value});
        count_++;
        return true;
    }

    size_t count() const { return count_; }

private:
    static constexpr uint32_t kInitialSlots = 16;

    void place(const Slot& s) {
        uint32_t i = s.hash & mask_;
        while (slots_[i].key_len != 0) i = (i + 1) & mask_;
        slots_[i] = s;
    }

    bool rehash(uint32_t n_slots) {
        Slot* fresh = static_cast<Slot*>(heap_alloc(sizeof(Slot) * n_slots));
        if (fresh == nullptr) return false;
        std::memset(fresh, 0, sizeof(Slot) * n_slots);
        Slot* old = slots_;
        uint32_t old_n = old == nullptr ? 0 : mask_ + 1;
        slots_ = fresh;
        mask_ = n_slots - 1;
        for (uint32_t i = 0; i < old_n; i++) {
            if (old[i].key_len != 0) place(old[i]);
        }
        heap_free(old);
        return true;
    }

    Slot* slots_ = nullptr;
    uint32_t mask_ = 0;
    uint32_t count_ = 0;
};

CaBundle::~CaBundle() { ca_bundle_release(this); }

void CaBundle::swap(CaBundle& other) noexcept {
    int64_t e = earliest_expiry;
    earliest_expiry = other.earliest_expiry;
    other.earliest_expiry = e;
    SharedCaBundle* s = shared;
    shared = other.shared;
    other.shared = s;
    ByteBuf t = static_cast<ByteBuf&&>(bytes);
    bytes = static_cast<ByteBuf&&>(other.bytes);
    other.bytes = static_cast<ByteBuf&&>(t);
    SubjectIndex* i = index;
    index = other.index;
    other.index = i;
    bool f = from_system_store;
    from_system_store = other.from_system_store;
    other.from_system_store = f;
}

void ca_bundle_release(CaBundle* b) {
    SubjectIndex::destroy(b->index);
    b->index = nullptr;
    b->bytes.clear();
    b->from_system_store = false;
    b->earliest_expiry = INT64_MAX;
    if (b->shared != nullptr) shared_ca_bundle_unref(b->shared);
    b->shared = nullptr;
}

const CaBundle* ca_bundle_certs(const CaBundle* b) { return b->shared != nullptr ? &b->shared->bundle : b; }

size_t ca_bundle_count(const CaBundle* b) {
    b = ca_bundle_certs(b);
    return b->index == nullptr ? 0 : b->index->count();
}

bool ca_bundle_find_issuer(const CaBundle* b, const uint8_t* issuer, size_t issuer_len, uint32_t* offset) {
    b = ca_bundle_certs(b);
    if (b->index == nullptr || issuer_len == 0) return false;
    const SubjectIndex::Slot* s =
        b->index->find(b->bytes.data(), issuer, issuer_len, SubjectIndex::hash(issuer, issuer_len));
    if (s == nullptr) return false;
    *offset = s->value;
    return true;
}

// ---------------------------------------------------------------------------
// Strict padded Base64.

namespace {

constexpr int8_t B64_WS = -2;
constexpr int8_t B64_PAD = -3;
constexpr int8_t B64_BAD = -1;

struct Base64Table {
    int8_t v[256];
    constexpr Base64Table() : v() {
        for (int i = 0; i < 256; i++) v[i] = B64_BAD;
        for (int i = 0; i < 26; i++) {
            v['A' + i] = static_cast<int8_t>(i);
            v['a' + i] = static_cast<int8_t>(26 + i);
        }
        for (int i = 0; i < 10; i++) v['0' + i] = static_cast<int8_t>(52 + i);
        v['+'] = 62;
        v['/'] = 63;
        v[' '] = v['\t'] = v['\r'] = v['\n'] = B64_WS;
        v['='] = B64_PAD;
    }
};
constexpr Base64Table kB64{};

}  // namespace

bool pem_base64_decode(const uint8_t* in, size_t len, uint8_t* out, size_t* out_len) {
    size_t o = 0;
    uint32_t acc = 0;
    int n = 0;  // characters in the current group
    size_t i = 0;
    for (; i < len; i++) {
        int8_t c = kB64.v[in[i]];
        if (c == B64_WS) continue;
        if (c == B64_BAD) return false;
        if (c == B64_PAD) break;
        acc = (acc << 6) | static_cast<uint32_t>(c);
        if (++n == 4) {
            out[o++] = static_cast<uint8_t>(acc >> 16);
            out[o++] = static_cast<uint8_t>(acc >> 8);
            out[o++] = static_cast<uint8_t>(acc);
            acc = 0;
            n = 0;
        }
    }
    size_t pads = 0;
    for (; i < len; i++) {
        int8_t c = kB64.v[in[i]];
        if (c == B64_WS) continue;
        if (c != B64_PAD) return false;
        pads++;
    }
    switch (n) {
    case 0:
        if (pads != 0) return false;
        break;
    case 2:  // 12 bits: one byte, low 4 bits unused
        if (pads != 2 || (acc & 0xf) != 0) return false;
        out[o++] = static_cast<uint8_t>(acc >> 4);
        break;
    case 3:  // 18 bits: two bytes, low 2 bits unused
        if (pads != 1 || (acc & 0x3) != 0) return false;
        out[o++] = static_cast<uint8_t>(acc >> 10);
        out[o++] = static_cast<uint8_t>(acc >> 2);
        break;
    default:  // a single leftover character
        return false;
    }
    *out_len = o;
    return true;
}

// ---------------------------------------------------------------------------
// One certificate.

namespace {

// One DER element found at some position: where its contents start and where
// it ends. Only the single-byte tags of a certificate's outer fields occur.
struct DerElem {
    uint8_t tag;
    size_t start;
    size_t body;
    size_t end;
};

bool der_read(const uint8_t* p, size_t limit, size_t pos, DerElem* e) {
    if (pos + 2 > limit) return false;
    e->tag = p[pos];
    if ((e->tag & 0x1f) == 0x1f) return false;
    size_t q = pos + 1;
    size_t len = p[q++];
    if (len & 0x80) {
        size_t nbytes = len & 0x7f;
        if (nbytes == 0 || nbytes > 4 || q + nbytes > limit) return false;  // indefinite length is not DER
        len = 0;
        for (size_t k = 0; k < nbytes; k++) len = (len << 8) | p[q++];
    }
    if (len > limit - q) return false;
    e->start = pos;
    e->body = q;
    e->end = q + len;
    return true;
}

// Locates the subject Name inside a certificate's DER; also requires that the
// certificate fills `len` exactly.
bool der_find_subject(const uint8_t* p, size_t len, size_t* off, size_t* n) {
    DerElem cert, tbs, e;
    if (!der_read(p, len, 0, &cert) || cert.tag != 0x30 || cert.end != len) return false;
    if (!der_read(p, cert.end, cert.body, &tbs) || tbs.tag != 0x30) return false;
    size_t pos = tbs.body;
    if (!der_read(p, tbs.end, pos, &e)) return false;
    if (e.tag == 0xa0) {  // explicit version
        pos = e.end;
        if (!der_read(p, tbs.end, pos, &e)) return false;
    }
    static const uint8_t kTags[4] = {0x02, 0x30, 0x30, 0x30};  // serial, signature, issuer, validity
    for (uint8_t t : kTags) {
        if (e.tag != t) return false;
        pos = e.end;
        if (!der_read(p, tbs.end, pos, &e)) return false;
    }
    if (e.tag != 0x30) return false;
    *off = e.start;
    *n = e.end - e.start;
    return true;
}

bool sig_alg_recognised(const X509_ALGOR* alg) {
    if (alg == nullptr) return false;
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    switch (OBJ_obj2nid(obj)) {
    case NID_ED25519:
    case NID_ecdsa_with_SHA224:
    case NID_ecdsa_with_SHA256:
    case NID_ecdsa_with_SHA384:
    case NID_ecdsa_with_SHA512:
    case NID_sha1WithRSAEncryption:
    case NID_sha256WithRSAEncryption:
    case NID_sha384WithRSAEncryption:
    case NID_sha512WithRSAEncryption:
    case NID_sha224WithRSAEncryption:
    case NID_md2WithRSAEncryption:
    case NID_md5WithRSAEncryption:
        return true;
    default:
        return false;
    }
}

bool key_alg_recognised(X509* cert) {
    X509_PUBKEY* pub = X509_get_X509_PUBKEY(cert);
    X509_ALGOR* alg = nullptr;
    if (pub == nullptr || !X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &alg, pub) || alg == nullptr)
        return false;
    const ASN1_OBJECT* obj = nullptr;
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(&obj, &ptype, &pval, alg);
    switch (OBJ_obj2nid(obj)) {
    case NID_rsaEncryption:
    case NID_rsassaPss:
    case NID_ED25519:
        return true;
    case NID_X9_62_id_ecPublicKey: {
        // Only a named curve from the list; explicit parameters are not one.
        if (ptype != V_ASN1_OBJECT) return false;
        int curve = OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(pval));
        return curve == NID_X9_62_prime256v1 || curve == NID_secp384r1 || curve == NID_secp521r1;
    }
    default:
        return false;
    }
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool asn1_time_seconds(const ASN1_TIME* t, int64_t* out) {
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return false;
    int64_t days = days_from_civil(int64_t{tm.tm_year} + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                                   static_cast<unsigned>(tm.tm_mday));
    *out = days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return true;
}

// Keeps the caller's OpenSSL error queue as it was and tells whether the
// errors raised meanwhile include running out of memory.
class ErrorScope {
public:
    ErrorScope() : was_empty_(ERR_peek_error() == 0) { ERR_set_mark(); }
    ~ErrorScope() { ERR_pop_to_mark(); }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

    bool out_of_memory() const {
        if (!was_empty_) return ERR_GET_REASON(ERR_peek_last_error()) == ERR_R_MALLOC_FAILURE;
        for (unsigned long e; (e = ERR_get_error()) != 0;) {
            if (ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE) return true;
        }
        return false;
    }

private:
    bool was_empty_;
};

enum class Verdict : uint8_t { Keep, Skip, Malformed, OutOfMemory };

Verdict judge_certificate(const uint8_t* der, size_t len, int64_t now_seconds, size_t* subj_off, size_t* subj_len,
                          int64_t* expiry) {
    ErrorScope errors;
    if (len == 0 || len > static_cast<size_t>(INT32_MAX)) return Verdict::Malformed;
    if (tls_library_context() == nullptr) return Verdict::OutOfMemory;
    // Bytes after the certificate make it malformed too.
    X509Ptr cert(parse_certificate(der, len));
    if (!cert) return errors.out_of_memory() ? Verdict::OutOfMemory : Verdict::Malformed;
    if (!der_find_subject(der, len, subj_off, subj_len)) return Verdict::Malformed;

    const X509_ALGOR* outer = nullptr;
    X509_get0_signature(nullptr, &outer, cert.get());
    if (!sig_alg_recognised(outer) || !sig_alg_recognised(X509_get0_tbs_sigalg(cert.get()))) return Verdict::Skip;
    if (!key_alg_recognised(cert.get())) return Verdict::Skip;
    // A recognised key that does not decode is a broken encoding.
    if (X509_get0_pubkey(cert.get()) == nullptr) {
        return errors.out_of_memory() ? Verdict::OutOfMemory : Verdict::Malformed;
    }

    int64_t not_after = 0, not_before = 0;
    if (!asn1_time_seconds(X509_get0_notAfter(cert.get()), &not_after) ||
        !asn1_time_seconds(X509_get0_notBefore(cert.get()), &not_before)) {
        return Verdict::Malformed;
    }
    *expiry = not_after;
    return not_after < now_seconds ? Verdict::Skip : Verdict::Keep;
}

}  // namespace

CaAddResult ca_bundle_add_der(CaBundle* b, size_t start, int64_t now_seconds) {
    size_t end = b->bytes.size();
    if (start > end) return CaAddResult::Failed;
    if (end >= CA_BUNDLE_MAX_BYTES) {
        b->bytes.truncate(start);
        return CaAddResult::Failed;
    }
    const uint8_t* der = b->bytes.data() + start;
    size_t subj_off = 0, subj_len = 0;
    int64_t expiry = INT64_MAX;
    switch (judge_certificate(der, end - start, now_seconds, &subj_off, &subj_len, &expiry)) {
    case Verdict::Keep:
        break;
    case Verdict::Skip:
        b->bytes.truncate(start);
        return CaAddResult::Ok;
    case Verdict::Malformed:
        b->bytes.truncate(start);
        return CaAddResult::Failed;
    case Verdict::OutOfMemory:
        b->bytes.truncate(start);
        return CaAddResult::OutOfMemory;
    }

    const uint8_t* subject = der + subj_off;
    uint32_t h = SubjectIndex::hash(subject, subj_len);
    if (b->index != nullptr && b->index->find(b->bytes.data(), subject, subj_len, h) != nullptr) {
        b->bytes.truncate(start);  // the first certificate with this subject stays
        return CaAddResult::Ok;
    }
    if (b->index == nullptr) b->index = SubjectIndex::create();
    if (b->index == nullptr ||
        !b->index->insert(h, static_cast<uint32_t>(start + subj_off), static_cast<uint32_t>(subj_len),
                          static_cast<uint32_t>(start))) {
        b->bytes.truncate(start);
        return CaAddResult::OutOfMemory;
    }
    if (expiry < b->earliest_expiry) b->earliest_expiry = expiry;
    return CaAddResult::Ok;
}

// ---------------------------------------------------------------------------
// A PEM file.

namespace {

constexpr char kBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kEnd[] = "-----END CERTIFICATE-----";

const uint8_t* find_marker(const uint8_t* from, const uint8_t* to, const char* marker, size_t n) {
    if (to < from || static_cast<size_t>(to - from) < n) return nullptr;
    return static_cast<const uint8_t*>(memmem(from, static_cast<size_t>(to - from), marker, n));
}

}  // namespace

namespace {

// Also reports what the opened file was, to tell its versions apart.
bool load_pem_file(CaBundle* b, const char* path, int64_t now_seconds, FileVersion* version) {
    OwnedBytes file;
    if (file_read_all(path, CA_BUNDLE_MAX_BYTES - 1, &file, version) != FileStatus::Ok) return false;

    // The text and its decoded certificates together stay under the cap.
    // Decoding writes at most three bytes for every four it reads.
    const uint64_t size = file.size();
    const uint64_t bound = size / 4 * 3;
    if (bound + size + b->bytes.size() >= CA_BUNDLE_MAX_BYTES) return false;
    if (!b->bytes.reserve_more(static_cast<size_t>(bound))) return false;
    const uint8_t* text = file.data();
    const size_t got = file.size();

    const uint8_t* pos = text;
    const uint8_t* const end = text + got;
    for (;;) {
        const uint8_t* begin = find_marker(pos, end, kBegin, sizeof kBegin - 1);
        if (begin == nullptr) return true;
        const uint8_t* body = begin + (sizeof kBegin - 1);
        const uint8_t* stop = find_marker(body, end, kEnd, sizeof kEnd - 1);
        if (stop == nullptr) return false;
        pos = stop + (sizeof kEnd - 1);

        size_t start = b->bytes.size();
        size_t n = 0;
        if (!pem_base64_decode(body, static_cast<size_t>(stop - body), b->bytes.tail(), &n)) return false;
        b->bytes.commit(n);
        if (ca_bundle_add_der(b, start, now_seconds) != CaAddResult::Ok) return false;
    }
}

}  // namespace

bool ca_bundle_add_pem_file(CaBundle* b, const char* path, int64_t now_seconds) {
    FileVersion version;
    return load_pem_file(b, path, now_seconds, &version);
}

// ---------------------------------------------------------------------------
// Shared bundles.

void shared_ca_bundle_ref(SharedCaBundle* shared) { shared->refs.fetch_add(1, std::memory_order_relaxed); }

void shared_ca_bundle_unref(SharedCaBundle* shared) {
    if (shared->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    shared->~SharedCaBundle();
    heap_free(shared);
}

SharedCaBundle* shared_ca_bundle_from(CaBundle* built) {
    void* mem = heap_alloc(sizeof(SharedCaBundle));
    if (mem == nullptr) return nullptr;
    auto* shared = new (mem) SharedCaBundle();
    shared->bundle.swap(*built);
    return shared;
}

void ca_bundle_view(CaBundle* out, SharedCaBundle* shared) {
    ca_bundle_release(out);
    shared_ca_bundle_ref(shared);
    out->shared = shared;
}

namespace {

// What tells one version of a CA file from the next (a change of owner or
// mode alone is none).
bool same_version(const FileVersion& a, const FileVersion& b) {
    return a.volume == b.volume && a.id == b.id && a.size == b.size && a.mtime_s == b.mtime_s &&
           a.mtime_ns == b.mtime_ns;
}

// The latest parse of each of the few files most recently named, newest
// first; each entry holds one reference.
struct SharedFile {
    ByteBuf path;  // no terminator
    FileVersion version;
    SharedCaBundle* shared;
};

constexpr size_t SHARED_FILES = 8;

struct SharedFiles {
    SpinLock lock;
    SharedFile* entries[SHARED_FILES] = {};
};

SharedFiles g_files;

void files_before_fork() { g_files.lock.lock(); }
void files_after_fork() { g_files.lock.unlock(); }
const bool g_files_fork = on_fork_leaf(files_before_fork, files_after_fork, files_after_fork);

void free_entry(SharedFile* e) {
    if (e == nullptr) return;
    shared_ca_bundle_unref(e->shared);
    e->~SharedFile();
    heap_free(e);
}

bool same_path(const SharedFile* e, const char* path, size_t len) {
    return e->path.size() == len && (len == 0 || std::memcmp(e->path.data(), path, len) == 0);
}

// With the lock held: the entry's parse, referenced, when it is of this
// version and still whole at `now`; null otherwise.
SharedCaBundle* find_shared(const char* path, size_t len, const FileVersion& v, int64_t now) {
    for (size_t i = 0; i < SHARED_FILES; ++i) {
        SharedFile* e = g_files.entries[i];
        if (e == nullptr || !same_path(e, path, len) || !same_version(e->version, v)) continue;
        // A certificate that expired since the parse must not count.
        if (e->shared->bundle.earliest_expiry < now) return nullptr;
        // Most recently used first.
        for (size_t j = i; j > 0; --j) g_files.entries[j] = g_files.entries[j - 1];
        g_files.entries[0] = e;
        shared_ca_bundle_ref(e->shared);
        return e->shared;
    }
    return nullptr;
}

// Keeps `shared` as the path's current parse; the entry it replaces, or the
// least recently used one, comes back to be freed outside the lock.
SharedFile* remember_shared(SharedFile* fresh) {
    size_t at = SHARED_FILES - 1;
    for (size_t i = 0; i < SHARED_FILES; ++i) {
        SharedFile* e = g_files.entries[i];
        if (e == nullptr || same_path(e, reinterpret_cast<const char*>(fresh->path.data()), fresh->path.size())) {
            at = i;
            break;
        }
    }
    SharedFile* old = g_files.entries[at];
    for (size_t j = at; j > 0; --j) g_files.entries[j] = g_files.entries[j - 1];
    g_files.entries[0] = fresh;
    return old;
}

}  // namespace

bool ca_bundle_share_pem_file(CaBundle* out, const char* path, int64_t now_seconds) {
    const size_t len = std::strlen(path);
    FileVersion version;
    if (file_version(path, &version) == FileStatus::Ok) {
        SharedCaBundle* found = nullptr;
        {
            SpinGuard guard(g_files.lock);
            found = find_shared(path, len, version, now_seconds);
        }
        if (found != nullptr) {
            ca_bundle_release(out);
            out->shared = found;
            return true;
        }
    }
    // Parsed outside the lock; the version is that of the file as opened.
    CaBundle fresh;
    if (!load_pem_file(&fresh, path, now_seconds, &version)) return false;
    SharedCaBundle* shared = shared_ca_bundle_from(&fresh);
    if (shared == nullptr) return false;
    ca_bundle_release(out);
    out->shared = shared;
    void* mem = heap_alloc(sizeof(SharedFile));
    if (mem == nullptr) return true;  // shared with nobody else, still correct
    auto* entry = new (mem) SharedFile{ByteBuf(), version, shared};
    if (!entry->path.append(path, len)) {
        entry->~SharedFile();
        heap_free(mem);
        return true;
    }
    shared_ca_bundle_ref(shared);
    SharedFile* old = nullptr;
    {
        SpinGuard guard(g_files.lock);
        old = remember_shared(entry);
    }
    free_entry(old);
    return true;
}

void ca_bundle_forget_shared_files() {
    SharedFile* all[SHARED_FILES];
    {
        SpinGuard guard(g_files.lock);
        for (size_t i = 0; i < SHARED_FILES; ++i) {
            all[i] = g_files.entries[i];
            g_files.entries[i] = nullptr;
        }
    }
    for (SharedFile* e : all) free_entry(e);
}

}  // namespace tarnix
