// Process heap and the growth rule shared by every growable array.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace tarnix {

#ifdef _WIN32
// The process heap (HeapAlloc), whichever C runtime the host process uses.
void* heap_alloc(size_t n);
void* heap_realloc(void* p, size_t n);
void heap_free(void* p);
#else
inline void* heap_alloc(size_t n) { return std::malloc(n); }
inline void* heap_realloc(void* p, size_t n) { return std::realloc(p, n); }
inline void heap_free(void* p) { std::free(p); }
#endif
size_t heap_usable_size(void* p);

// Capacity (in elements) for an array that must hold `need` elements of
// `elem_size` bytes: need + need/2 + max(1, 128/elem_size), saturating.
size_t grow_capacity(size_t need, size_t elem_size);

// Makes `block` (holding `used` live bytes) at least `bytes` large. Keeps the
// block when its usable size already suffices, else reallocates, else
// allocates a new block, copies and frees the old one. Returns the block to
// use from now on, or nullptr on failure (the old block is then untouched).
void* grow_block(void* block, size_t used, size_t bytes);

// Shrinks a block to exactly `bytes` (0 frees it and yields nullptr).
// Returns nullptr on failure with the old block untouched; `ok` tells the
// two nullptr cases apart.
void* trim_block(void* block, size_t bytes, bool* ok);

// Blocks of this size or more (captured bodies) are kept when freed and handed
// to the next large buffer: a fresh block costs a page fault for every 4 KiB
// written to it and a munmap when freed, which is most of the cost of a
// download.
constexpr size_t LARGE_BLOCK = size_t(256) << 10;

// A kept block of at least `need` usable bytes (its usable size in
// `*usable`), or nullptr when none fits.
void* large_block_take(size_t need, size_t* usable);

// Frees `p`, or keeps it for reuse when it is large and the cache has room.
void large_block_free(void* p);

}  // namespace tarnix
