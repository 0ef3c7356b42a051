// Growth by doubling, for the library's own buffers (not installed).
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace pipeline_internal {

// Makes room for `need` elements in `*data`, which has room for `*cap`,
// doubling from `first`. False, with both untouched and errno ENOMEM, when
// the size would overflow or memory runs out.
template <class T>
bool reserve(T **data, size_t *cap, size_t need, size_t first)
{
    if (need <= *cap)
        return true;
    size_t size = *cap ? *cap : first;
    while (size < need) {
        if (size > SIZE_MAX / 2 / sizeof(T)) {
            errno = ENOMEM;
            return false;
        }
        size *= 2;
    }
    T *grown = static_cast<T *>(realloc(*data, size * sizeof(T)));
    if (!grown)
        return false;
    *data = grown;
    *cap = size;
    return true;
}

}  // namespace pipeline_internal
