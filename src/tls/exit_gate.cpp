#include "tls/exit_gate.h"

#include <atomic>
#include <cstdlib>

#include <openssl/crypto.h>

#include "platform/fork.h"
#include "platform/thread.h"

namespace tarnix {
namespace {

// `g_running` counts threads running library code. A thread increments it
// before it reads `g_closed`; the exit handler sets `g_closed` before it
// reads the count. Both sides are sequentially consistent, so either the
// thread sees the gate closed or the handler sees the thread and waits.
std::atomic<bool> g_closed{false};
std::atomic<int> g_running{0};
// Set while a fork waits for every thread to leave library code: the child
// must not inherit a lock of the library that one of them held.
std::atomic<bool> g_forking{false};
// Nesting depth on this thread: only the outermost scope counts.
thread_local int t_depth = 0;

constexpr unsigned kTickUs = 200;

bool enter() {
    for (;;) {
        g_running.fetch_add(1, std::memory_order_seq_cst);
        if (g_closed.load(std::memory_order_seq_cst)) {
            g_running.fetch_sub(1, std::memory_order_seq_cst);
            return false;
        }
        if (!g_forking.load(std::memory_order_seq_cst)) return true;
        g_running.fetch_sub(1, std::memory_order_seq_cst);
        while (g_forking.load(std::memory_order_seq_cst)) sleep_microseconds(kTickUs);
    }
}

void leave() { g_running.fetch_sub(1, std::memory_order_seq_cst); }

void close_gate() {
    g_closed.store(true, std::memory_order_seq_cst);
    // Threads inside are computing (a handshake's checks, a record's
    // decryption) and leave or reach their next I/O shortly.
    while (g_running.load(std::memory_order_seq_cst) != 0) sleep_microseconds(kTickUs);
}

// Threads inside are computing and leave shortly; those waiting on the
// network are not counted, and hold no lock of the library meanwhile.
void wait_before_fork() {
    g_forking.store(true, std::memory_order_seq_cst);
    while (g_running.load(std::memory_order_seq_cst) != 0) sleep_microseconds(kTickUs);
}

void open_after_fork() { g_forking.store(false, std::memory_order_seq_cst); }

// A forked child has none of the parent's threads but a copy of their count.
void reset_in_child() {
    g_running.store(0, std::memory_order_relaxed);
    t_depth = 0;
    open_after_fork();
}

OnceFlag g_install_once;

void install_once() {
    on_fork(wait_before_fork, open_after_fork, reset_in_child);
    std::atexit(close_gate);
}

}  // namespace

void tls_gate_install() { g_install_once.run(install_once); }

TlsGate::TlsGate() {
    open_ = t_depth != 0 || enter();
    if (open_) ++t_depth;
}

TlsGate::~TlsGate() {
    if (open_ && --t_depth == 0) leave();
}

void pause_tls_code() {
    if (t_depth != 0) leave();
}

void resume_tls_code() {
    if (t_depth != 0 && !enter()) park_thread_forever();
}

void tls_thread_end() {
    {
        TlsGate gate;
        if (gate.open()) {
            OPENSSL_thread_stop();
            return;
        }
    }
    park_thread_forever();
}

}  // namespace tarnix
