// abandon(future): the client gave up on a request (its time limit passed,
// or it was cancelled) and tells the engine, so that the request's I/O thread
// stops at once and its connection is closed. Running jobs are found by
// their future in a small table kept under the GIL.
#include <cstdint>
#include <cstring>

#include "binding.h"

namespace tarnix {
namespace {

struct Slot {
    const void* key;  // the job's future; null: free
    Job* job;
};

// Open addressing with linear probing, at most half full. It never shrinks:
// its size follows the most requests ever in flight at once.
Slot* g_slots = nullptr;
size_t g_capacity = 0;  // zero or a power of two
size_t g_used = 0;

size_t home_of(const void* key, size_t mask) {
    uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(h >> 32) & mask;
}

size_t find_free(Slot* slots, size_t mask, const void* key) {
    size_t i = home_of(key, mask);
    while (slots[i].key != nullptr) i = (i + 1) & mask;
    return i;
}

bool grow() {
    size_t capacity = g_capacity == 0 ? 64 : g_capacity * 2;
    auto* slots = static_cast<Slot*>(PyMem_Calloc(capacity, sizeof(Slot)));
    if (slots == nullptr) return false;
    for (size_t i = 0; i < g_capacity; ++i)
        if (g_slots[i].key != nullptr) slots[find_free(slots, capacity - 1, g_slots[i].key)] = g_slots[i];
    PyMem_Free(g_slots);
    g_slots = slots;
    g_capacity = capacity;
    return true;
}

// Empties slot i, moving later entries of its run back so that every
// entry stays reachable from its home slot.
void remove_at(size_t i) {
    const size_t mask = g_capacity - 1;
    size_t j = i;
    for (;;) {
        g_slots[i] = Slot{nullptr, nullptr};
        for (;;) {
            j = (j + 1) & mask;
            if (g_slots[j].key == nullptr) {
                --g_used;
                return;
            }
            size_t home = home_of(g_slots[j].key, mask);
            // The entry stays when its home lies cyclically in (i, j].
            bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
            if (!stays) break;
        }
        g_slots[i] = g_slots[j];
        i = j;
    }
}

// The slot of a job with this future, or SIZE_MAX.
size_t slot_of(const void* key, const Job* job) {
    if (g_capacity == 0) return SIZE_MAX;
    const size_t mask = g_capacity - 1;
    for (size_t i = home_of(key, mask); g_slots[i].key != nullptr; i = (i + 1) & mask)
        if (g_slots[i].key == key && (job == nullptr || g_slots[i].job == job)) return i;
    return SIZE_MAX;
}

}  // namespace

void register_job(Job* job) {
    // Without room the job simply cannot be abandoned: it runs to its end.
    if (job->future == nullptr || ((g_used + 1) * 2 > g_capacity && !grow())) return;
    g_slots[find_free(g_slots, g_capacity - 1, job->future)] = Slot{job->future, job};
    ++g_used;
    job->registered = true;
}

void unregister_job(Job* job) {
    if (!job->registered) return;
    job->registered = false;
    size_t i = slot_of(job->future, job);
    if (i != SIZE_MAX) remove_at(i);
}

void forget_jobs_after_fork() {
    // The parent's jobs never finish here, and their sockets are shared with
    // the parent: nothing of them may be touched.
    if (g_capacity != 0) std::memset(g_slots, 0, g_capacity * sizeof(Slot));
    g_used = 0;
}

PyObject* abandon(PyObject*, PyObject* future) {
    if (!in_home_interpreter()) return nullptr;
    bool found = false;
    // Once the interpreter finalises, finished jobs are freed without the
    // GIL and the table may name freed ones.
    if (!python_exiting()) {
        size_t i;
        while ((i = slot_of(future, nullptr)) != SIZE_MAX) {
            Job* job = g_slots[i].job;
            remove_at(i);
            job->registered = false;
            // The job stays alive until it is disposed of, under the GIL.
            job->abandoned = true;
            job->gate.abort();
            found = true;
        }
    }
    return PyBool_FromLong(found ? 1 : 0);
}

}  // namespace tarnix
