// Wire text rules: ASCII-only case folding, space/tab whitespace, and the
// number syntax used for Content-Length, chunk sizes and the status code.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tarnix {

inline uint8_t ascii_lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }
inline bool is_wire_space(uint8_t c) { return c == ' ' || c == '\t'; }

// Equal length and equal bytes after folding A-Z.
bool ascii_ieq(const uint8_t* a, size_t alen, const char* lower_b, size_t blen);
// Case-insensitive substring search of `lower_word` in the value.
bool ascii_icontains(const uint8_t* hay, size_t n, const char* lower_word, size_t wlen);
// Trims space and tab at both ends.
void trim_wire_space(const uint8_t** p, size_t* n);

enum class NumberStatus : uint8_t { Ok, Invalid, Overflow };

// Parses `n` bytes in `base` (10 or 16) into a value of `bits` bits (16 or
// 64): optional '+' or all-zero '-', '_' allowed between digits, letters as
// digits 10-35, no prefix, no surrounding whitespace.
NumberStatus parse_number(const uint8_t* p, size_t n, unsigned base, unsigned bits, uint64_t* out);

}  // namespace tarnix
