// readLongString: one line of any length from a stream.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "grow.h"
#include "pipeline/parser.h"

namespace {

using pipeline_internal::reserve;

constexpr size_t kFirstSize = 128;

// What a read interrupted by a signal leaves for the next call on the same
// stream, so that no input is lost and none is taken for what it is not: the
// start of the line, or that the line was dropped for want of memory and its
// rest is still to be passed over.
struct Carry {
    FILE *stream;
    char *text;
    size_t len, cap;
    bool dropping;
};
Carry carry;

// A program we ran may have left our shared input non-blocking; a read that
// would block is then an error we can undo. True if the descriptor was
// non-blocking and is blocking now.
bool make_blocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || !(flags & O_NONBLOCK))
        return false;
    return fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

extern "C" char *readLongString(FILE *stream)
{
    if (!stream) {
        errno = EINVAL;
        return nullptr;
    }
    // The end of input stays the end, as it does for getc.
    if (feof(stream))
        return nullptr;
    // An interrupted or failed read left the error indicator set; this call
    // tries again.
    clearerr(stream);

    Carry from{};
    if (carry.stream == stream)
        from = carry;
    else
        free(carry.text);
    carry = Carry{};
    char *buf = from.text;
    size_t len = from.len, cap = from.cap;
    bool dropping = from.dropping;

    bool newline = false, nomem = false;
    flockfile(stream);
    for (;;) {
        int c = getc_unlocked(stream);
        if (c == EOF) {
            if (ferror_unlocked(stream) && errno == EAGAIN && make_blocking(fileno(stream))) {
                clearerr_unlocked(stream);
                continue;
            }
            break;
        }
        if (c == '\n') {
            if (!dropping) {
                newline = true;
                break;
            }
            dropping = false;
            continue;
        }
        // Past a failed allocation the rest of the line is only consumed.
        if (dropping || nomem)
            continue;
        if (!reserve(&buf, &cap, len + 2, kFirstSize)) {
            nomem = true;
            continue;
        }
        buf[len++] = static_cast<char>(c);
    }
    funlockfile(stream);
    int why = errno;

    if (nomem) {
        free(buf);
        buf = nullptr;
        len = cap = 0;
        dropping = !newline;
    } else if (newline || (!ferror(stream) && len > 0)) {
        if (!reserve(&buf, &cap, len + 1, kFirstSize)) {
            free(buf);
            errno = ENOMEM;
            return nullptr;
        }
        buf[len] = '\0';
        return buf;
    }
    if (ferror(stream) && why == EINTR) {
        // On a terminal the interrupt abandons the line being typed, as the
        // terminal itself discards what was not yet entered; from a pipe or a
        // file every byte read belongs to the line still being read.
        if ((len > 0 || dropping) && !isatty(fileno(stream)))
            carry = Carry{stream, buf, len, cap, dropping};
        else
            free(buf);
        clearerr(stream);
        errno = nomem ? ENOMEM : EINTR;
        return nullptr;
    }
    free(buf);
    errno = nomem ? ENOMEM : why;
    return nullptr;
}
