// Weak stand-ins for the platform services the trust code links against, so
// this test binary links before those services land. The real definitions in
// the engine library take precedence wherever they exist.
#include <malloc.h>

#include <cstring>

#include "platform/bytes.h"
#include "platform/heap.h"
#include "platform/rwlock.h"

namespace tarnix {

__attribute__((weak)) size_t heap_usable_size(void* p) { return malloc_usable_size(p); }

__attribute__((weak)) size_t grow_capacity(size_t need, size_t elem_size) {
    size_t extra = 128 / elem_size;
    if (extra == 0) extra = 1;
    size_t cap = need + need / 2;
    if (cap < need) return SIZE_MAX;
    return cap + extra < cap ? SIZE_MAX : cap + extra;
}

__attribute__((weak)) void* grow_block(void* block, size_t used, size_t bytes) {
    if (block != nullptr && heap_usable_size(block) >= bytes) return block;
    if (void* p = heap_realloc(block, bytes)) return p;
    void* fresh = heap_alloc(bytes);
    if (fresh == nullptr) return nullptr;
    if (used != 0) std::memcpy(fresh, block, used);
    heap_free(block);
    return fresh;
}

__attribute__((weak)) bool ByteBuf::reserve_more(size_t extra) {
    if (extra <= cap_ - len_) return true;
    if (extra > SIZE_MAX - len_) return false;
    size_t cap = grow_capacity(len_ + extra, 1);
    void* p = grow_block(ptr_, len_, cap);
    if (p == nullptr) return false;
    ptr_ = static_cast<uint8_t*>(p);
    cap_ = cap;
    return true;
}

__attribute__((weak)) bool ByteBuf::append(const void* src, size_t n) {
    if (n == 0) return true;
    if (!reserve_more(n)) return false;
    std::memcpy(ptr_ + len_, src, n);
    len_ += n;
    return true;
}

__attribute__((weak)) RwLock::RwLock() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&rw_, &attr);
    pthread_rwlockattr_destroy(&attr);
}
__attribute__((weak)) RwLock::~RwLock() { pthread_rwlock_destroy(&rw_); }
__attribute__((weak)) void RwLock::lock_shared() { pthread_rwlock_rdlock(&rw_); }
__attribute__((weak)) void RwLock::unlock_shared() { pthread_rwlock_unlock(&rw_); }
__attribute__((weak)) void RwLock::lock_exclusive() { pthread_rwlock_wrlock(&rw_); }
__attribute__((weak)) void RwLock::unlock_exclusive() { pthread_rwlock_unlock(&rw_); }

}  // namespace tarnix
