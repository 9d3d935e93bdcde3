// Byte sources and sinks, and the buffered reader and writer the HTTP
// exchange runs over (plain sockets and TLS sessions alike).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>

#include "platform/bytes.h"

namespace tarnix {

enum class IoStatus : uint8_t {
    Ok,
    EndOfStream,    // the transport ended before the operation completed
    ReadFailed,     // transport error
    StreamTooLong,  // peek_line: buffer full of unread bytes, no line feed
    OutOfMemory,    // growing the caller's buffer failed
    LimitReached,   // append_to_end: more bytes than the caller's limit
    SinkFailed,     // pass_exact, pass_to_end: the caller's sink refused bytes
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `cap` bytes: >0 bytes read, 0 clean end of stream, <0 error.
    virtual ssize_t read_some(uint8_t* dst, size_t cap) = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write_all(const uint8_t* src, size_t n) = 0;
    virtual bool flush() = 0;
    // Both pieces in order; a sink that can gather sends them at once.
    virtual bool write_pair(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
        return write_all(a, na) && write_all(b, nb);
    }
};

// Buffered reader with a fixed-capacity buffer it does not own.
class BufferedReader {
public:
    BufferedReader(ByteSource* src, uint8_t* buf, size_t cap) : src_(src), buf_(buf), cap_(cap) {}

    // Unread bytes up to and including the next line feed, not consumed.
    IoStatus peek_line(Slice* line);
    // Consumes n bytes that were peeked.
    void discard(size_t n);
    // Appends exactly n bytes: buffered ones first, then straight from the
    // transport into `out`.
    IoStatus append_exact(ByteBuf& out, uint64_t n);
    // Appends everything up to the end of the stream (the end is success);
    // LimitReached as soon as `out` would pass `limit` bytes.
    IoStatus append_to_end(ByteBuf& out, uint64_t limit = UINT64_MAX);
    // The same two into a sink instead of memory, through this reader's
    // buffer. `*passed` counts the bytes given to the sink.
    IoStatus pass_exact(ByteSink& out, uint64_t n);
    IoStatus pass_to_end(ByteSink& out, uint64_t limit, uint64_t* passed);

    // Up to `cap` bytes: buffered ones first, else one transport read (large
    // requests bypass the buffer). >0 bytes, 0 end of stream, <0 error.
    ssize_t read_some(uint8_t* dst, size_t cap);

    size_t buffered() const { return end_ - start_; }
    size_t capacity() const { return cap_; }
    ByteSource* source() const { return src_; }

private:
    ByteSource* src_;
    uint8_t* buf_;
    size_t cap_;
    size_t start_ = 0;
    size_t end_ = 0;
};

inline ssize_t BufferedReader::read_some(uint8_t* dst, size_t cap) {
    if (start_ == end_) {
        start_ = end_ = 0;
        if (cap >= cap_) return src_->read_some(dst, cap);
        ssize_t n = src_->read_some(buf_, cap_);
        if (n <= 0) return n;
        end_ = size_t(n);
    }
    size_t k = end_ - start_;
    if (k > cap) k = cap;
    std::memcpy(dst, buf_ + start_, k);
    start_ += k;
    return ssize_t(k);
}

// Buffered writer over a transport sink, with a buffer it does not own.
class BufferedWriter final : public ByteSink {
public:
    BufferedWriter(ByteSink* transport, uint8_t* buf, size_t cap) : out_(transport), buf_(buf), cap_(cap) {}
    bool write_all(const uint8_t* src, size_t n) override;
    bool flush() override;
    size_t pending() const { return len_; }
    size_t capacity() const { return cap_; }

private:
    ByteSink* out_;
    uint8_t* buf_;
    size_t cap_;
    size_t len_ = 0;
};

// Unbuffered socket transport (recv/send, retried on EINTR, no SIGPIPE).
class FdSource final : public ByteSource {
public:
    explicit FdSource(int fd) : fd_(fd) {}
    ssize_t read_some(uint8_t* dst, size_t cap) override;

private:
    int fd_;
};

class FdSink final : public ByteSink {
public:
    explicit FdSink(int fd) : fd_(fd) {}
    bool write_all(const uint8_t* src, size_t n) override;
    bool flush() override { return true; }
    bool write_pair(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) override;

private:
    int fd_;
};

}  // namespace tarnix
