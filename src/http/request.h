// Request serialisation.
#pragma once
#include <cstddef>
#include <cstdint>

#include "http/header.h"
#include "platform/bytes.h"

namespace tarnix {

enum : uint8_t { METHOD_GET = 0, METHOD_POST, METHOD_PUT, METHOD_PATCH, METHOD_DELETE, METHOD_HEAD, METHOD_OPTIONS };
constexpr uint8_t METHOD_COUNT = 7;
extern const char* const METHOD_NAMES[METHOD_COUNT];

struct RequestParts {
    uint8_t method;  // 0..6
    Slice target;
    Slice host;
    uint16_t port;
    const HeaderEntry* headers;
    size_t header_count;
    Slice body;
    bool tls = false;  // the scheme's own port (443, else 80) is left out of Host
    bool omit_host = false;    // the caller's headers carry Host (a forwarding proxy)
    Slice proxy_authorization;  // written when not empty
};

// What may stand in each part of a request. A target holds no space and no
// control byte (either would split the request line on some server); a
// header name is a non-empty token; a header value holds no CR, LF or NUL.
bool is_request_target(const uint8_t* p, size_t n);
bool is_header_name(const uint8_t* p, size_t n);
bool is_header_value(const uint8_t* p, size_t n);

// Serialises the request line, engine and caller headers and the blank line
// (the body is sent from where it lies) into `buf` when they fit in `cap`
// bytes, else into a heap block handed to `spill`. Returns the head; a null
// slice when memory runs out, a length overflows, or the request is refused:
// the method is unknown or a part fails the checks above (`*refused` is then
// set, when given). Nothing refused is ever written.
Slice build_request_head(const RequestParts& req, uint8_t* buf, size_t cap, OwnedBytes* spill,
                         bool* refused = nullptr);

}  // namespace tarnix
