#include "platform/bytes.h"

namespace tarnix {

bool OwnedBytes::assign_copy(const void* src, size_t n) {
    reset();
    if (n == 0) return true;
    auto* p = static_cast<uint8_t*>(heap_alloc(n));
    if (p == nullptr) return false;
    std::memcpy(p, src, n);
    ptr_ = p;
    len_ = n;
    return true;
}

bool ByteBuf::reserve_more(size_t extra) {
    if (extra > SIZE_MAX - len_) return false;
    size_t need = len_ + extra;
    if (need <= cap_) return true;
    size_t cap = grow_capacity(need, 1);
    void* p = grow_block(ptr_, len_, cap);
    if (p == nullptr) return false;
    ptr_ = static_cast<uint8_t*>(p);
    cap_ = cap;
    return true;
}

bool ByteBuf::append(const void* src, size_t n) {
    if (n == 0) return true;
    if (!reserve_more(n)) return false;
    std::memcpy(ptr_ + len_, src, n);
    len_ += n;
    return true;
}

bool ByteBuf::into_owned(OwnedBytes* out) {
    bool ok = false;
    void* p = trim_block(ptr_, len_, &ok);
    if (!ok) return false;
    *out = OwnedBytes(static_cast<uint8_t*>(p), len_);
    ptr_ = nullptr;
    len_ = cap_ = 0;
    return true;
}

}  // namespace tarnix
