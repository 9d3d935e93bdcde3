// Detached threads with a 16 MiB stack reservation, and the processor yield.
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

}  // namespace tarnix
