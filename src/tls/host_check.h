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

// The address an IP-literal host names, by the connector's own rule: its 4
// or 16 bytes in `out`, and their count; 0 for a host name.
size_t host_address(Slice host, uint8_t out[16]);

enum class HostCheck : uint8_t { Match, Mismatch, Malformed };

// A host name: the leaf's dNSName entries when it has a subjectAltName
// extension with at least one entry (other kinds never count), else its
// subject commonName. An address host: iPAddress entries of the same bytes,
// or a dNSName holding the host's text exactly; never a wildcard, never the
// commonName. Malformed when the extension cannot be decoded.
HostCheck certificate_matches_host(const x509_st* leaf, Slice host);

}  // namespace tarnix
