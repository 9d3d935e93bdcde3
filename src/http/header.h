// One header field: name and value as byte slices.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tarnix {

struct HeaderEntry {
    const uint8_t* name;
    size_t name_len;
    const uint8_t* value;
    size_t value_len;
};

}  // namespace tarnix
