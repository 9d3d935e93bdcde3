// One submitted request and its life on its I/O thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "http/decode.h"
#include "http/header.h"
#include "platform/abort.h"
#include "platform/bytes.h"

namespace tarnix {

struct Pool;
struct DownloadTarget;
class CompletionQueue;

// How a job ended. On success the header slices and the body point into
// `capture`; on failure there are no headers and no body, and status is 0
// except for a proxy's refusal of a tunnel, where it is the proxy's status.
struct JobOutcome {
    int32_t status = 0;
    int32_t kind = 0;
    const char* message = "";  // one of the fixed texts
    OwnedBytes capture;
    DecodedResponse decoded;
};

// Job header entries own their name and value buffers (heap, not copied
// elsewhere); an empty name or value owns nothing.
struct Job {
    Pool* pool = nullptr;
    OwnedBytes host;
    OwnedBytes target;
    HeaderEntry* headers = nullptr;
    size_t header_count = 0;
    OwnedBytes body;
    void* future = nullptr;     // opaque to the engine
    void* loop = nullptr;       // opaque to the engine
    void* pool_owner = nullptr; // opaque: keeps the pool alive while the job runs
    uint16_t port = 0;
    uint8_t method = 0;
    JobOutcome outcome;
    // Where the finished job goes: a loop's queue (the job holds one of its
    // references), a caller blocked on `handoff`, or neither.
    CompletionQueue* queue = nullptr;
    Job* next = nullptr;  // in a queue
    bool waited = false;
    std::atomic<uint32_t> handoff{0};
    // The most bytes of the response (head and body as they arrive).
    uint64_t max_response = UINT64_MAX;
    // Where the body goes instead of memory (the job holds a reference):
    // the outcome then has the head alone, and the file is left only when
    // the job succeeds.
    DownloadTarget* download = nullptr;
    // Nobody waits for the outcome any more: the I/O thread stops at its
    // next socket call (or at once, when blocked in one) and its connection
    // is closed, never pooled.
    AbortGate gate;
    // Binding bookkeeping, under the GIL: the job can be found by its
    // future, and it was given up (its outcome is dropped).
    bool registered = false;
    bool abandoned = false;
};

// Frees the job's buffers, its outcome and the record (not future, loop or
// pool_owner, nor a queue reference).
void free_job(Job* job);

// How the outcome leaves the engine: `finish` takes the job, outcome filled
// in, and becomes its owner.
struct JobHooks {
    void (*finish)(Job* job);
};

// Runs the whole exchange; ends in exactly one finish. An aborted job ends
// with the failure "request abandoned" as soon as its thread sees the abort.
void run_job(Job* job, const JobHooks& hooks);

}  // namespace tarnix
