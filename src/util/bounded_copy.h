// Copies into fixed-size text buffers that must stay terminated.
#pragma once

#include <cstddef>
#include <cstring>

namespace oru {

// Copies at most size - 1 bytes of src (NULL counts as empty) into dst and
// terminates it. Does nothing when size is 0.
inline void bounded_copy(char *dst, size_t size, const char *src) {
    if (!dst || size == 0) return;
    size_t n = src ? strnlen(src, size - 1) : 0;
    std::memcpy(dst, src ? src : "", n);
    dst[n] = '\0';
}

} // namespace oru
