// Regular files: reading a small one whole, and writing one out.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"

namespace tarnix {

enum class FileStatus : uint8_t {
    Ok,
    NotFound,      // no such file (or a directory on the way is missing)
    Unreadable,    // exists, but cannot be opened or read, or is no regular file
    TooLarge,      // larger than the caller's limit
    OutOfMemory,
    WriteFailed,   // a write, sync or close failed (disk full, for one)
};

// What tells one version of a file from the next: the file's identity on
// its volume, its size and its last modification and change times. Fields a
// system does not keep stay 0.
struct FileVersion {
    uint64_t volume = 0;
    uint64_t id = 0;
    uint64_t size = 0;
    int64_t mtime_s = 0, mtime_ns = 0;
    int64_t ctime_s = 0, ctime_ns = 0;
};

// The version of the regular file at `path`; NotFound or Unreadable (no
// regular file) otherwise.
FileStatus file_version(const char* path, FileVersion* out);

// Reads the whole regular file at `path` (UTF-8, NUL-terminated) into
// `out`; files above `max_bytes` are refused unread. `version`, when given,
// gets the version of the file as opened.
FileStatus file_read_all(const char* path, size_t max_bytes, OwnedBytes* out, FileVersion* version = nullptr);

// A file open for writing, closed by its destructor. Never copied.
class FileWriter {
public:
    FileWriter() = default;
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Opens an existing file for writing, truncated to nothing.
    FileStatus open_existing(const char* path);
    FileStatus write_all(const uint8_t* src, size_t n);
    // Data and size reach the disk before this returns.
    FileStatus sync();
    // Closes the file; a failure here can mean data was lost.
    FileStatus close();
    bool is_open() const { return handle_ != INVALID; }

private:
    static constexpr intptr_t INVALID = -1;
    intptr_t handle_ = INVALID;  // a descriptor, or a Windows HANDLE
};

// Removes the file; a missing one is no failure.
void file_remove(const char* path);

}  // namespace tarnix
