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

bool ByteBuf::reserve_more(size_t extra) { return reserve(extra, true); }

bool ByteBuf::reserve_exact(size_t extra) { return reserve(extra, false); }

bool ByteBuf::reserve(size_t extra, bool spare) {
    if (extra > SIZE_MAX - len_) return false;
    size_t need = len_ + extra;
    if (need <= cap_) return true;
    if (need >= LARGE_BLOCK) {
        // A kept block whose pages are already in memory beats a fresh one.
        size_t usable = 0;
        if (void* kept = large_block_take(need, &usable)) {
            if (len_ != 0) std::memcpy(kept, ptr_, len_);
            uint8_t* old = ptr_;
            size_t old_cap = cap_;
            ptr_ = static_cast<uint8_t*>(kept);
            cap_ = usable;
            if (old_cap >= LARGE_BLOCK)
                large_block_free(old);
            else
                heap_free(old);
            return true;
        }
    }
    size_t cap = spare ? grow_capacity(need, 1) : need;
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
    if (len_ == cap_) {  // nothing to trim
        *out = OwnedBytes(ptr_, len_);
        ptr_ = nullptr;
        len_ = cap_ = 0;
        return true;
    }
    bool ok = false;
    void* p = trim_block(ptr_, len_, &ok);
    if (!ok) return false;
    *out = OwnedBytes(static_cast<uint8_t*>(p), len_);
    ptr_ = nullptr;
    len_ = cap_ = 0;
    return true;
}

}  // namespace tarnix
