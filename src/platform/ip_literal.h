// IP address literals in host text.
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

}  // namespace tarnix
