// Blocks from the process heap: the engine's memory never depends on which
// C runtime the host process and this module were built with.
#include "platform/heap.h"

#include <windows.h>

namespace tarnix {

void* heap_alloc(size_t n) { return HeapAlloc(GetProcessHeap(), 0, n); }

void* heap_realloc(void* p, size_t n) {
    if (p == nullptr) return heap_alloc(n);
    return HeapReAlloc(GetProcessHeap(), 0, p, n);
}

void heap_free(void* p) {
    if (p != nullptr) HeapFree(GetProcessHeap(), 0, p);
}

size_t heap_usable_size(void* p) {
    if (p == nullptr) return 0;
    SIZE_T n = HeapSize(GetProcessHeap(), 0, p);
    return n == static_cast<SIZE_T>(-1) ? 0 : n;
}

// No block is kept on Windows: the process heap reuses freed blocks itself.
void* large_block_take(size_t, size_t*) { return nullptr; }
void large_block_free(void* p) { heap_free(p); }

}  // namespace tarnix
