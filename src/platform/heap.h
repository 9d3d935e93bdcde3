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

// Hint that the `n` bytes at `p` are about to be written: maps their whole
// pages in one call instead of one page fault per page. Contents are left as
// they are; small ranges and failures are ignored.
void heap_prefault(void* p, size_t n);

}  // namespace tarnix
