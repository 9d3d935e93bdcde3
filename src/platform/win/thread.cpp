// Detached threads with a 16 MiB stack reservation, the processor yield, and
// the mutex, once-only call and sleeps over the Windows primitives.
#include "platform/thread.h"

#include <windows.h>

#include "platform/heap.h"

namespace tarnix {

namespace {

// Handed to the new thread, which owns it from then on.
struct ThreadStart {
    void (*fn)(void*);
    void* arg;
};

DWORD WINAPI thread_main(LPVOID p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    heap_free(p);
    start.fn(start.arg);
    return 0;
}

}  // namespace

bool spawn_detached_thread(void (*fn)(void*), void* arg) {
    auto* start = static_cast<ThreadStart*>(heap_alloc(sizeof(ThreadStart)));
    if (start == nullptr) return false;
    *start = ThreadStart{fn, arg};
    // Only address space is reserved; pages are committed as the stack grows.
    HANDLE h = CreateThread(nullptr, IO_THREAD_STACK_SIZE, thread_main, start, STACK_SIZE_PARAM_IS_A_RESERVATION,
                            nullptr);
    if (h == nullptr) {
        heap_free(start);
        return false;
    }
    // Nobody waits for the thread: closing the handle detaches it.
    CloseHandle(h);
    return true;
}

// Every thread already has a stack of its own here.
void use_plain_threads(bool) {}

// Not searched here: callers keep to the runtime's own per-thread calls.

void yield_processor() { SwitchToThread(); }

// The timer's resolution may make this a millisecond or more: callers only
// poll with it.
void sleep_microseconds(unsigned us) { Sleep(us < 1000 ? 1 : us / 1000); }

void park_thread_forever() {
    for (;;) Sleep(INFINITE);
}

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");
static_assert(sizeof(INIT_ONCE) == sizeof(void*), "an INIT_ONCE is one pointer");

void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srw_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srw_)); }
void Mutex::reset_after_fork() { srw_ = nullptr; }

namespace {
BOOL CALLBACK run_once_fn(PINIT_ONCE, PVOID fn, PVOID*) {
    reinterpret_cast<void (*)()>(fn)();
    return TRUE;
}
}  // namespace

void OnceFlag::run(void (*fn)()) {
    InitOnceExecuteOnce(reinterpret_cast<PINIT_ONCE>(&once_), run_once_fn, reinterpret_cast<PVOID>(fn), nullptr);
}

}  // namespace tarnix
