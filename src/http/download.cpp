#include "http/download.h"

#include <cstring>
#include <new>

#include "platform/heap.h"

namespace tarnix {

namespace {

// Large enough that a fast connection costs few writes, small against the
// memory a body would take.
constexpr size_t FILE_BUFFER = size_t(256) << 10;

const char* path_of(const DownloadTarget* t) { return reinterpret_cast<const char*>(t->path.data()); }

}  // namespace

DownloadTarget* download_target_new(const char* path, size_t len) {
    void* block = heap_alloc(sizeof(DownloadTarget));
    if (block == nullptr) return nullptr;
    auto* t = new (block) DownloadTarget();
    // The copy keeps the NUL after the path (the caller's string has one)
    // for the file system calls.
    if (!t->path.assign_copy(path, len + 1)) {
        download_target_release(t);
        return nullptr;
    }
    return t;
}

void download_target_ref(DownloadTarget* t) { t->refs.fetch_add(1, std::memory_order_relaxed); }

void download_target_release(DownloadTarget* t) {
    if (t == nullptr || t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    t->~DownloadTarget();
    heap_free(t);
}

FileBodySink::FileBodySink(DownloadTarget* target) : target_(target) {
    if (target_ != nullptr) download_target_ref(target_);
}

FileBodySink::~FileBodySink() {
    if (!kept_) discard();
    heap_free(buf_);
    download_target_release(target_);
}

bool FileBodySink::begin(int, int64_t length) {
    target_->received.store(0, std::memory_order_relaxed);
    target_->expected.store(length, std::memory_order_relaxed);
    used_ = 0;
    if (removed_) return false;
    if (buf_ == nullptr && (buf_ = static_cast<uint8_t*>(heap_alloc(FILE_BUFFER))) == nullptr) return false;
    // A retry or a redirect hop starts the file over.
    if (file_.is_open() && file_.close() != FileStatus::Ok) return false;
    return file_.open_existing(path_of(target_)) == FileStatus::Ok;
}

bool FileBodySink::write_all(const uint8_t* src, size_t n) {
    if (!file_.is_open()) return false;
    target_->received.fetch_add(n, std::memory_order_relaxed);
    if (n <= FILE_BUFFER - used_) {
        std::memcpy(buf_ + used_, src, n);
        used_ += n;
        return true;
    }
    if (!flush()) return false;
    if (n >= FILE_BUFFER) return file_.write_all(src, n) == FileStatus::Ok;
    std::memcpy(buf_, src, n);
    used_ = n;
    return true;
}

bool FileBodySink::flush() {
    if (used_ == 0) return true;
    size_t n = used_;
    used_ = 0;
    return file_.write_all(buf_, n) == FileStatus::Ok;
}

bool FileBodySink::finish() {
    // A response without a body never opened the file when begin failed;
    // one that had begin succeed has it open.
    bool ok = file_.is_open() && flush() && file_.sync() == FileStatus::Ok;
    ok = file_.close() == FileStatus::Ok && ok;
    if (!ok) {
        discard();
        return false;
    }
    kept_ = true;
    return true;
}

void FileBodySink::discard() {
    file_.close();
    if (!removed_ && target_ != nullptr) file_remove(path_of(target_));
    removed_ = true;
}

}  // namespace tarnix
