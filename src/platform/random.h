// The operating system's cryptographic random source.
#pragma once
#include <cstddef>

namespace tarnix {

// Fills n bytes; false when the source fails.
bool fill_random(void* dst, size_t n);

}  // namespace tarnix
