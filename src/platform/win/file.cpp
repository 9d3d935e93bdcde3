#include "platform/file.h"

#include <windows.h>

#include "platform/win/wide.h"

#include "platform/heap.h"

namespace tarnix {

namespace {


HANDLE open_path(const char* path, DWORD access, DWORD disposition) {
    wchar_t* w = to_wide(path);
    if (w == nullptr) return INVALID_HANDLE_VALUE;
    // Others may read and remove the file meanwhile, as on Unix.
    HANDLE h = CreateFileW(w, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    heap_free(w);
    return h;
}

FileStatus open_failure() {
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FileStatus::NotFound : FileStatus::Unreadable;
}

bool is_disk_file(HANDLE h) { return GetFileType(h) == FILE_TYPE_DISK; }

struct HandleCloser {
    HANDLE h;
    ~HandleCloser() { CloseHandle(h); }
};

}  // namespace

FileStatus file_read_all(const char* path, size_t max_bytes, OwnedBytes* out) {
    HANDLE h = open_path(path, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return open_failure();
    HandleCloser closer{h};
    LARGE_INTEGER size;
    if (!is_disk_file(h) || !GetFileSizeEx(h, &size) || size.QuadPart < 0) return FileStatus::Unreadable;
    if (static_cast<uint64_t>(size.QuadPart) > max_bytes) return FileStatus::TooLarge;
    ByteBuf buf;
    if (!buf.reserve_exact(static_cast<size_t>(size.QuadPart) + 1)) return FileStatus::OutOfMemory;
    for (;;) {
        size_t room = buf.capacity() - buf.size();
        if (room == 0) return FileStatus::TooLarge;
        DWORD chunk = room > 0x40000000 ? 0x40000000 : static_cast<DWORD>(room);
        DWORD got = 0;
        if (!ReadFile(h, buf.tail(), chunk, &got, nullptr)) return FileStatus::Unreadable;
        if (got == 0) break;
        buf.commit(got);
        if (buf.size() > max_bytes) return FileStatus::TooLarge;
    }
    return buf.into_owned(out) ? FileStatus::Ok : FileStatus::OutOfMemory;
}

FileWriter::~FileWriter() {
    if (handle_ != INVALID) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

FileStatus FileWriter::open_existing(const char* path) {
    if (handle_ != INVALID) return FileStatus::Unreadable;
    HANDLE h = open_path(path, GENERIC_WRITE, TRUNCATE_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return open_failure();
    if (!is_disk_file(h)) {
        CloseHandle(h);
        return FileStatus::Unreadable;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return FileStatus::Ok;
}

FileStatus FileWriter::write_all(const uint8_t* src, size_t n) {
    while (n != 0) {
        DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
        DWORD done = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), src, chunk, &done, nullptr) || done == 0)
            return FileStatus::WriteFailed;
        src += done;
        n -= done;
    }
    return FileStatus::Ok;
}

FileStatus FileWriter::sync() {
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle_)) ? FileStatus::Ok : FileStatus::WriteFailed;
}

FileStatus FileWriter::close() {
    if (handle_ == INVALID) return FileStatus::Ok;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    handle_ = INVALID;
    return CloseHandle(h) ? FileStatus::Ok : FileStatus::WriteFailed;
}

void file_remove(const char* path) {
    wchar_t* w = to_wide(path);
    if (w == nullptr) return;
    DeleteFileW(w);
    heap_free(w);
}

}  // namespace tarnix
