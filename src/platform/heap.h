// Process heap and the growth rule shared by every growable array.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace tarnix {

inline void* heap_alloc(size_t n) { return std::malloc(n); }
inline void* heap_realloc(void* p, size_t n) { return std::realloc(p, n); }
inline void heap_free(void* p) { std::free(p); }
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

}  // namespace tarnix
