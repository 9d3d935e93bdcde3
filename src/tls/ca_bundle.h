// Trusted CA certificates of a pool: DER bytes back to back, indexed by the
// exact DER bytes of each kept certificate's subject Name.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"

namespace tarnix {

class SubjectIndex;  // open-addressing hash map: subject DER -> offset
struct SharedCaBundle;

// Offsets into a bundle are 32-bit, so its bytes stay below this size.
constexpr uint64_t CA_BUNDLE_MAX_BYTES = uint64_t{1} << 32;

struct CaBundle {
    ByteBuf bytes;
    SubjectIndex* index = nullptr;  // null while empty
    // Rebuilt from the system store: chains anchored here get the store's
    // revocation checks.
    bool from_system_store = false;
    // The earliest notAfter (seconds) among the kept certificates.
    int64_t earliest_expiry = INT64_MAX;
    // When set, the certificates are those of a bundle shared read-only with
    // other pools (one reference); bytes and index here stay empty.
    SharedCaBundle* shared = nullptr;

    CaBundle() = default;
    CaBundle(const CaBundle&) = delete;
    CaBundle& operator=(const CaBundle&) = delete;
    ~CaBundle();
    // Exchanges contents (used to swap in a rebuilt bundle).
    void swap(CaBundle& other) noexcept;
};

enum class CaAddResult : uint8_t { Ok, Failed, OutOfMemory };

// Appends every certificate block of the PEM file at `path` (NUL-terminated)
// by the keep-or-skip rules, judging expiry against `now_seconds`.
bool ca_bundle_add_pem_file(CaBundle* bundle, const char* path, int64_t now_seconds);
// The DER of one certificate was just appended to bundle->bytes at `start`:
// index it, or cut the bytes back to `start` when it is skipped.
CaAddResult ca_bundle_add_der(CaBundle* bundle, size_t start, int64_t now_seconds);
// Offset of the kept certificate whose subject equals `issuer` byte for byte.
bool ca_bundle_find_issuer(const CaBundle* bundle, const uint8_t* issuer, size_t issuer_len, uint32_t* offset);
// Frees the index, then the bytes (or lets go of the shared bundle).
void ca_bundle_release(CaBundle* bundle);
// The bundle whose certificates `bundle` holds: itself, or the shared one.
const CaBundle* ca_bundle_certs(const CaBundle* bundle);
// Number of distinct subjects indexed.
size_t ca_bundle_count(const CaBundle* bundle);

// Sharing: one parsed copy per file version or system-store version, read by
// every pool that uses it, reference-counted and never changed.
struct SharedCaBundle {
    std::atomic<uint32_t> refs{1};
    CaBundle bundle;
};
void shared_ca_bundle_ref(SharedCaBundle* shared);
void shared_ca_bundle_unref(SharedCaBundle* shared);
// Moves `built` into a new shared bundle (one reference); null when memory
// runs out, `built` then unchanged.
SharedCaBundle* shared_ca_bundle_from(CaBundle* built);
// Makes `out` (empty) a view of `shared`, taking a reference.
void ca_bundle_view(CaBundle* out, SharedCaBundle* shared);
// Like ca_bundle_add_pem_file into an empty `out`, which becomes a view of a
// parse shared by every caller naming the same file version (path, device,
// inode, size, modification time). A shared parse counts only while none of
// its certificates has expired since `now_seconds` of the parse: otherwise
// the file is parsed again and the new parse shared from then on.
bool ca_bundle_share_pem_file(CaBundle* out, const char* path, int64_t now_seconds);
// Drops the shared parses kept for later callers (pools keep theirs).
void ca_bundle_forget_shared_files();

// Strict padded Base64 (standard alphabet): space, tab, CR and LF are skipped
// anywhere; the first '=' ends the data and exactly the padding the data
// calls for must follow; a leftover character or non-zero unused bits fail.
// `out` may be the same memory as `in` or lie before it. Exposed for tests.
bool pem_base64_decode(const uint8_t* in, size_t len, uint8_t* out, size_t* out_len);

}  // namespace tarnix
