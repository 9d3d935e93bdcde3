#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd.h"

namespace tarnix {

namespace {

FileStatus open_failure() { return errno == ENOENT || errno == ENOTDIR ? FileStatus::NotFound : FileStatus::Unreadable; }

FileVersion version_of(const struct stat& st) {
    FileVersion v;
    v.volume = static_cast<uint64_t>(st.st_dev);
    v.id = static_cast<uint64_t>(st.st_ino);
    v.size = static_cast<uint64_t>(st.st_size);
    v.mtime_s = static_cast<int64_t>(st.st_mtim.tv_sec);
    v.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_nsec);
    v.ctime_s = static_cast<int64_t>(st.st_ctim.tv_sec);
    v.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_nsec);
    return v;
}

}  // namespace

FileStatus file_version(const char* path, FileVersion* out) {
    struct stat st;
    if (::stat(path, &st) != 0) return open_failure();
    if (!S_ISREG(st.st_mode) || st.st_size < 0) return FileStatus::Unreadable;
    *out = version_of(st);
    return FileStatus::Ok;
}

FileStatus file_read_all(const char* path, size_t max_bytes, OwnedBytes* out, FileVersion* version) {
    // A FIFO named by mistake would block the open without O_NONBLOCK; it
    // is refused below as no regular file.
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return open_failure();
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return FileStatus::Unreadable;
    if (static_cast<uint64_t>(st.st_size) > max_bytes) return FileStatus::TooLarge;
    if (version != nullptr) *version = version_of(st);
    ByteBuf buf;
    // One byte more than the size seen, to notice a file that grew.
    if (!buf.reserve_exact(static_cast<size_t>(st.st_size) + 1)) return FileStatus::OutOfMemory;
    for (;;) {
        size_t room = buf.capacity() - buf.size();
        if (room == 0) return FileStatus::TooLarge;
        ssize_t r = ::read(fd.get(), buf.tail(), room);
        if (r < 0) {
            if (errno == EINTR) continue;
            return FileStatus::Unreadable;
        }
        if (r == 0) break;
        buf.commit(static_cast<size_t>(r));
        if (buf.size() > max_bytes) return FileStatus::TooLarge;
    }
    return buf.into_owned(out) ? FileStatus::Ok : FileStatus::OutOfMemory;
}

FileWriter::~FileWriter() {
    if (handle_ != INVALID) ::close(static_cast<int>(handle_));
}

FileStatus FileWriter::open_existing(const char* path) {
    if (handle_ != INVALID) return FileStatus::Unreadable;
    int fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return open_failure();
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return FileStatus::Unreadable;
    }
    handle_ = fd;
    return FileStatus::Ok;
}

FileStatus FileWriter::write_all(const uint8_t* src, size_t n) {
    while (n != 0) {
        ssize_t w = ::write(static_cast<int>(handle_), src, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return FileStatus::WriteFailed;
        }
        src += w;
        n -= static_cast<size_t>(w);
    }
    return FileStatus::Ok;
}

FileStatus FileWriter::sync() {
    return ::fsync(static_cast<int>(handle_)) == 0 ? FileStatus::Ok : FileStatus::WriteFailed;
}

FileStatus FileWriter::close() {
    if (handle_ == INVALID) return FileStatus::Ok;
    int fd = static_cast<int>(handle_);
    handle_ = INVALID;
    // The descriptor is gone even when close reports an error: no retry.
    return ::close(fd) == 0 ? FileStatus::Ok : FileStatus::WriteFailed;
}

void file_remove(const char* path) { ::unlink(path); }

}  // namespace tarnix
