#include "platform/abort.h"

#include "platform/net.h"

namespace tarnix {

namespace {
thread_local AbortGate* t_gate = nullptr;
}  // namespace

AbortGate* thread_abort_gate() { return t_gate; }
void set_thread_abort_gate(AbortGate* gate) { t_gate = gate; }

bool AbortGate::abort() {
    SpinGuard guard(lock_);
    if (state_.load(std::memory_order_relaxed) != OPEN) return false;
    state_.store(ABORTED, std::memory_order_release);
    // Under the lock: the owner cannot close and reuse the number meanwhile.
    if (fd_ >= 0) socket_shutdown(fd_);
    return true;
}

bool AbortGate::watch_other(int fd) {
    SpinGuard guard(lock_);
    uint32_t state = state_.load(std::memory_order_relaxed);
    // A closed gate no longer publishes anything: no abort will look.
    if (state == OPEN) fd_ = fd;
    return state != ABORTED;
}

void AbortGate::forget_published() {
    SpinGuard guard(lock_);
    fd_ = -1;
}

bool AbortGate::close() {
    SpinGuard guard(lock_);
    fd_ = -1;
    if (state_.load(std::memory_order_relaxed) != OPEN) return state_.load(std::memory_order_relaxed) == CLOSED;
    state_.store(CLOSED, std::memory_order_release);
    return true;
}

}  // namespace tarnix
