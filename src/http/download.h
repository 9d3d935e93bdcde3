// A response body written to a file as it arrives, with its progress
// readable from any thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "http/framing.h"
#include "platform/bytes.h"
#include "platform/file.h"

namespace tarnix {

// Shared by the job that writes and whoever watches it; freed with its last
// reference.
struct DownloadTarget {
    std::atomic<uint32_t> refs{1};
    OwnedBytes path;  // NUL-terminated; the file exists before the job starts
    // Of the response being written (each redirect hop starts over): body
    // bytes written so far, and its announced length (-1: unknown).
    std::atomic<uint64_t> received{0};
    std::atomic<int64_t> expected{-1};
};

// Null when memory runs out. `path` has no NUL.
DownloadTarget* download_target_new(const char* path, size_t len);
void download_target_ref(DownloadTarget* t);
void download_target_release(DownloadTarget* t);

// The body sink of one job: each response truncates the file and writes its
// body through a buffer of its own. Unless kept, the file is removed when the
// sink ends, so a failed or abandoned job leaves nothing behind.
class FileBodySink final : public BodySink {
public:
    // `target` may be null: the sink then does nothing at all. It keeps a
    // reference, so it may outlive the job.
    explicit FileBodySink(DownloadTarget* target);
    ~FileBodySink() override;
    FileBodySink(const FileBodySink&) = delete;
    FileBodySink& operator=(const FileBodySink&) = delete;

    bool begin(int status, int64_t length) override;
    bool write_all(const uint8_t* src, size_t n) override;
    bool flush() override;
    // The body is complete: buffered bytes out, data on the disk, file
    // closed and kept. False when any of it fails (the file then goes).
    bool finish();
    // Closes and removes the file now.
    void discard();

private:
    DownloadTarget* target_;
    FileWriter file_;
    uint8_t* buf_ = nullptr;
    size_t used_ = 0;
    bool kept_ = false;
    bool removed_ = false;
};

}  // namespace tarnix
