// Detached I/O threads, the processor yield used while waiting for a slot,
// and the few blocking primitives the layers above need: a mutex, a
// once-only call, a short sleep and a thread that parks for good.
#pragma once
#ifndef _WIN32
#include <pthread.h>
#endif

namespace tarnix {

constexpr unsigned long IO_THREAD_STACK_SIZE = 16UL * 1024 * 1024;

// Starts fn(arg) on a new detached thread with a 16 MiB stack. False when the
// thread cannot be created (nothing is left allocated and fn never runs).
bool spawn_detached_thread(void (*fn)(void*), void* arg);

// Every later thread gets a fresh stack from the C library instead of a
// reused one: the only path where stack reuse is not known to be safe, kept
// exercised by the tests everywhere.
void use_plain_threads(bool on);

// Gives up the processor once.
void yield_processor();

// Sleeps this thread for about `us` microseconds.
void sleep_microseconds(unsigned us);

// Never returns: the thread sleeps until the process ends.
[[noreturn]] void park_thread_forever();

// A plain mutex for long critical sections (parsing a file, say); statically
// initialised, so usable from any static initialiser.
class Mutex {
public:
    constexpr Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();
    // In a forked child, with no other thread left: free again, whatever the
    // parent's threads held.
    void reset_after_fork();

private:
#ifdef _WIN32
    void* srw_ = nullptr;  // an SRWLOCK: one pointer, all zero when free
#else
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

class MutexGuard {
public:
    explicit MutexGuard(Mutex& m) : m_(m) { m_.lock(); }
    ~MutexGuard() { m_.unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    Mutex& m_;
};

// Runs a function once per process: the first caller runs it, any other
// waits until it has returned.
class OnceFlag {
public:
    constexpr OnceFlag() = default;
    OnceFlag(const OnceFlag&) = delete;
    OnceFlag& operator=(const OnceFlag&) = delete;
    void run(void (*fn)());

private:
#ifdef _WIN32
    void* once_ = nullptr;  // an INIT_ONCE, all zero before the call
#else
    pthread_once_t once_ = PTHREAD_ONCE_INIT;
#endif
};

// Pause hint for spin loops.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace tarnix
