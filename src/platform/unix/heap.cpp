// The C library's heap, and the cache of large freed blocks kept for the
// next large buffer.
#include "platform/heap.h"

#include <malloc.h>

#include "platform/fork.h"
#include "platform/spinlock.h"

namespace tarnix {

size_t heap_usable_size(void* p) { return p ? malloc_usable_size(p) : 0; }

namespace {

// At most a few blocks and a bounded total, so that one burst of large
// downloads does not pin its peak for the life of the process.
constexpr size_t KEPT_BLOCKS = 8;
constexpr size_t KEPT_BYTES = size_t(32) << 20;
constexpr size_t KEPT_MAX_BLOCK = size_t(16) << 20;

struct KeptBlock {
    void* ptr;
    size_t size;
};

struct LargeCache {
    SpinLock lock;
    KeptBlock blocks[KEPT_BLOCKS];
    size_t count = 0;
    size_t bytes = 0;
};

LargeCache g_large;

// A fork while another thread holds the lock must not leave it held in the child.
void large_fork_prepare() { g_large.lock.lock(); }
void large_fork_release() { g_large.lock.unlock(); }
const bool g_large_atfork = on_fork_leaf(large_fork_prepare, large_fork_release, large_fork_release);

}  // namespace

void* large_block_take(size_t need, size_t* usable) {
    SpinGuard guard(g_large.lock);
    size_t best = KEPT_BLOCKS;
    for (size_t i = 0; i < g_large.count; ++i)
        if (g_large.blocks[i].size >= need && (best == KEPT_BLOCKS || g_large.blocks[i].size < g_large.blocks[best].size))
            best = i;
    if (best == KEPT_BLOCKS) return nullptr;
    KeptBlock b = g_large.blocks[best];
    g_large.blocks[best] = g_large.blocks[--g_large.count];
    g_large.bytes -= b.size;
    *usable = b.size;
    return b.ptr;
}

void large_block_free(void* p) {
    if (p == nullptr) return;
    const size_t size = malloc_usable_size(p);
    if (size >= LARGE_BLOCK && size <= KEPT_MAX_BLOCK) {
        SpinGuard guard(g_large.lock);
        if (g_large.count < KEPT_BLOCKS && g_large.bytes + size <= KEPT_BYTES) {
            g_large.blocks[g_large.count++] = KeptBlock{p, size};
            g_large.bytes += size;
            return;
        }
    }
    heap_free(p);
}

}  // namespace tarnix
