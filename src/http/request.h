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
};

// Serialises request line, engine and caller headers, blank line and body
// into one exactly sized buffer. False when memory runs out or a length
// overflows (nothing is then owned by `out`).
bool build_request(const RequestParts& req, OwnedBytes* out);

}  // namespace tarnix
