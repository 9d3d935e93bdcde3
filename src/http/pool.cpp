// Per-origin connection reuse under a connection limit.
#include "http/pool.h"

#include <new>

#include "http/tls_connection.h"
#include "platform/heap.h"
#include "platform/thread.h"

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

void destroy_connection(Pool* pool, Connection& conn) {
    if (pool->use_tls) {
        DestroyTlsFn destroy = __atomic_load_n(&pool->destroy_tls, __ATOMIC_RELAXED);
        if (destroy != nullptr && conn.tls != nullptr) destroy(conn.tls);
        conn.tls = nullptr;
    } else {
        close_plain_connection(conn.plain);
    }
}

}  // namespace

Pool* pool_new() {
    void* mem = heap_alloc(sizeof(Pool));
    if (mem == nullptr) return nullptr;
    return new (mem) Pool();
}

void pool_release(Pool* pool) {
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

    // Members go in reverse order of declaration: the CA bundle, then the
    // path copy, then the host copy.
    pool->~Pool();
    heap_free(pool);
}

ErrorKind acquire_connection(Pool* pool, Connection* out, bool* fresh) {
    *out = Connection{};
    const bool tls = pool->use_tls != 0;
    if (tls) install_destroy_tls(pool);

    for (;;) {
        pool->lock.lock();
        if (tls && pool->idle_tls_len > 0) {
            out->tls = pool->idle_tls[--pool->idle_tls_len];
            pool->lock.unlock();
            *fresh = false;
            return ErrorKind::None;
        }
        if (!tls && pool->idle_plain_len > 0) {
            out->plain = pool->idle_plain[--pool->idle_plain_len];
            pool->lock.unlock();
            *fresh = false;
            return ErrorKind::None;
        }
        if (pool->open_connections < pool->max_connections) {
            ++pool->open_connections;
            pool->lock.unlock();
            break;
        }
        // At the limit: wait for another job to give a connection back.
        pool->lock.unlock();
        yield_processor();
    }

    ErrorKind err = tls ? open_tls_connection(pool, &out->tls) : connect_host(pool->host.slice(), pool->port, &out->plain.stream);
    if (err != ErrorKind::None) {
        pool->lock.lock();
        --pool->open_connections;
        pool->lock.unlock();
        *out = Connection{};
        return err;
    }
    *fresh = true;
    return ErrorKind::None;
}

void return_connection(Pool* pool, Connection& conn) {
    pool->lock.lock();
    bool kept;
    if (pool->use_tls) {
        kept = reserve_one(&pool->idle_tls, pool->idle_tls_len, &pool->idle_tls_cap);
        if (kept) pool->idle_tls[pool->idle_tls_len++] = conn.tls;
    } else {
        kept = reserve_one(&pool->idle_plain, pool->idle_plain_len, &pool->idle_plain_cap);
        if (kept) pool->idle_plain[pool->idle_plain_len++] = conn.plain;
    }
    if (kept) {
        pool->lock.unlock();
        conn = Connection{};
        return;
    }
    --pool->open_connections;
    pool->lock.unlock();
    destroy_connection(pool, conn);
}

void discard_connection(Pool* pool, Connection& conn) {
    pool->lock.lock();
    --pool->open_connections;
    pool->lock.unlock();
    destroy_connection(pool, conn);
}

}  // namespace tarnix
