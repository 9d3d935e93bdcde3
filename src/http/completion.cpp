#include "http/completion.h"

#include <new>

#include "platform/heap.h"

namespace tarnix {

CompletionQueue* CompletionQueue::create() {
    void* block = heap_alloc(sizeof(CompletionQueue));
    if (block == nullptr) return nullptr;
    auto* queue = new (block) CompletionQueue();
    if (!wake_open(&queue->wake_)) {
        queue->~CompletionQueue();
        heap_free(block);
        return nullptr;
    }
    return queue;
}

void CompletionQueue::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    wake_close(&wake_);
    this->~CompletionQueue();
    heap_free(this);
}

bool CompletionQueue::push(Job* job) {
    // The job's reference keeps the queue alive past the push, when the
    // consumer may already have freed the job.
    job->queue = nullptr;
    Job* head = head_.load(std::memory_order_relaxed);
    do {
        if (head == closed_mark()) {
            job->queue = this;
            return false;
        }
        job->next = head;
    } while (!head_.compare_exchange_weak(head, job, std::memory_order_release, std::memory_order_relaxed));
    // Only the push onto an empty queue wakes: the consumer takes the rest
    // with it.
    if (head == nullptr) wake_signal(wake_);
    release();
    return true;
}

Job* CompletionQueue::oldest_first(Job* newest) {
    Job* oldest = nullptr;
    while (newest != nullptr) {
        Job* next = newest->next;
        newest->next = oldest;
        oldest = newest;
        newest = next;
    }
    return oldest;
}

Job* CompletionQueue::take() {
    if (head_.load(std::memory_order_relaxed) == closed_mark()) return nullptr;
    wake_clear(wake_);
    return oldest_first(head_.exchange(nullptr, std::memory_order_acquire));
}

Job* CompletionQueue::close() {
    Job* jobs = head_.exchange(closed_mark(), std::memory_order_acquire);
    return jobs == closed_mark() ? nullptr : oldest_first(jobs);
}

void CompletionQueue::close_after_fork() {
    head_.store(closed_mark(), std::memory_order_relaxed);
    wake_close(&wake_);
}

namespace {
std::atomic<Job*> g_orphans{nullptr};
}  // namespace

void orphan_push(Job* job) {
    Job* head = g_orphans.load(std::memory_order_relaxed);
    do {
        job->next = head;
    } while (!g_orphans.compare_exchange_weak(head, job, std::memory_order_release, std::memory_order_relaxed));
}

Job* orphans_take() {
    if (g_orphans.load(std::memory_order_relaxed) == nullptr) return nullptr;
    return g_orphans.exchange(nullptr, std::memory_order_acquire);
}

}  // namespace tarnix
