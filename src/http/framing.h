// Sending a request and capturing exactly one response.
#pragma once
#include <cstddef>
#include <cstdint>

#include "http/error.h"
#include "platform/bytes.h"
#include "platform/stream.h"

namespace tarnix {

struct RawResponse {
    OwnedBytes bytes;       // the final response as read, unaltered
    size_t head_len = 0;    // bytes of `bytes` up to and including the blank line
    bool has_body = true;   // false for HEAD, 101, 204 and 304 responses
    bool reusable = false;  // the connection may carry another request
    bool answered = false;  // failed once the server had sent something: it saw the request
    bool streamed = false;  // the body went to a sink: `bytes` holds the head only
    ErrorKind error = ErrorKind::None;
};

// Where a response body goes instead of memory, as it arrives.
class BodySink : public ByteSink {
public:
    // The final response's head is in: its status and the body's announced
    // length (-1 when unknown, 0 when it has none). Comes before any body
    // byte, once per response; false fails the exchange.
    virtual bool begin(int status, int64_t length) = 0;
};

// What a server may make us hold outside a body: every head of one exchange
// (interim ones included) and the trailer section together. A response past
// either cap fails as malformed framing, and memory stays within the cap.
// 256 KiB is Chrome's figure, close to curl's 300 KiB; 1,000 field lines is
// ten times what hyper and Python's http.client allow, a limit large sites
// have been seen to pass. Each line is further bounded by the reader's
// buffer.
constexpr size_t RESPONSE_HEAD_MAX_BYTES = size_t(256) << 10;
constexpr size_t RESPONSE_HEAD_MAX_FIELDS = 1000;

// Writes the request (`request`, then `body`), flushes `writer` (and
// `inner`, the socket writer under a TLS writer, when given), then reads one
// response from `reader`. `method` is the request's method ordinal: HEAD
// responses, 204, 304 and 101 have no body; interim 1xx responses (not 101)
// are read and dropped. A response whose head and body, as they arrive,
// pass `max_response` bytes fails with ResponseTooLarge as soon as that is
// known; nothing past the limit is kept.
// When the send fails, a whole response the server already sent (an early
// 413 before it closed) is returned instead of the failure, never reusable.
// `socket`, when given, is the connection's socket: reads after a failed
// send then wait only briefly.
// With `body_sink`, the final response's body goes there (de-chunked, its
// trailers dropped) and only its head is captured; the limit counts it all
// the same.
RawResponse send_and_receive(ByteSink& writer, BufferedReader& reader, Slice request, ByteSink* inner,
                             uint8_t method, Slice body = Slice{}, uint64_t max_response = UINT64_MAX,
                             int socket = -1, BodySink* body_sink = nullptr);

}  // namespace tarnix
