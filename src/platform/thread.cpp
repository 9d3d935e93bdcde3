// Detached threads with a large stack, and the processor yield.
#include "platform/thread.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include "platform/heap.h"

namespace tarnix {

namespace {

enum : uint8_t { STATE_RUNNING = 0, STATE_DETACHED = 1, STATE_FINISHED = 2 };

// Shared by the spawner and the thread; whichever of the two finishes with it
// second frees it, so neither has to wait for the other.
struct ThreadBlock {
    void (*fn)(void*);
    void* arg;
    pthread_t handle;
    std::atomic<uint8_t> state;
};

void free_block(ThreadBlock* b) {
    b->~ThreadBlock();
    heap_free(b);
}

void* thread_main(void* p) {
    ThreadBlock* b = static_cast<ThreadBlock*>(p);
    b->fn(b->arg);
    if (b->state.exchange(STATE_FINISHED, std::memory_order_acq_rel) == STATE_DETACHED) free_block(b);
    return nullptr;
}

}  // namespace

bool spawn_detached_thread(void (*fn)(void*), void* arg) {
    void* mem = heap_alloc(sizeof(ThreadBlock));
    if (mem == nullptr) return false;
    ThreadBlock* b = new (mem) ThreadBlock{fn, arg, pthread_t{}, {STATE_RUNNING}};

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        free_block(b);
        return false;
    }
    int rc = pthread_attr_setstacksize(&attr, IO_THREAD_STACK_SIZE);
    // The thread inherits the creator's signal mask: block the asynchronous
    // signals so they keep going to the interpreter's threads and never
    // interrupt our blocking calls. Faults stay deliverable.
    sigset_t all, old;
    sigfillset(&all);
    static const int kFaults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};
    for (int s : kFaults) sigdelset(&all, s);
    pthread_t handle{};
    if (rc == 0) {
        pthread_sigmask(SIG_SETMASK, &all, &old);
        rc = pthread_create(&handle, &attr, thread_main, b);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free_block(b);
        return false;
    }
    // The thread never reads the handle, so it is written only here.
    b->handle = handle;
    pthread_detach(b->handle);
    if (b->state.exchange(STATE_DETACHED, std::memory_order_acq_rel) == STATE_FINISHED) free_block(b);
    return true;
}

void yield_processor() { sched_yield(); }

}  // namespace tarnix
