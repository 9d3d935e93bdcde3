// Response framing over a byte stream cut into arbitrary read sizes, then the
// decoding pass over whatever was captured, as an I/O thread runs them.
//
// Input: two control bytes, then the bytes the server sends.
//   byte 0: bit 0 request is HEAD; bits 1-2 reader capacity; bit 3 the
//           stream fails instead of ending cleanly; bits 4-5 largest read;
//           bit 6 the body goes to a sink instead of the capture
//   byte 1: seed of the read sizes
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/decode.h"
#include "http/framing.h"
#include "http/request.h"
#include "platform/stream.h"

using namespace tarnix;

namespace {

class SplitSource final : public ByteSource {
public:
    SplitSource(const uint8_t* p, size_t n, uint32_t seed, size_t max_read, bool fail_at_end)
        : p_(p), n_(n), state_(seed | 1), max_read_(max_read), fail_at_end_(fail_at_end) {}

    ssize_t read_some(uint8_t* dst, size_t cap) override {
        if (off_ == n_) return fail_at_end_ ? -1 : 0;
        state_ = state_ * 1103515245u + 12345u;
        size_t k = 1 + (state_ >> 8) % max_read_;
        if (k > cap) k = cap;
        if (k > n_ - off_) k = n_ - off_;
        std::memcpy(dst, p_ + off_, k);
        off_ += k;
        return ssize_t(k);
    }
    size_t offset() const { return off_; }

private:
    const uint8_t* p_;
    size_t n_;
    size_t off_ = 0;
    uint32_t state_;
    size_t max_read_;
    bool fail_at_end_;
};

class NullSink final : public ByteSink {
public:
    bool write_all(const uint8_t*, size_t) override { return true; }
    bool flush() override { return true; }
};

// Counts what a streamed body hands over, and checks the order of calls.
class CountingBodySink final : public BodySink {
public:
    bool begin(int, int64_t length) override {
        begins++;
        announced = length;
        written = 0;
        return true;
    }
    bool write_all(const uint8_t*, size_t n) override {
        if (begins == 0) std::abort();  // body bytes before the head was taken
        written += n;
        return true;
    }
    bool flush() override { return true; }
    int begins = 0;
    int64_t announced = -1;
    uint64_t written = 0;
};

const size_t kCapacities[] = {64, 257, 16645, 65536};
const size_t kMaxReads[] = {1, 7, 512, 65536};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t ctl = data[0];
    const uint8_t method = (ctl & 1) ? METHOD_HEAD : METHOD_GET;
    const size_t cap = kCapacities[(ctl >> 1) & 3];
    const bool fail_at_end = (ctl & 8) != 0;
    const size_t max_read = kMaxReads[(ctl >> 4) & 3];
    const uint8_t* stream = data + 2;
    const size_t stream_len = size - 2;

    // Exactly the capacity on the heap, so that any overrun is caught.
    auto* buf = static_cast<uint8_t*>(std::malloc(cap));
    SplitSource source(stream, stream_len, 0x9e3779b9u * (data[1] + 1u), max_read, fail_at_end);
    BufferedReader reader(&source, buf, cap);
    NullSink sink;
    CountingBodySink body_sink;
    const bool streamed = (ctl & 64) != 0;
    static const uint8_t request[] = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    RawResponse raw = send_and_receive(sink, reader, Slice{request, sizeof(request) - 1}, nullptr, method, Slice{},
                                       UINT64_MAX, -1, streamed ? &body_sink : nullptr);
    if (streamed && raw.error == ErrorKind::None) {
        // Only the head is held; a body of announced length is exactly that long.
        if (body_sink.begins != 1 || raw.bytes.size() != raw.head_len || !raw.streamed) std::abort();
        if (body_sink.announced >= 0 && body_sink.written != uint64_t(body_sink.announced)) std::abort();
        DecodedResponse decoded;
        if (decode_response(raw.bytes.data(), raw.bytes.size(), raw.head_len, raw.has_body, &decoded, true) &&
            decoded.body_len != 0)
            std::abort();
        std::free(buf);
        return 0;
    }

    if (raw.error != ErrorKind::None) {
        if (!raw.bytes.empty() || raw.reusable) std::abort();
    } else {
        // The capture is exactly the last bytes consumed from the stream.
        const size_t consumed = source.offset() - reader.buffered();
        if (raw.bytes.size() > consumed || raw.head_len > raw.bytes.size()) std::abort();
        if (raw.head_len > RESPONSE_HEAD_MAX_BYTES) std::abort();
        if (raw.bytes.size() != 0 &&
            std::memcmp(raw.bytes.data(), stream + consumed - raw.bytes.size(), raw.bytes.size()) != 0)
            std::abort();
        DecodedResponse decoded;
        if (decode_response(raw.bytes.data(), raw.bytes.size(), raw.head_len, raw.has_body, &decoded)) {
            if (!raw.has_body && decoded.body_len != 0) std::abort();
            // Both passes agree on which responses carry no body.
            const bool bodiless = decoded.status == 204 || decoded.status == 304 ||
                                  (decoded.status >= 100 && decoded.status < 200);
            if (raw.has_body && (bodiless || method == METHOD_HEAD)) std::abort();
            // Touch every slice so that one pointing outside its block is caught.
            volatile uint8_t sink_byte = 0;
            for (size_t i = 0; i < decoded.header_count; i++) {
                const HeaderEntry& h = decoded.headers[i];
                if (h.name_len) sink_byte = sink_byte ^ h.name[0] ^ h.name[h.name_len - 1];
                if (h.value_len) sink_byte = sink_byte ^ h.value[0] ^ h.value[h.value_len - 1];
            }
            if (decoded.body_len) sink_byte = sink_byte ^ decoded.body[0] ^ decoded.body[decoded.body_len - 1];
            (void)sink_byte;
        }
    }
    std::free(buf);
    return 0;
}
