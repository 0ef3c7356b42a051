#include "slurp/myline.h"

#include <sys/single_threaded.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr size_t kInitialSize = 128;
// Stored in the last byte fgets may fill: if it is still there afterwards,
// the read stopped early, at a newline or at the end of the input.
constexpr char kSentinel = '?';
constexpr size_t kFailed = static_cast<size_t>(-1);

// strlen(p) for a string that ends before `end`, the end of the buffer. Most
// lines are short, and for them a call to strlen costs more than the scan:
// where the buffer allows, its first 64 bytes are checked right here. Bytes
// past the zero byte may be stale, but they lie inside the buffer and only
// the first zero counts.
inline size_t length(const char *p, [[maybe_unused]] const char *end)
{
#ifdef __SSE2__
    if (end - p >= 64) {
        const __m128i zero = _mm_setzero_si128();
        const auto zeros_in = [&](int block) -> uint64_t {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p) + block);
            return static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)));
        };
        const uint64_t zeros = zeros_in(0) | zeros_in(1) << 16 | zeros_in(2) << 32 | zeros_in(3) << 48;
        if (zeros != 0)
            return static_cast<size_t>(__builtin_ctzll(zeros));
        return 64 + strlen(p + 64);
    }
#endif
    return strlen(p);
}

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

// Reads a line that did not end within the first `seen` characters already
// in the buffer, doubling the buffer as needed. On success `*tail` is the
// start of the part read last, still to be measured.
[[gnu::noinline]] size_t read_rest(char **lineptr, size_t *n, FILE *stream, size_t seen, const char **tail)
{
    for (;;) {
        if (seen + 1 >= *n) {
            // Doubling past the largest size_t would wrap to a tiny size,
            // and realloc(p, 0) frees the caller's line.
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
        // fgets counts in int: a buffer beyond 2 GiB is filled in pieces.
        const size_t room = *n - seen;
        const int piece = room > INT_MAX ? INT_MAX : static_cast<int>(room);
        char *const last = *lineptr + seen + piece - 1;
        *last = kSentinel;
        if (fgets_unlocked(*lineptr + seen, piece, stream) == nullptr) {
            // A last line cut short by the end of the input is still a line;
            // one cut short by a read error is not, and is kept for the
            // caller the way a failed growth keeps it.
            (*lineptr)[seen] = '\0';
            return ferror_unlocked(stream) ? kFailed : seen;
        }
        if (*last == kSentinel || last[-1] == '\n') {
            *tail = *lineptr + seen;
            return seen;
        }
        // The piece is full; its zero byte is overwritten by the next one.
        seen += piece - 1;
    }
}

// Everything after the argument checks, with the stream locked by the caller.
// When the line is complete, its last part is left to the caller to measure
// through `tail`, once the stream is released.
inline size_t read_line(char **lineptr, size_t *n, FILE *stream, const char **tail)
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

    // The common case, a line that fits the buffer as it is, stays in here.
    char *const line = *lineptr;
    const size_t size = *n;
    const int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    char *const last = line + piece - 1;
    *last = kSentinel;
    if (fgets_unlocked(line, piece, stream) == nullptr)
        return kFailed;
    if (*last == kSentinel || last[-1] == '\n') {
        *tail = line;
        return 0;
    }
    return read_rest(lineptr, n, stream, static_cast<size_t>(piece) - 1, tail);
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
    // thread in the process there is nobody to keep out, and the lock would
    // cost as much as the rest of a short line.
    const char *tail = nullptr;
    const bool lock = !__libc_single_threaded;
    if (lock)
        flockfile(stream);
    size_t result = read_line(lineptr, n, stream, &tail);
    if (lock)
        funlockfile(stream);
    if (tail != nullptr)
        result += length(tail, *lineptr + *n);
    return result;
}
