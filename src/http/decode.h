// Decoding a captured response into status, headers and body.
#pragma once
#include <cstddef>
#include <cstdint>

#include "http/header.h"

namespace tarnix {

struct DecodedResponse {
    uint16_t status = 0;
    HeaderEntry* headers = nullptr;  // slices into the captured bytes; owned array
    size_t header_count = 0;
    const uint8_t* body = nullptr;   // slice of the captured bytes
    size_t body_len = 0;

    DecodedResponse() = default;
    DecodedResponse(const DecodedResponse&) = delete;
    DecodedResponse& operator=(const DecodedResponse&) = delete;
    ~DecodedResponse();
};

// The status code of a status line without its line ending: the text after
// the first space, up to the next space or the end, read as a 16-bit number.
// Framing and decoding both use this, so they agree on which responses carry
// a body. False when the line holds no such number.
bool status_code_of(const uint8_t* line, size_t len, uint16_t* code);

// A Content-Length value: one number, or a list of equal ones (a repeat
// some servers and proxies send). Whitespace around the commas is skipped;
// around the whole value it is the caller's to trim. False for anything
// else, two different numbers included. Framing and decoding both use this.
bool content_length_of(const uint8_t* p, size_t n, uint64_t* out);

// `head_len` is where the framing pass ended the head: the head must end in
// CRLF CRLF exactly there, and a bare CR or LF, or a NUL, anywhere in it fails
// it. Without a body (`has_body` false) the body is empty whatever the headers
// announce. False for any failure (memory included).
// A chunked body is de-chunked in place, over the capture's body bytes.
// With `streamed`, the body went elsewhere as it arrived: only the head is
// here, checked as for a body, and the body is empty.
bool decode_response(uint8_t* bytes, size_t len, size_t head_len, bool has_body, DecodedResponse* out,
                     bool streamed = false);

}  // namespace tarnix
