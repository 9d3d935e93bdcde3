#include "platform/heap.h"

#include <cstring>
#ifndef _WIN32
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tarnix {

#ifndef _WIN32
size_t heap_usable_size(void* p) { return p ? malloc_usable_size(p) : 0; }
#endif

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

#ifndef _WIN32
void heap_prefault(void* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
    // Below this a fresh block is cheap to fault in page by page.
    constexpr size_t MIN_RANGE = size_t(64) << 10;
    static const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    if (n < MIN_RANGE || page == 0 || (page & (page - 1)) != 0) return;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
    if (end <= begin) return;
    // Only whole pages inside the block; an older kernel's EINVAL is harmless.
    (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
}
#endif

}  // namespace tarnix
