// One submitted request and its life on its I/O thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "http/header.h"
#include "platform/bytes.h"

namespace tarnix {

struct Pool;

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
};

// Frees the job's buffers and the record (not future, loop or pool_owner).
void free_job(Job* job);

// How the outcome leaves the engine. `settle` borrows everything it is given.
struct JobHooks {
    void (*settle)(Job* job, int32_t status, const HeaderEntry* headers, size_t header_count, const uint8_t* body,
                   size_t body_len, int32_t kind, const char* message);
    void (*release)(Job* job);  // drops the opaque references, then free_job
};

// Runs the whole exchange; ends in exactly one settle and one release.
void run_job(Job* job, const JobHooks& hooks);

}  // namespace tarnix
