// Matching a server certificate against the host the client asked for.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"

struct x509_st;

namespace tarnix {

// One certificate name pattern against the host: equal ignoring ASCII case,
// or "*." + rest where rest has no '*' and equals the host after its first
// dot, unless the host's last label is all digits (an IP literal). Empty
// patterns and empty hosts never match.
bool host_matches_pattern(Slice pattern, Slice host);

enum class HostCheck : uint8_t { Match, Mismatch, Malformed };

// The leaf's dNSName entries when it has a subjectAltName extension with at
// least one entry (iPAddress and other kinds never count), else its subject
// commonName. Malformed when the extension cannot be decoded.
HostCheck certificate_matches_host(const x509_st* leaf, Slice host);

}  // namespace tarnix
