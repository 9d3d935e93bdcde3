// Finished jobs on their way to the one thread that delivers them (an event
// loop's), with a descriptor that thread watches: it becomes readable when
// the queue turns non-empty, so a burst of outcomes costs one wake-up.
#pragma once
#include <atomic>
#include <cstdint>

#include "http/job.h"
#include "platform/wake.h"

namespace tarnix {

class CompletionQueue {
public:
    // A new queue holding one reference, or null when no descriptor or
    // memory can be had.
    static CompletionQueue* create();

    void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
    // The last reference closes the descriptor and frees the queue. Any thread.
    void release();

    int fd() const { return wake_.read_fd; }

    // Producer side, any thread: takes the job, or returns false once the
    // queue is closed (the job stays the caller's). Takes the job's queue
    // reference, so the job may be gone before this returns.
    bool push(Job* job);

    // Consumer side (one thread at a time): every job pushed so far, oldest
    // first, linked through Job::next. Clears the descriptor before looking,
    // so a push that comes after it wakes the consumer again.
    Job* take();

    // Consumer side: refuses later pushes and returns what was queued, as take.
    Job* close();

    // A forked child must not wake, nor read, its parent's descriptor: the
    // child closes its copy and the queue accepts nothing more.
    void close_after_fork();

private:
    CompletionQueue() = default;
    static Job* closed_mark() { return reinterpret_cast<Job*>(uintptr_t{1}); }
    static Job* oldest_first(Job* newest);

    std::atomic<Job*> head_{nullptr};
    std::atomic<uint32_t> refs_{1};
    WakeFd wake_;
};

// Jobs that nobody will deliver any more (their loop closed, their caller
// gave up), kept until a thread that may drop their references takes them.
void orphan_push(Job* job);
// The orphans so far, linked through Job::next; null when there are none.
Job* orphans_take();

}  // namespace tarnix
