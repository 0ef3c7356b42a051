// SPDX-License-Identifier: ISC
#include "slurp/myline.h"

#include <sys/single_threaded.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kInitialSize = 128;
// Planted in the final byte fgets could write: if it survives the call, the
// read stopped short of the buffer's end, at a newline or at the end of the
// input.
constexpr char kSentinel = '?';
constexpr size_t kFailed = static_cast<size_t>(-1);

// Makes `*lineptr` a buffer that a line can be read into: a fresh one of the
// initial size, or a caller's single byte grown to it, since one byte leaves
// no byte before the last to tell a full line from a cut one.
bool prepare(char **lineptr, size_t *n)
{
    if (*lineptr == nullptr) {
        *n = kInitialSize;
        *lineptr = static_cast<char *>(malloc(kInitialSize));
        return *lineptr != nullptr;
    }
    char *grown = static_cast<char *>(realloc(*lineptr, kInitialSize));
    if (grown == nullptr)
        return false;
    *lineptr = grown;
    *n = kInitialSize;
    return true;
}

// Everything after the argument checks, with the stream locked by the caller.
size_t read_line(char **lineptr, size_t *n, FILE *stream)
{
    if (ferror_unlocked(stream)) {
        if (errno == 0)
            errno = EINVAL;
        return kFailed;
    }
    if (feof_unlocked(stream))
        return kFailed;
    if ((*lineptr == nullptr || *n == 1) && !prepare(lineptr, n))
        return kFailed;

    size_t seen = 0;
    for (;;) {
        // fgets counts in int: a buffer beyond 2 GiB is filled in pieces.
        const size_t room = *n - seen;
        const int piece = room > INT_MAX ? INT_MAX : static_cast<int>(room);
        char *const last = *lineptr + seen + piece - 1;
        *last = kSentinel;
        if (fgets_unlocked(*lineptr + seen, piece, stream) == nullptr) {
            // Whether the input ended or a read failed, what is stored is the
            // line as far as it goes. A failure stays in the stream's error
            // indicator, so the next call reports it.
            if (seen == 0)
                return kFailed;
            (*lineptr)[seen] = '\0';
            return seen;
        }
        if (*last == kSentinel || last[-1] == '\n')
            return seen + strlen(*lineptr + seen);
        // The piece is full; its zero byte is overwritten by the next one.
        seen += piece - 1;
        if (seen + 1 < *n)
            continue;
        // Doubling past the largest size_t would wrap to a tiny size, and
        // realloc(p, 0) frees the caller's line.
        if (*n > SIZE_MAX / 2) {
            errno = EOVERFLOW;
            return kFailed;
        }
        const size_t newlen = *n * 2;
        char *const ret = static_cast<char *>(realloc(*lineptr, newlen));
        if (ret == nullptr)
            return kFailed;
        *lineptr = ret;
        *n = newlen;
    }
}

}  // namespace

extern "C" size_t myline(char **lineptr, size_t *n, FILE *stream)
{
    if (lineptr == nullptr || n == nullptr || stream == nullptr || (*n == 0 && *lineptr != nullptr)) {
        errno = EINVAL;
        return kFailed;
    }
    // One lock for the whole line: no other thread's read lands in the
    // middle of it, and the reads inside need not lock again. With no other
    // thread in the process there is nobody to keep out; skipping the lock
    // then reads short lines in about a fifth less time (bench/myline.sh).
    const bool lock = !__libc_single_threaded;
    if (lock)
        flockfile(stream);
    const size_t result = read_line(lineptr, n, stream);
    if (lock)
        funlockfile(stream);
    return result;
}
