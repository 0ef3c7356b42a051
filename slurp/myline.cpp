// SPDX-License-Identifier: ISC
#include "slurp/myline.h"

#include <sys/single_threaded.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kInitialSize = 128;
constexpr size_t kFailed = static_cast<size_t>(-1);

// Makes `*lineptr` a buffer that a line can be read into: a fresh one of the
// initial size, or a caller's single byte, which holds no more than the
// terminating zero, grown to it.
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

// Doubles the full buffer, whose `seen` bytes stay with the caller as a
// string if that fails.
bool grow(char **lineptr, size_t *n, size_t seen)
{
    // Doubling past the largest size_t would wrap to a tiny size, and
    // realloc(p, 0) frees the caller's line.
    if (*n > SIZE_MAX / 2) {
        errno = EOVERFLOW;
    } else if (char *const ret = static_cast<char *>(realloc(*lineptr, *n * 2)); ret != nullptr) {
        *lineptr = ret;
        *n *= 2;
        return true;
    }
    (*lineptr)[seen] = '\0';
    return false;
}

// The line's length as stored: a zero byte in the part stored since the
// buffer last grew, from `fresh` on, ends it there.
size_t finish(char *line, size_t fresh, size_t seen)
{
    line[seen] = '\0';
    return fresh + strlen(line + fresh);
}

// Everything after the argument checks, with the stream locked by the caller.
//
// The bytes are moved from the stream's buffer by hand, as the C library's
// own line readers do, rather than with fgets: a failing fgets leaves its
// array indeterminate and says nothing of what it had taken from the stream,
// while here every byte taken is already stored when a read fails.
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

    size_t seen = 0;   // bytes of the line stored
    size_t fresh = 0;  // where the part stored since the last growth begins
    for (;;) {
        // A full buffer grows only once the line is known to go on, so that
        // a line that fills it exactly, newline and all, leaves it as it is.
        if (seen + 1 == *n) {
            if (!grow(lineptr, n, seen))
                return kFailed;
            fresh = seen;
        }
        const size_t room = *n - 1 - seen;
        const size_t buffered = static_cast<size_t>(stream->_IO_read_end - stream->_IO_read_ptr);
        if (buffered == 0) {
            // The buffer is refilled by a read that hands over its first
            // byte. At the end of the input, or when the read fails, what is
            // stored is the line as far as it goes; a failure stays in the
            // stream's error indicator, so the next call reports it.
            const int c = getc_unlocked(stream);
            if (c == EOF)
                return seen == 0 ? kFailed : finish(*lineptr, fresh, seen);
            (*lineptr)[seen++] = static_cast<char>(c);
            if (c == '\n')
                return finish(*lineptr, fresh, seen);
            continue;
        }
        size_t take = buffered < room ? buffered : room;
        const void *const newline = memchr(stream->_IO_read_ptr, '\n', take);
        if (newline != nullptr)
            take = static_cast<size_t>(static_cast<const char *>(newline) - stream->_IO_read_ptr) + 1;
        memcpy(*lineptr + seen, stream->_IO_read_ptr, take);
        stream->_IO_read_ptr += take;
        seen += take;
        if (newline != nullptr)
            return finish(*lineptr, fresh, seen);
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
