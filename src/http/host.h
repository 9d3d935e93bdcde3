// Host text syntax: IP literals and host names.
#pragma once
#include <cstddef>
#include <cstdint>
#include "platform/socket_types.h"

namespace tarnix {

// Four decimal parts 0..255 without leading zeros ("0" itself allowed).
bool parse_ipv4_literal(const uint8_t* p, size_t n, in_addr* out);
// Up to eight groups of 1-4 hex digits with at most one "::", or
// "::ffff:" + IPv4 literal; no brackets, no zone.
bool parse_ipv6_literal(const uint8_t* p, size_t n, in6_addr* out);
// Labels of 1-63 letters, digits and hyphens, not starting with a hyphen,
// ending with a letter or digit; 1..255 bytes after one trailing dot is
// ignored.
bool is_valid_host_name(const uint8_t* p, size_t n);

}  // namespace tarnix
