// The growth rule and block resizing shared by every growable array.
#include "platform/heap.h"

#include <cstring>

namespace tarnix {

static size_t add_saturating(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

size_t grow_capacity(size_t need, size_t elem_size) {
    size_t extra = elem_size == 0 ? 1 : 128 / elem_size;
    if (extra < 1) extra = 1;
    return add_saturating(add_saturating(need, need / 2), extra);
}

void* grow_block(void* block, size_t used, size_t bytes) {
    if (block != nullptr && heap_usable_size(block) >= bytes) return block;
    void* p = heap_realloc(block, bytes);
    if (p != nullptr || block == nullptr) return p;
    // realloc may fail where a fresh block (elsewhere) still fits.
    p = heap_alloc(bytes);
    if (p == nullptr) return nullptr;
    if (used != 0) std::memcpy(p, block, used);
    heap_free(block);
    return p;
}

void* trim_block(void* block, size_t bytes, bool* ok) {
    if (bytes == 0) {
        heap_free(block);
        *ok = true;
        return nullptr;
    }
    if (block == nullptr) {
        *ok = false;
        return nullptr;
    }
    void* p = heap_realloc(block, bytes);
    *ok = p != nullptr;
    return p;
}

}  // namespace tarnix
