// SPDX-License-Identifier: ISC
// The helpers every part of the library uses, and the line counter.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "pipeline/parser.h"

int lineno = 1;

void *pipeline_internal::grow(void *block, size_t *cap, size_t need, size_t size, size_t first)
{
    if (need <= *cap)
        return block;
    size_t n = *cap ? *cap : first;
    while (n < need) {
        if (n > SIZE_MAX / 2 / size) {
            errno = ENOMEM;
            return nullptr;
        }
        n *= 2;
    }
    void *grown = realloc(block, n * size);
    if (grown)
        *cap = n;
    return grown;
}

void pipeline_internal::line_failed(const char *call)
{
    fprintf(stderr, "line %d: %s: %s\n", lineno, call, strerror(errno));
}
