// Detached I/O threads and the processor yield used while waiting for a slot.
#pragma once

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

// Pause hint for spin loops.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace tarnix
