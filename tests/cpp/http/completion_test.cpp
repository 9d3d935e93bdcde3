// The completion queue between I/O threads and the thread that delivers
// their jobs: every job arrives once, in order per producer, and a closed
// queue hands jobs back rather than losing them.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "http/completion.h"
#include "platform/heap.h"

using namespace tarnix;

namespace {

Job* new_job(uintptr_t tag) {
    Job* job = new (heap_alloc(sizeof(Job))) Job();
    job->future = reinterpret_cast<void*>(tag);
    return job;
}

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

TEST(CompletionQueue, EveryJobArrivesOnceInOrderPerProducer) {
    constexpr int kProducers = 4, kJobs = 5000;
    CompletionQueue* queue = CompletionQueue::create();
    ASSERT_NE(queue, nullptr);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([queue, p] {
            for (int i = 0; i < kJobs; ++i) {
                Job* job = new_job(uintptr_t(p) << 32 | uintptr_t(i));
                queue->retain();
                job->queue = queue;
                ASSERT_TRUE(queue->push(job));
            }
        });
    std::vector<int> next(kProducers, 0);
    int seen = 0;
    // Bounded: a lost wake-up fails the poll instead of hanging.
    while (seen < kProducers * kJobs) {
        ASSERT_TRUE(readable(queue->fd(), 5000)) << "no wake-up with " << seen << " jobs delivered";
        for (Job* job = queue->take(); job != nullptr;) {
            Job* next_job = job->next;
            auto tag = reinterpret_cast<uintptr_t>(job->future);
            int p = int(tag >> 32), i = int(tag & 0xffffffff);
            EXPECT_EQ(i, next[p]++);
            EXPECT_EQ(job->queue, nullptr);
            free_job(job);
            ++seen;
            job = next_job;
        }
    }
    for (auto& t : producers) t.join();
    EXPECT_FALSE(readable(queue->fd(), 0) && queue->take() != nullptr);
    EXPECT_EQ(queue->close(), nullptr);
    queue->release();
}

TEST(CompletionQueue, ClosedQueueHandsJobsBackAndOrphansKeepThem) {
    CompletionQueue* queue = CompletionQueue::create();
    ASSERT_NE(queue, nullptr);
    Job* before = new_job(1);
    queue->retain();
    before->queue = queue;
    ASSERT_TRUE(queue->push(before));
    ASSERT_TRUE(readable(queue->fd(), 0));
    Job* pending = queue->close();
    ASSERT_EQ(pending, before);
    free_job(pending);

    Job* after = new_job(2);
    queue->retain();
    after->queue = queue;
    EXPECT_FALSE(queue->push(after));
    // The job keeps its reference to the queue, so the queue outlives it.
    EXPECT_EQ(after->queue, queue);
    queue->release();
    orphan_push(after);
    Job* orphans = orphans_take();
    ASSERT_EQ(orphans, after);
    EXPECT_EQ(orphans_take(), nullptr);
    after->queue->release();
    free_job(after);
}

}  // namespace
