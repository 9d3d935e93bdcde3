#include "platform/stream.h"

#include <climits>
#include <cstring>

#include "platform/net.h"

namespace tarnix {

namespace {
// Room made ahead of a large body's reads, at least. Beyond it the room grows
// with what has already arrived, never with what the server announced: a few
// header bytes must not claim memory.
constexpr size_t READ_STEP = size_t(256) << 10;
// Room kept free while reading to the end of the stream.
constexpr size_t TO_END_STEP = size_t(64) << 10;
}  // namespace

IoStatus BufferedReader::peek_line(Slice* line) {
    size_t scanned = 0;  // unread bytes already known to hold no line feed
    for (;;) {
        const uint8_t* s = buf_ + start_;
        size_t n = end_ - start_;
        if (n > scanned) {
            const void* lf = std::memchr(s + scanned, '\n', n - scanned);
            if (lf != nullptr) {
                line->ptr = s;
                line->len = size_t(static_cast<const uint8_t*>(lf) - s) + 1;
                return IoStatus::Ok;
            }
            scanned = n;
        }
        if (n == cap_) return IoStatus::StreamTooLong;
        if (end_ == cap_) {
            std::memmove(buf_, buf_ + start_, n);
            start_ = 0;
            end_ = n;
        }
        ssize_t r = src_->read_some(buf_ + end_, cap_ - end_);
        if (r == 0) return IoStatus::EndOfStream;
        if (r < 0) return IoStatus::ReadFailed;
        end_ += size_t(r);
    }
}

void BufferedReader::discard(size_t n) {
    size_t have = end_ - start_;
    start_ += n < have ? n : have;
    if (start_ == end_) start_ = end_ = 0;
}

IoStatus BufferedReader::append_exact(ByteBuf& out, uint64_t n) {
    if (n > SIZE_MAX - out.size()) return IoStatus::OutOfMemory;
    size_t left = size_t(n);
    size_t arrived = 0;  // bytes of this stretch read so far
    while (left != 0) {
        size_t have = end_ - start_;
        if (have != 0) {
            size_t take = have < left ? have : left;
            if (!out.append(buf_ + start_, take)) return IoStatus::OutOfMemory;
            discard(take);
            left -= take;
            arrived += take;
            continue;
        }
        if (left < cap_ / 2) {
            // Small remainders go through our buffer: one read then also
            // brings in the lines that follow.
            ssize_t r = src_->read_some(buf_, cap_);
            if (r == 0) return IoStatus::EndOfStream;
            if (r < 0) return IoStatus::ReadFailed;
            start_ = 0;
            end_ = size_t(r);
            continue;
        }
        // Large stretches are read straight into the capture. The kernel
        // faults in only the pages a read fills.
        if (out.room() < left && out.room() < TO_END_STEP) {
            size_t step = arrived > READ_STEP ? arrived : READ_STEP;
            if (!out.reserve_more(step < left ? step : left)) return IoStatus::OutOfMemory;
        }
        size_t want = out.room() < left ? out.room() : left;
        ssize_t r = src_->read_some(out.tail(), want);
        if (r == 0) return IoStatus::EndOfStream;
        if (r < 0) return IoStatus::ReadFailed;
        out.commit(size_t(r));
        left -= size_t(r);
        arrived += size_t(r);
    }
    return IoStatus::Ok;
}

IoStatus BufferedReader::append_to_end(ByteBuf& out, uint64_t limit) {
    size_t have = end_ - start_;
    if (have != 0) {
        if (have > limit || out.size() > limit - have) return IoStatus::LimitReached;
        if (!out.append(buf_ + start_, have)) return IoStatus::OutOfMemory;
        discard(have);
    }
    for (;;) {
        if (out.size() > limit) return IoStatus::LimitReached;
        if (out.room() < TO_END_STEP / 4 && !out.reserve_more(TO_END_STEP)) return IoStatus::OutOfMemory;
        // One byte past the limit is enough to know it was passed.
        size_t want = out.room();
        if (limit - out.size() < want) want = size_t(limit - out.size()) + 1;
        ssize_t r = src_->read_some(out.tail(), want);
        if (r == 0) return IoStatus::Ok;
        if (r < 0) return IoStatus::ReadFailed;
        out.commit(size_t(r));
    }
}

IoStatus BufferedReader::pass_exact(ByteSink& out, uint64_t n) {
    while (n != 0) {
        if (start_ == end_) {
            start_ = end_ = 0;
            ssize_t r = src_->read_some(buf_, cap_);
            if (r == 0) return IoStatus::EndOfStream;
            if (r < 0) return IoStatus::ReadFailed;
            end_ = size_t(r);
        }
        size_t have = end_ - start_;
        size_t take = have < n ? have : size_t(n);
        if (!out.write_all(buf_ + start_, take)) return IoStatus::SinkFailed;
        discard(take);
        n -= take;
    }
    return IoStatus::Ok;
}

IoStatus BufferedReader::pass_to_end(ByteSink& out, uint64_t limit, uint64_t* passed) {
    *passed = 0;
    for (;;) {
        if (start_ == end_) {
            start_ = end_ = 0;
            ssize_t r = src_->read_some(buf_, cap_);
            if (r == 0) return IoStatus::Ok;
            if (r < 0) return IoStatus::ReadFailed;
            end_ = size_t(r);
        }
        size_t have = end_ - start_;
        if (have > limit - *passed) return IoStatus::LimitReached;
        if (!out.write_all(buf_ + start_, have)) return IoStatus::SinkFailed;
        discard(have);
        *passed += have;
    }
}

bool BufferedWriter::write_all(const uint8_t* src, size_t n) {
    if (n <= cap_ - len_) {
        if (n != 0) std::memcpy(buf_ + len_, src, n);
        len_ += n;
        return true;
    }
    // Too big to join the buffer: it goes out whole behind the buffered
    // bytes, in one gathered write where the sink can, never copied.
    size_t pending = len_;
    len_ = 0;
    if (pending == 0) return out_->write_all(src, n);
    return out_->write_pair(buf_, pending, src, n);
}

bool BufferedWriter::flush() {
    if (len_ != 0) {
        size_t pending = len_;
        len_ = 0;
        if (!out_->write_all(buf_, pending)) return false;
    }
    return out_->flush();
}

ssize_t FdSource::read_some(uint8_t* dst, size_t cap) { return socket_recv(fd_, dst, cap, false); }

bool FdSink::write_all(const uint8_t* src, size_t n) { return socket_send_all(fd_, src, n); }

bool FdSink::write_pair(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
    return socket_send_pair(fd_, a, na, b, nb);
}

}  // namespace tarnix
