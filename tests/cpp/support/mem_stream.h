// In-memory transports for exercising the reader, writer and framing.
#pragma once
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/stream.h"

namespace tarnix_test {

// Hands out the given pieces, each at most one read's worth, then ends
// cleanly (or fails, when `fail_at_end`).
class MemSource final : public tarnix::ByteSource {
public:
    explicit MemSource(std::vector<std::string> pieces, bool fail_at_end = false)
        : pieces_(std::move(pieces)), fail_at_end_(fail_at_end) {}
    explicit MemSource(const std::string& all) : pieces_{all} {}

    ssize_t read_some(uint8_t* dst, size_t cap) override {
        reads++;
        while (idx_ < pieces_.size() && off_ == pieces_[idx_].size()) { idx_++; off_ = 0; }
        if (idx_ == pieces_.size()) return fail_at_end_ ? -1 : 0;
        const std::string& p = pieces_[idx_];
        size_t n = std::min(cap, p.size() - off_);
        std::memcpy(dst, p.data() + off_, n);
        off_ += n;
        return ssize_t(n);
    }
    int reads = 0;

private:
    std::vector<std::string> pieces_;
    bool fail_at_end_ = false;
    size_t idx_ = 0, off_ = 0;
};

class MemSink final : public tarnix::ByteSink {
public:
    bool write_all(const uint8_t* src, size_t n) override {
        if (fail) return false;
        writes++;
        data.append(reinterpret_cast<const char*>(src), n);
        return true;
    }
    bool flush() override {
        flushes++;
        return !fail_flush;
    }
    std::string data;
    int writes = 0, flushes = 0;
    bool fail = false, fail_flush = false;
};

inline const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
inline std::string str(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace tarnix_test
