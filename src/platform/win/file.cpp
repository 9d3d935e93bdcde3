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

// 100 ns ticks since 1601, split as seconds and nanoseconds.
void split_ticks(int64_t ticks, int64_t* s, int64_t* ns) {
    *s = ticks / 10000000;
    *ns = (ticks % 10000000) * 100;
}

bool version_of(HANDLE h, FileVersion* v) {
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandle(h, &info) ||
        !GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return false;
    v->volume = info.dwVolumeSerialNumber;
    v->id = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    v->size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    split_ticks(basic.LastWriteTime.QuadPart, &v->mtime_s, &v->mtime_ns);
    split_ticks(basic.ChangeTime.QuadPart, &v->ctime_s, &v->ctime_ns);
    return true;
}

}  // namespace

FileStatus file_version(const char* path, FileVersion* out) {
    // Attributes only: a file opened for writing elsewhere can still be looked at.
    HANDLE h = open_path(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return open_failure();
    HandleCloser closer{h};
    if (!is_disk_file(h) || !version_of(h, out)) return FileStatus::Unreadable;
    return FileStatus::Ok;
}

FileStatus file_read_all(const char* path, size_t max_bytes, OwnedBytes* out, FileVersion* version) {
    HANDLE h = open_path(path, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return open_failure();
    HandleCloser closer{h};
    LARGE_INTEGER size;
    if (!is_disk_file(h) || !GetFileSizeEx(h, &size) || size.QuadPart < 0) return FileStatus::Unreadable;
    if (static_cast<uint64_t>(size.QuadPart) > max_bytes) return FileStatus::TooLarge;
    if (version != nullptr && !version_of(h, version)) return FileStatus::Unreadable;
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
