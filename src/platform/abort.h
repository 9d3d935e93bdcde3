// Stopping an I/O thread's socket calls from another thread. The I/O thread
// publishes the socket its next blocking call waits on; an abort shuts that
// socket down, which wakes a recv, send, connect or poll on it at once, and
// every socket call of the thread fails from then on.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/spinlock.h"

namespace tarnix {

class AbortGate {
public:
    // Any thread: marks the gate aborted and shuts down the published
    // socket. True when this call did it (the gate was neither aborted nor
    // closed before).
    bool abort();

    // The owning thread, before a call that may block on `fd`: false once
    // aborted (the call must not be made).
    bool watch(int fd) {
        if (fd_ == fd) return !aborted();
        return watch_other(fd);
    }
    // The owning thread, before it closes `fd`: a closed number may be reused
    // by anyone, and an abort must never shut down someone else's socket.
    void forget(int fd) {
        if (fd_ == fd) forget_published();
    }
    bool aborted() const { return state_.load(std::memory_order_acquire) == ABORTED; }
    // The owning thread, once its work is done: no later abort takes
    // effect. False when one already did.
    bool close();

private:
    bool watch_other(int fd);
    void forget_published();

    static constexpr uint32_t OPEN = 0, ABORTED = 1, CLOSED = 2;
    SpinLock lock_;
    std::atomic<uint32_t> state_{OPEN};
    int fd_ = -1;  // written by the owner under the lock
};

// The gate of the calling thread's work, consulted by every socket call;
// none by default.
AbortGate* thread_abort_gate();
void set_thread_abort_gate(AbortGate* gate);

// True when a socket call on `fd` may go ahead on this thread.
inline bool socket_call_allowed(int fd) {
    AbortGate* gate = thread_abort_gate();
    return gate == nullptr || gate->watch(fd);
}

}  // namespace tarnix
