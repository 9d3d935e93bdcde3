// Windows takes paths and names as UTF-16; ours are UTF-8.
#pragma once
#include <windows.h>

#include "platform/heap.h"

namespace tarnix {

// A new UTF-16 copy of `s` on the heap (heap_free it), or nullptr when `s`
// is not valid UTF-8 or memory ran out.
inline wchar_t* to_wide(const char* s) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
    if (n <= 0) return nullptr;
    auto* w = static_cast<wchar_t*>(heap_alloc(size_t(n) * sizeof(wchar_t)));
    if (w != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, w, n) != n) {
        heap_free(w);
        w = nullptr;
    }
    return w;
}

}  // namespace tarnix
