// Detached threads with a large stack, the processor yield, and the mutex,
// once-only call and sleeps over POSIX threads.
#include "platform/thread.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/fork.h"
#include "platform/heap.h"
#include "platform/spinlock.h"

// The stack cache has each thread hand the kernel a clear-on-exit word of
// ours in place of the C library's. glibc's word only tells a joiner, or its
// own stack cache (which stacks we supply never enter), that the thread has
// gone; musl also waits on it for its thread-list lock, and the next thread
// creation would block forever. Elsewhere every thread gets a stack of its
// own from the C library.
#ifndef TARNIX_STACK_CACHE
#if defined(__GLIBC__)
#define TARNIX_STACK_CACHE 1
#else
#define TARNIX_STACK_CACHE 0
#endif
#endif

namespace tarnix {

namespace {

std::atomic<bool> g_plain_only{false};

// Every I/O thread starts with the asynchronous signals blocked so they keep
// going to the interpreter's threads and never interrupt our blocking calls.
// Faults stay deliverable.
int create_thread(pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    sigset_t all;
    sigfillset(&all);
    static const int kFaults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};
    for (int s : kFaults) sigdelset(&all, s);
    pthread_t handle{};
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    int rc = pthread_attr_setsigmask_np(attr, &all);
    if (rc == 0) rc = pthread_create(&handle, attr, start, arg);
    return rc;
#else
    sigset_t old;
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int rc = pthread_create(&handle, attr, start, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
#endif
}

struct PlainStart {
    void (*fn)(void*);
    void* arg;
};

void* plain_main(void* p) {
    PlainStart start = *static_cast<PlainStart*>(p);
    heap_free(p);
    start.fn(start.arg);
    return nullptr;
}

bool spawn_plain_thread(void (*fn)(void*), void* arg) {
    auto* start = static_cast<PlainStart*>(heap_alloc(sizeof(PlainStart)));
    if (start == nullptr) return false;
    *start = PlainStart{fn, arg};
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        heap_free(start);
        return false;
    }
    int rc = pthread_attr_setstacksize(&attr, IO_THREAD_STACK_SIZE);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = create_thread(&attr, plain_main, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) heap_free(start);
    return rc == 0;
}

}  // namespace

void use_plain_threads(bool on) { g_plain_only.store(on, std::memory_order_relaxed); }

#if TARNIX_STACK_CACHE

namespace {

enum : uint8_t { STATE_RUNNING = 0, STATE_DETACHED = 1, STATE_FINISHED = 2 };

// One mapped stack: a guard page at the low end, then the usable stack.
struct StackSlot {
    uint8_t* base;
    // Non-zero while a thread may still run on the stack. The thread hands
    // this word to the kernel as its clear-on-exit address, so the kernel
    // zeroes it once the thread has left and no longer touches the stack:
    // no system call is needed to learn that the stack is free.
    std::atomic<int32_t> busy;
    StackSlot* next;
};

// Shared by the spawner and the thread; whichever of the two finishes with it
// second frees it, so neither has to wait for the other.
struct ThreadBlock {
    void (*fn)(void*);
    void* arg;
    StackSlot* stack;
    std::atomic<uint8_t> state;
};

// Stacks are kept and handed to later threads ourselves: the C library
// caches only 40 MiB of stacks, fewer than three of ours, and every stack it
// maps and unmaps costs system calls, page faults and TLB shootdowns on
// every processor. A thread's stack is parked when its function returns and
// taken again only once its busy word is clear, because the thread still runs
// on it while it exits.
constexpr size_t MAX_PARKED_STACKS = 64;

struct StackCache {
    SpinLock lock;
    StackSlot* head = nullptr;  // parked stacks, oldest first
    StackSlot* tail = nullptr;
    size_t parked = 0;
    size_t guard = 0;
};

StackCache g_stacks;
pthread_once_t g_stacks_once = PTHREAD_ONCE_INIT;

void fork_prepare() { g_stacks.lock.lock(); }
void fork_parent() { g_stacks.lock.unlock(); }
// The child has none of the parent's threads, so every parked stack is free.
void fork_child() {
    for (StackSlot* s = g_stacks.head; s != nullptr; s = s->next) s->busy.store(0, std::memory_order_relaxed);
    g_stacks.lock.unlock();
}

void init_stacks() {
    long page = sysconf(_SC_PAGESIZE);
    g_stacks.guard = page > 0 ? size_t(page) : 4096;
    on_fork_leaf(fork_prepare, fork_parent, fork_child);
}

bool stack_free(const StackSlot* s) { return s->busy.load(std::memory_order_acquire) == 0; }

StackSlot* map_stack() {
    auto* slot = static_cast<StackSlot*>(heap_alloc(sizeof(StackSlot)));
    if (slot == nullptr) return nullptr;
    const size_t total = IO_THREAD_STACK_SIZE + g_stacks.guard;
    void* mem = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mem == MAP_FAILED) {
        heap_free(slot);
        return nullptr;
    }
    auto* base = static_cast<uint8_t*>(mem);
    if (mprotect(base + g_stacks.guard, IO_THREAD_STACK_SIZE, PROT_READ | PROT_WRITE) != 0) {
        munmap(mem, total);
        heap_free(slot);
        return nullptr;
    }
    new (slot) StackSlot{base, {0}, nullptr};
    return slot;
}

void unmap_stack(StackSlot* slot) {
    munmap(slot->base, IO_THREAD_STACK_SIZE + g_stacks.guard);
    slot->~StackSlot();
    heap_free(slot);
}

// Unlinks the first free stack after `prev` (the head when nullptr). Lock held.
StackSlot* unlink_free_after(StackSlot* prev) {
    StackSlot* s = prev != nullptr ? prev->next : g_stacks.head;
    for (; s != nullptr; prev = s, s = s->next) {
        if (!stack_free(s)) continue;
        (prev != nullptr ? prev->next : g_stacks.head) = s->next;
        if (g_stacks.tail == s) g_stacks.tail = prev;
        --g_stacks.parked;
        s->next = nullptr;
        return s;
    }
    return nullptr;
}

// The oldest parked stack whose thread has left, else a new one. A thread
// that is slow to leave only keeps its own stack out of use.
StackSlot* take_stack() {
    g_stacks.lock.lock();
    StackSlot* s = unlink_free_after(nullptr);
    g_stacks.lock.unlock();
    return s != nullptr ? s : map_stack();
}

// Parks a finished thread's stack; past the cap, free stacks go back to the
// system (the oldest first) until the cap holds or none is free.
void park_stack(StackSlot* s) {
    StackSlot* excess[4];
    size_t n = 0;
    g_stacks.lock.lock();
    s->next = nullptr;
    if (g_stacks.tail != nullptr)
        g_stacks.tail->next = s;
    else
        g_stacks.head = s;
    g_stacks.tail = s;
    ++g_stacks.parked;
    while (g_stacks.parked > MAX_PARKED_STACKS && n < 4) {
        StackSlot* old = unlink_free_after(nullptr);
        if (old == nullptr) break;
        excess[n++] = old;
    }
    g_stacks.lock.unlock();
    // munmap is slow; never under the lock.
    for (size_t i = 0; i < n; ++i) unmap_stack(excess[i]);
}

void free_block(ThreadBlock* b) {
    b->~ThreadBlock();
    heap_free(b);
}

void* thread_main(void* p) {
    ThreadBlock* b = static_cast<ThreadBlock*>(p);
    StackSlot* stack = b->stack;
    // From here the kernel clears the stack's busy word when this thread
    // has left. The C library's own clear-on-exit word is then never
    // cleared; nothing waits on it, as the thread is detached.
    stack->busy.store(static_cast<int32_t>(syscall(SYS_set_tid_address, &stack->busy)),
                      std::memory_order_relaxed);
    b->fn(b->arg);
    if (b->state.exchange(STATE_FINISHED, std::memory_order_acq_rel) == STATE_DETACHED) free_block(b);
    park_stack(stack);
    return nullptr;
}

bool spawn_cached_thread(void (*fn)(void*), void* arg) {
    pthread_once(&g_stacks_once, init_stacks);
    void* mem = heap_alloc(sizeof(ThreadBlock));
    if (mem == nullptr) return false;
    StackSlot* stack = take_stack();
    if (stack == nullptr) {
        heap_free(mem);
        return false;
    }
    ThreadBlock* b = new (mem) ThreadBlock{fn, arg, stack, {STATE_RUNNING}};
    // Busy until the new thread has left; the thread itself arranges the clear.
    stack->busy.store(-1, std::memory_order_relaxed);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        free_block(b);
        unmap_stack(stack);
        return false;
    }
    // Created detached: nobody touches the thread's handle afterwards, since
    // its descriptor lives on a stack that may already serve another thread.
    int rc = pthread_attr_setstack(&attr, stack->base + g_stacks.guard, IO_THREAD_STACK_SIZE);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = create_thread(&attr, thread_main, b);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // The stack never ran a thread: straight back to the cache.
        free_block(b);
        stack->busy.store(0, std::memory_order_release);
        park_stack(stack);
        return false;
    }
    if (b->state.exchange(STATE_DETACHED, std::memory_order_acq_rel) == STATE_FINISHED) free_block(b);
    return true;
}

}  // namespace

bool spawn_detached_thread(void (*fn)(void*), void* arg) {
    if (g_plain_only.load(std::memory_order_relaxed)) return spawn_plain_thread(fn, arg);
    return spawn_cached_thread(fn, arg);
}

#else

bool spawn_detached_thread(void (*fn)(void*), void* arg) { return spawn_plain_thread(fn, arg); }

#endif

void yield_processor() { sched_yield(); }

void sleep_microseconds(unsigned us) {
    const timespec t{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    nanosleep(&t, nullptr);
}

void park_thread_forever() {
    for (;;) pause();
}

void Mutex::lock() { pthread_mutex_lock(&m_); }
void Mutex::unlock() { pthread_mutex_unlock(&m_); }
void Mutex::reset_after_fork() { pthread_mutex_init(&m_, nullptr); }

void OnceFlag::run(void (*fn)()) { pthread_once(&once_, fn); }

}  // namespace tarnix
