// Placeholder until the CA bundle lands: loading always fails, bundles stay empty.
#include "tls/ca_bundle.h"

namespace tarnix {

CaBundle::~CaBundle() { ca_bundle_release(this); }
void CaBundle::swap(CaBundle& other) noexcept {
    ByteBuf t = static_cast<ByteBuf&&>(bytes);
    bytes = static_cast<ByteBuf&&>(other.bytes);
    other.bytes = static_cast<ByteBuf&&>(t);
    SubjectIndex* i = index;
    index = other.index;
    other.index = i;
}
bool ca_bundle_add_pem_file(CaBundle*, const char*, int64_t) { return false; }
CaAddResult ca_bundle_add_der(CaBundle*, size_t, int64_t) { return CaAddResult::Failed; }
bool ca_bundle_find_issuer(const CaBundle*, const uint8_t*, size_t, uint32_t*) { return false; }
void ca_bundle_release(CaBundle* b) { b->bytes.clear(); }

}  // namespace tarnix
