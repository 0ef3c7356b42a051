#include "myline.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kInitialSize = 128;
// Stored in the last byte fgets may fill: if it is still there afterwards,
// the read stopped early, at a newline or at the end of the input.
constexpr char kSentinel = '?';
constexpr size_t kFailed = static_cast<size_t>(-1);

// Everything after the argument checks, with the stream locked by the caller.
// When the line is complete its last piece still has to be measured: that is
// left to the caller through `tail`, to be done after the stream is released.
size_t read_line(char **lineptr, size_t *n, FILE *stream, const char **tail)
{
    if (ferror_unlocked(stream)) {
        if (errno == 0)
            errno = EINVAL;
        return kFailed;
    }
    if (feof_unlocked(stream))
        return kFailed;

    if (*lineptr == nullptr) {
        *n = kInitialSize;
        *lineptr = static_cast<char *>(malloc(kInitialSize));
        if (*lineptr == nullptr)
            return kFailed;
    } else if (*n == 1) {
        // One byte has no byte before the last to tell a full line from a
        // cut one; start such a buffer at the size a fresh one gets.
        char *grown = static_cast<char *>(realloc(*lineptr, kInitialSize));
        if (grown == nullptr)
            return kFailed;
        *lineptr = grown;
        *n = kInitialSize;
    }

    size_t seen = 0;
    for (;;) {
        // fgets counts in int: a buffer beyond 2 GiB is filled in pieces.
        const size_t room = *n - seen;
        const int piece = room > INT_MAX ? INT_MAX : static_cast<int>(room);
        char *const last = *lineptr + seen + piece - 1;
        *last = kSentinel;
        if (fgets_unlocked(*lineptr + seen, piece, stream) == nullptr) {
            // A last line cut short by the end of the input is still a line.
            if (seen == 0)
                return kFailed;
            (*lineptr)[seen] = '\0';
            return seen;
        }
        if (*last == kSentinel || last[-1] == '\n') {
            *tail = *lineptr + seen;
            return seen;
        }

        // The piece is full and the line goes on; its zero byte is overwritten next.
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
    // middle of it, and the reads inside need not lock again.
    const char *tail = nullptr;
    flockfile(stream);
    size_t result = read_line(lineptr, n, stream, &tail);
    funlockfile(stream);
    if (tail != nullptr)
        result += strlen(tail);
    return result;
}
