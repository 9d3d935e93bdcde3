// Included first in every Windows build of the engine: the few POSIX names
// the portable files use, mapped onto the C runtime's own.
#pragma once
#include <fcntl.h>

// Files are opened not inherited by children, and read as bytes: the C
// runtime's default text mode would drop carriage returns.
#ifndef O_CLOEXEC
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif

#include <string.h>

// The C runtime has no memmem: a memchr-driven search does the same.
static inline void* memmem(const void* hay, size_t hay_len, const void* needle, size_t n) {
    if (n == 0) return const_cast<void*>(hay);
    const unsigned char* p = static_cast<const unsigned char*>(hay);
    const unsigned char* end = p + hay_len;
    const unsigned char first = *static_cast<const unsigned char*>(needle);
    while (static_cast<size_t>(end - p) >= n) {
        p = static_cast<const unsigned char*>(memchr(p, first, static_cast<size_t>(end - p) - n + 1));
        if (p == nullptr) return nullptr;
        if (memcmp(p, needle, n) == 0) return const_cast<unsigned char*>(p);
        ++p;
    }
    return nullptr;
}
