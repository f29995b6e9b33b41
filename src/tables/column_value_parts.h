// Pieces shared by the source files behind column_value.h. Inline, as they
// sit on the per-character and per-value paths of a load.
#pragma once

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

namespace tabrix {

inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// `n` bytes plus one zero byte in a new buffer; null when memory runs out.
inline void* newBytesValue(const void* data, size_t n) {
    auto* p = static_cast<char*>(malloc(n + 1));
    if (p == nullptr)
        return nullptr;
    if (n > 0)
        memcpy(p, data, n);
    p[n] = '\0';
    return p;
}

} // namespace tabrix
