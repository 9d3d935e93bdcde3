// The per-origin pool record and its connection reuse under a limit.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "http/connection.h"
#include "http/error.h"
#include "http/via.h"
#include "platform/bytes.h"
#include "platform/rwlock.h"
#include "platform/spinlock.h"
#include "tls/ca_bundle.h"
#include "tls/client_cert.h"

namespace tarnix {

struct TlsConnection;
using DestroyTlsFn = void (*)(TlsConnection*);

struct Pool {
    OwnedBytes host;
    OwnedBytes ca_path;
    CaBundle ca_bundle;
    RwLock ca_lock;
    PlainConnection* idle_plain = nullptr;
    size_t idle_plain_len = 0;
    size_t idle_plain_cap = 0;
    TlsConnection** idle_tls = nullptr;
    size_t idle_tls_len = 0;
    size_t idle_tls_cap = 0;
    DestroyTlsFn destroy_tls = nullptr;
    uint32_t max_connections = 1;
    uint32_t reserved_a = 0;
    uint32_t reserved_b = 0;
    uint32_t open_connections = 0;
    uint16_t port = 0;
    uint8_t use_tls = 0;
    uint8_t reserved_flag = 0;
    SpinLock lock;
    // Set before the pool is shared; never changes.
    Via via;
    // Threads waiting for a free slot sleep on slot_seq, which moves on (under
    // the lock) whenever a connection is returned or dropped.
    std::atomic<uint32_t> slot_seq{0};
    uint32_t slot_waiters = 0;  // under the lock
    // The process generation the connections belong to (under the lock). In
    // a forked child the idle ones are the parent's: their sockets and TLS
    // sessions are shared with it, so the child closes its copies unused.
    uint64_t fork_gen = 0;
    // Every live pool, so that a fork can wait until none of their locks is held.
    Pool* live_prev = nullptr;
    Pool* live_next = nullptr;
    // Shown to servers that ask for one; set before the pool's first job.
    ClientCertPtr client_cert;
    // When each idle connection went idle (steady clock), in step with the
    // idle list in use, so oldest first (under the lock).
    uint64_t* idle_since = nullptr;
    size_t idle_since_cap = 0;
    // An idle connection older than this is closed, never reused.
    std::atomic<uint64_t> keepalive_expiry_ns{NO_EXPIRY};
    static constexpr uint64_t NO_EXPIRY = UINT64_MAX;
};

// A connection held by a job: exactly one of the two is set.
struct Connection {
    PlainConnection plain;
    TlsConnection* tls = nullptr;
};

// Newly allocated, empty pool (heap); nullptr when memory runs out.
Pool* pool_new();
// Closes every idle connection and frees the record (no job of the pool may
// still run). In a forked child the parent's connections are closed without
// a byte written to them.
void pool_release(Pool* pool);

// Most recently returned idle connection, or a new one while below the
// limit; at the limit sleeps until a connection of the pool is returned or
// dropped, then tries again, without bound. An idle connection on which
// something arrived while it sat unused (the peer's close, bytes nobody asked
// for) is dropped unused and the next one is tried. With `new_only`, idle
// connections are passed over; at the limit one of them is closed to make
// room for the new one.
ErrorKind acquire_connection(Pool* pool, Connection* out, bool* fresh, bool new_only = false);
// The exchange succeeded and the response allows reuse.
void return_connection(Pool* pool, Connection& conn);
void discard_connection(Pool* pool, Connection& conn);

struct PoolIdleInfo {
    size_t idle = 0;            // idle connections left
    uint32_t open = 0;          // idle ones plus those jobs hold or are opening
    uint64_t oldest_age_ns = 0; // how long the oldest idle one has sat (0: none)
};
// Closes the idle connections past the pool's keepalive expiry at `now_ns`
// (steady clock), then the oldest ones until at most `keep` stay, and reports
// what is left. Closing never waits on the network: a TLS connection's
// close_notify is sent only if the socket takes it at once.
void pool_trim(Pool* pool, uint64_t now_ns, size_t keep, PoolIdleInfo* out);

}  // namespace tarnix
