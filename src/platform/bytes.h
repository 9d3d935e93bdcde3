// Byte slices, owned byte strings and the growable byte buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/heap.h"

namespace tarnix {

struct Slice {
    const uint8_t* ptr = nullptr;
    size_t len = 0;
};

inline Slice slice_of(const char* s) {
    return Slice{reinterpret_cast<const uint8_t*>(s), std::strlen(s)};
}

// Exactly the bytes, no terminator; an empty string owns no buffer.
class OwnedBytes {
public:
    OwnedBytes() = default;
    OwnedBytes(uint8_t* p, size_t n) : ptr_(p), len_(n) {}
    OwnedBytes(const OwnedBytes&) = delete;
    OwnedBytes& operator=(const OwnedBytes&) = delete;
    OwnedBytes(OwnedBytes&& o) noexcept : ptr_(o.ptr_), len_(o.len_) { o.ptr_ = nullptr; o.len_ = 0; }
    OwnedBytes& operator=(OwnedBytes&& o) noexcept {
        if (this != &o) { reset(); ptr_ = o.ptr_; len_ = o.len_; o.ptr_ = nullptr; o.len_ = 0; }
        return *this;
    }
    ~OwnedBytes() { reset(); }

    // Copies n bytes; false when memory runs out (then stays empty).
    bool assign_copy(const void* src, size_t n);
    void reset() {
        if (len_ >= LARGE_BLOCK)
            large_block_free(ptr_);
        else if (len_ != 0)
            heap_free(ptr_);
        ptr_ = nullptr;
        len_ = 0;
    }
    // Hands the block to the caller, who frees it when the length was not 0.
    uint8_t* release() {
        uint8_t* p = ptr_;
        ptr_ = nullptr;
        len_ = 0;
        return p;
    }
    const uint8_t* data() const { return ptr_; }
    uint8_t* data() { return ptr_; }
    size_t size() const { return len_; }
    bool empty() const { return len_ == 0; }
    Slice slice() const { return Slice{ptr_, len_}; }

private:
    uint8_t* ptr_ = nullptr;
    size_t len_ = 0;
};

// Growable byte buffer with the shared growth rule (need + need/2 + 128).
class ByteBuf {
public:
    ByteBuf() = default;
    ByteBuf(const ByteBuf&) = delete;
    ByteBuf& operator=(const ByteBuf&) = delete;
    ByteBuf(ByteBuf&& o) noexcept : ptr_(o.ptr_), len_(o.len_), cap_(o.cap_) { o.ptr_ = nullptr; o.len_ = o.cap_ = 0; }
    ByteBuf& operator=(ByteBuf&& o) noexcept {
        if (this != &o) { clear(); ptr_ = o.ptr_; len_ = o.len_; cap_ = o.cap_; o.ptr_ = nullptr; o.len_ = o.cap_ = 0; }
        return *this;
    }
    ~ByteBuf() { clear(); }

    // Ensures room for `extra` more bytes; false on overflow or no memory.
    bool reserve_more(size_t extra);
    // Like reserve_more, without room for growth beyond `extra`.
    bool reserve_exact(size_t extra);
    bool append(const void* src, size_t n);
    // Free room after the live bytes (valid after reserve_more).
    uint8_t* tail() { return ptr_ + len_; }
    size_t room() const { return cap_ - len_; }
    void commit(size_t n) { len_ += n; }
    void truncate(size_t n) { if (n < len_) len_ = n; }
    // Trims to the length and hands the block over; false when trimming fails
    // (the buffer is then left as it was).
    bool into_owned(OwnedBytes* out);
    void clear() {
        if (cap_ >= LARGE_BLOCK)
            large_block_free(ptr_);
        else
            heap_free(ptr_);
        ptr_ = nullptr;
        len_ = cap_ = 0;
    }

    uint8_t* data() { return ptr_; }
    const uint8_t* data() const { return ptr_; }
    size_t size() const { return len_; }
    size_t capacity() const { return cap_; }

private:
    bool reserve(size_t extra, bool spare);

    uint8_t* ptr_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

}  // namespace tarnix
