// Host text syntax: IP literals and host names.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/ip_literal.h"

namespace tarnix {

// Labels of 1-63 letters, digits and hyphens, not starting with a hyphen,
// ending with a letter or digit; 1..255 bytes after one trailing dot is
// ignored.
bool is_valid_host_name(const uint8_t* p, size_t n);

}  // namespace tarnix
