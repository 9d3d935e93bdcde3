// Per-origin connection reuse under a connection limit.
#include "http/pool.h"

#include <cstring>
#include <new>

#include "http/idle_check.h"
#include "http/tls_connection.h"
#include "platform/clock.h"
#include "platform/fork.h"
#include "platform/heap.h"
#include "platform/net.h"
#include "platform/wait.h"

namespace tarnix {

namespace {

// Makes room for one more element; called with the pool lock held.
template <typename T>
bool reserve_one(T** arr, size_t len, size_t* cap) {
    if (len < *cap) return true;
    size_t want = grow_capacity(len + 1, sizeof(T));
    if (want <= len || want > SIZE_MAX / sizeof(T)) return false;
    void* block = grow_block(*arr, len * sizeof(T), want * sizeof(T));
    if (block == nullptr) return false;
    *arr = static_cast<T*>(block);
    *cap = want;
    return true;
}

// Every thread of a TLS pool stores the same routine, unlocked.
void install_destroy_tls(Pool* pool) { __atomic_store_n(&pool->destroy_tls, &destroy_tls_connection, __ATOMIC_RELAXED); }

// Called with the lock held once a connection went idle or was dropped: a
// slot may be free now. True when a sleeper should be woken after unlocking.
bool note_slot_freed(Pool* pool) {
    pool->slot_seq.fetch_add(1, std::memory_order_relaxed);
    return pool->slot_waiters != 0;
}

// One connection frees room for one waiter; should it not use it, that
// waiter's own return or discard wakes the next.
void wake_slot_waiter(Pool* pool) { wake_word(&pool->slot_seq, 1); }

void destroy_connection(Pool* pool, Connection& conn) {
    if (pool->use_tls) {
        DestroyTlsFn destroy = __atomic_load_n(&pool->destroy_tls, __ATOMIC_RELAXED);
        if (destroy != nullptr && conn.tls != nullptr) destroy(conn.tls);
        conn.tls = nullptr;
    } else {
        close_plain_connection(conn.plain);
    }
}

size_t& idle_len(Pool* pool) { return pool->use_tls ? pool->idle_tls_len : pool->idle_plain_len; }

// Takes the most recently returned idle connection and when it went idle;
// the lock is held.
bool pop_idle(Pool* pool, Connection* out, uint64_t* since) {
    size_t& len = idle_len(pool);
    if (len == 0) return false;
    --len;
    if (pool->use_tls) {
        out->tls = pool->idle_tls[len];
    } else {
        out->plain = pool->idle_plain[len];
    }
    *since = pool->idle_since[len];
    return true;
}

// Takes the connection that has been idle longest; the lock is held.
void pop_oldest(Pool* pool, Connection* out) {
    size_t& len = idle_len(pool);
    --len;
    if (pool->use_tls) {
        out->tls = pool->idle_tls[0];
        std::memmove(pool->idle_tls, pool->idle_tls + 1, len * sizeof *pool->idle_tls);
    } else {
        out->plain = pool->idle_plain[0];
        std::memmove(pool->idle_plain, pool->idle_plain + 1, len * sizeof *pool->idle_plain);
    }
    std::memmove(pool->idle_since, pool->idle_since + 1, len * sizeof *pool->idle_since);
}

bool expired(Pool* pool, uint64_t since, uint64_t now) {
    const uint64_t expiry = pool->keepalive_expiry_ns.load(std::memory_order_relaxed);
    return now > since && now - since > expiry;
}

// The idle connections a forked child took over from its parent, out of the
// pool: closed unused once the lock is free.
struct Inherited {
    PlainConnection* plain = nullptr;
    size_t plain_len = 0;
    TlsConnection** tls = nullptr;
    size_t tls_len = 0;

    Inherited() = default;
    Inherited(const Inherited&) = delete;
    Inherited& operator=(const Inherited&) = delete;
    // No close_notify and no flush: the parent may still be talking on the
    // same session, and one byte from us would corrupt its stream.
    ~Inherited() {
        for (size_t i = 0; i < plain_len; ++i) close_plain_connection(plain[i]);
        for (size_t i = 0; i < tls_len; ++i) drop_tls_connection(tls[i]);
        heap_free(plain);
        heap_free(tls);
    }
};

// With the lock held: in a forked child, the first look at the pool takes the
// parent's idle connections out and forgets the ones the parent's threads
// were using (those threads do not exist here).
void adopt_after_fork(Pool* pool, Inherited* out) {
    const uint64_t now = fork_generation();
    if (pool->fork_gen == now) return;
    pool->fork_gen = now;
    out->plain = pool->idle_plain;
    out->plain_len = pool->idle_plain_len;
    out->tls = pool->idle_tls;
    out->tls_len = pool->idle_tls_len;
    pool->idle_plain = nullptr;
    pool->idle_plain_len = pool->idle_plain_cap = 0;
    pool->idle_tls = nullptr;
    pool->idle_tls_len = pool->idle_tls_cap = 0;
    pool->open_connections = 0;
    pool->slot_waiters = 0;
}

// Every live pool. A fork waits until no thread holds a pool's lock or its
// CA lock, so the child finds each idle list and bundle whole.
struct LivePools {
    SpinLock lock;
    Pool* head = nullptr;
};

LivePools g_live;

void pools_before_fork() {
    g_live.lock.lock();
    for (Pool* p = g_live.head; p != nullptr; p = p->live_next) {
        p->ca_lock.lock_exclusive();
        p->lock.lock();
    }
}

void pools_in_parent() {
    for (Pool* p = g_live.head; p != nullptr; p = p->live_next) {
        p->lock.unlock();
        p->ca_lock.unlock_exclusive();
    }
    g_live.lock.unlock();
}

// The spin locks are plain words; the CA lock remembers which thread holds
// it, and this thread is not that one in the child.
void pools_in_child() {
    for (Pool* p = g_live.head; p != nullptr; p = p->live_next) {
        p->lock.unlock();
        p->ca_lock.reset_after_fork();
    }
    g_live.lock.unlock();
}

const bool g_pools_fork = on_fork(pools_before_fork, pools_in_parent, pools_in_child);

}  // namespace

Pool* pool_new() {
    void* mem = heap_alloc(sizeof(Pool));
    if (mem == nullptr) return nullptr;
    Pool* pool = new (mem) Pool();
    SpinGuard guard(g_live.lock);
    pool->fork_gen = fork_generation();
    pool->live_next = g_live.head;
    if (g_live.head != nullptr) g_live.head->live_prev = pool;
    g_live.head = pool;
    return pool;
}

void pool_release(Pool* pool) {
    {
        SpinGuard guard(g_live.lock);
        (pool->live_prev != nullptr ? pool->live_prev->live_next : g_live.head) = pool->live_next;
        if (pool->live_next != nullptr) pool->live_next->live_prev = pool->live_prev;
    }
    {
        Inherited inherited;
        pool->lock.lock();
        adopt_after_fork(pool, &inherited);
        pool->lock.unlock();
    }

    for (size_t i = 0; i < pool->idle_plain_len; ++i) close_plain_connection(pool->idle_plain[i]);
    heap_free(pool->idle_plain);
    pool->idle_plain = nullptr;
    pool->idle_plain_len = pool->idle_plain_cap = 0;

    DestroyTlsFn destroy = __atomic_load_n(&pool->destroy_tls, __ATOMIC_RELAXED);
    if (destroy != nullptr)
        for (size_t i = 0; i < pool->idle_tls_len; ++i) destroy(pool->idle_tls[i]);
    heap_free(pool->idle_tls);
    pool->idle_tls = nullptr;
    pool->idle_tls_len = pool->idle_tls_cap = 0;
    heap_free(pool->idle_since);
    pool->idle_since = nullptr;
    pool->idle_since_cap = 0;

    // Members go in reverse order of declaration: the CA bundle, then the
    // path copy, then the host copy.
    pool->~Pool();
    heap_free(pool);
}

ErrorKind acquire_connection(Pool* pool, Connection* out, bool* fresh, bool new_only) {
    *out = Connection{};
    const bool tls = pool->use_tls != 0;
    if (tls) install_destroy_tls(pool);

    // Closed on the way out, with the lock free.
    Inherited inherited;
    uint64_t now = 0;
    pool->lock.lock();
    adopt_after_fork(pool, &inherited);
    for (;;) {
        Connection idle;
        uint64_t since = 0;
        if (!new_only && pop_idle(pool, &idle, &since)) {
            pool->lock.unlock();
            if (now == 0) now = steady_clock_ns();
            // Past its expiry the server may be closing it right now.
            if (!expired(pool, since, now) && connection_still_usable(pool->use_tls, idle)) {
                *out = idle;
                *fresh = false;
                return ErrorKind::None;
            }
            // Closed by the peer, or carrying bytes that would be read as the
            // answer to our request: never write to it.
            discard_connection(pool, idle);
            pool->lock.lock();
            continue;
        }
        if (pool->open_connections < pool->max_connections) {
            ++pool->open_connections;
            pool->lock.unlock();
            break;
        }
        if (new_only && pop_idle(pool, &idle, &since)) {
            // Its slot passes to the new connection; the count stays.
            pool->lock.unlock();
            destroy_connection(pool, idle);
            break;
        }
        // At the limit: sleep until another job gives a connection back or
        // drops one. The sequence is read under the lock, so a change made
        // after the unlock makes the wait return at once.
        const uint32_t seen = pool->slot_seq.load(std::memory_order_relaxed);
        ++pool->slot_waiters;
        pool->lock.unlock();
        wait_on_word(&pool->slot_seq, seen);
        pool->lock.lock();
        --pool->slot_waiters;
    }

    ErrorKind err = tls ? open_tls_connection(pool, &out->tls) : open_stream(pool, &out->plain.stream);
    if (err != ErrorKind::None) {
        pool->lock.lock();
        --pool->open_connections;
        const bool wake = note_slot_freed(pool);
        pool->lock.unlock();
        if (wake) wake_slot_waiter(pool);
        *out = Connection{};
        return err;
    }
    *fresh = true;
    return ErrorKind::None;
}

void return_connection(Pool* pool, Connection& conn) {
    const uint64_t now = steady_clock_ns();
    pool->lock.lock();
    const size_t len = idle_len(pool);
    bool kept = reserve_one(&pool->idle_since, len, &pool->idle_since_cap);
    if (kept && pool->use_tls) {
        kept = reserve_one(&pool->idle_tls, pool->idle_tls_len, &pool->idle_tls_cap);
        if (kept) pool->idle_tls[pool->idle_tls_len++] = conn.tls;
    } else if (kept) {
        kept = reserve_one(&pool->idle_plain, pool->idle_plain_len, &pool->idle_plain_cap);
        if (kept) pool->idle_plain[pool->idle_plain_len++] = conn.plain;
    }
    if (kept) pool->idle_since[len] = now;
    if (kept) {
        const bool wake = note_slot_freed(pool);
        pool->lock.unlock();
        if (wake) wake_slot_waiter(pool);
        conn = Connection{};
        return;
    }
    --pool->open_connections;
    const bool wake = note_slot_freed(pool);
    pool->lock.unlock();
    if (wake) wake_slot_waiter(pool);
    destroy_connection(pool, conn);
}

void discard_connection(Pool* pool, Connection& conn) {
    pool->lock.lock();
    --pool->open_connections;
    const bool wake = note_slot_freed(pool);
    pool->lock.unlock();
    if (wake) wake_slot_waiter(pool);
    destroy_connection(pool, conn);
}

void pool_trim(Pool* pool, uint64_t now_ns, size_t keep, PoolIdleInfo* out) {
    const bool tls = pool->use_tls != 0;
    Inherited inherited;
    pool->lock.lock();
    adopt_after_fork(pool, &inherited);
    // One at a time, so the lock is never held while a connection closes.
    for (;;) {
        const size_t len = idle_len(pool);
        if (len == 0 || (len <= keep && !expired(pool, pool->idle_since[0], now_ns))) break;
        Connection victim;
        pop_oldest(pool, &victim);
        --pool->open_connections;
        const bool wake = note_slot_freed(pool);
        pool->lock.unlock();
        if (wake) wake_slot_waiter(pool);
        // A close_notify the socket cannot take at once is not waited for.
        if (tls && victim.tls != nullptr) socket_set_nonblocking(tls_connection_socket(victim.tls));
        destroy_connection(pool, victim);
        pool->lock.lock();
    }
    out->idle = idle_len(pool);
    out->open = pool->open_connections;
    out->oldest_age_ns = out->idle != 0 && now_ns > pool->idle_since[0] ? now_ns - pool->idle_since[0] : 0;
    pool->lock.unlock();
}

}  // namespace tarnix
