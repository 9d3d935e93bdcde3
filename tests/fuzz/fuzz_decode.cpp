// Decoding a captured response: status line, header lines and the body
// (identity or chunked), with the head end either where a blank line really
// is or anywhere at all.
//
// Input: one control byte, then the captured bytes.
//   byte 0: bit 0 the response has a body; bit 1 the head ends at the first
//           blank line (else at the offset the next two bytes give)
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/decode.h"

using namespace tarnix;

namespace {

bool inside(const uint8_t* p, size_t n, const uint8_t* lo, const uint8_t* hi) {
    return n == 0 || (p >= lo && p + n <= hi);
}

bool has_line_break_or_nul(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] == '\0' || p[i] == '\r' || p[i] == '\n') return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const bool has_body = (data[0] & 1) != 0;
    const bool real_head = (data[0] & 2) != 0;
    size_t head_len = size_t(data[1]) | size_t(data[2]) << 8;
    const size_t len = size - 3;
    // Decoding de-chunks in place: give it a copy of exactly the input's size.
    uint8_t* bytes = static_cast<uint8_t*>(std::malloc(len == 0 ? 1 : len));
    if (bytes == nullptr) return 0;
    if (len != 0) std::memcpy(bytes, data + 3, len);
    if (real_head) {
        head_len = 0;
        for (size_t i = 0; i + 4 <= len; i++) {
            if (std::memcmp(bytes + i, "\r\n\r\n", 4) == 0) {
                head_len = i + 4;
                break;
            }
        }
    }

    DecodedResponse d;
    if (!decode_response(bytes, len, head_len, has_body, &d)) {
        std::free(bytes);
        return 0;
    }
    const uint8_t* end = bytes + len;
    if (head_len > len) std::abort();
    for (size_t i = 0; i < d.header_count; i++) {
        const HeaderEntry& h = d.headers[i];
        if (!inside(h.name, h.name_len, bytes, bytes + head_len) || !inside(h.value, h.value_len, bytes, bytes + head_len))
            std::abort();
        // Nothing that could end a line elsewhere reaches a header.
        if (has_line_break_or_nul(h.name, h.name_len) || has_line_break_or_nul(h.value, h.value_len)) std::abort();
    }
    if (!has_body && d.body_len != 0) std::abort();
    // A body is never longer than what followed the head, de-chunked or not.
    if (d.body_len > len - head_len) std::abort();
    if (!inside(d.body, d.body_len, bytes + head_len, end)) std::abort();
    volatile uint8_t touch = 0;
    if (d.body_len) touch = touch ^ d.body[0] ^ d.body[d.body_len - 1];
    (void)touch;
    std::free(bytes);
    return 0;
}
