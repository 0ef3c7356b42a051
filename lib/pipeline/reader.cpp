// SPDX-License-Identifier: ISC
// readLongString: one line of any length from a stream.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "internal.h"
#include "pipeline/parser.h"

namespace {

constexpr size_t kFirstSize = 128;

// The line being read from one stream. A read that a signal interrupts leaves
// it for the next call, so that no input is lost and none is taken for what
// it is not: the start of the line, or that the line was dropped for want of
// memory and its rest is still to be passed over.
struct Partial {
    FILE *stream;
    char *text;
    size_t len, cap;
    bool dropping;
};

enum class Outcome { line, end, interrupted, failed, no_memory };

struct Read {
    Outcome outcome;
    char *line;  // with `line`
    int err;     // with `failed`: why
};

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

bool append(Partial *p, char c)
{
    char *text = static_cast<char *>(pipeline_internal::grow(p->text, &p->cap, p->len + 1, 1, kFirstSize));
    if (!text)
        return false;
    p->text = text;
    p->text[p->len++] = c;
    return true;
}

// Takes the text read so far as the line, terminated, or drops it for want
// of memory.
Read finish(Partial *p)
{
    Read r{Outcome::line, nullptr, 0};
    if (append(p, '\0'))
        r.line = p->text;
    else
        r.outcome = Outcome::no_memory;
    if (!r.line)
        free(p->text);
    *p = Partial{};
    return r;
}

// Reads on from where `p` left off to the end of the line.
Read read_line(Partial *p, FILE *stream)
{
    bool lost = false;  // this call ran out of memory and drops the line
    for (;;) {
        int c = getc(stream);
        if (c == EOF && ferror(stream) && errno == EAGAIN && make_blocking(fileno(stream))) {
            clearerr(stream);
            continue;
        }
        if (c == EOF)
            break;
        if (c == '\n' && !p->dropping)
            return finish(p);
        if (c == '\n') {
            p->dropping = false;
            if (lost)
                return {Outcome::no_memory, nullptr, 0};
        } else if (!p->dropping && !append(p, static_cast<char>(c))) {
            // The rest of the line is read and passed over.
            free(p->text);
            *p = Partial{stream, nullptr, 0, 0, true};
            lost = true;
        }
    }
    int err = errno;
    if (ferror(stream) && err == EINTR) {
        // On a terminal the interrupt abandons the line being typed, as the
        // terminal itself discards what was not yet entered; from a pipe or a
        // file every byte read belongs to the line still being read.
        clearerr(stream);
        if (isatty(fileno(stream)) || (p->len == 0 && !p->dropping)) {
            free(p->text);
            *p = Partial{};
        }
        return {lost ? Outcome::no_memory : Outcome::interrupted, nullptr, 0};
    }
    if (!ferror(stream) && p->len > 0)
        return finish(p);
    free(p->text);
    *p = Partial{};
    if (lost)
        return {Outcome::no_memory, nullptr, 0};
    return {ferror(stream) ? Outcome::failed : Outcome::end, nullptr, err};
}

}  // namespace

extern "C" char *readLongString(FILE *stream)
{
    static Partial held;
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
    if (held.stream != stream) {
        free(held.text);
        held = Partial{stream, nullptr, 0, 0, false};
    }

    int before = errno;
    Read r = read_line(&held, stream);
    switch (r.outcome) {
    case Outcome::line:
        return r.line;
    case Outcome::end:
        errno = before;
        break;
    case Outcome::interrupted:
        errno = EINTR;
        break;
    case Outcome::failed:
        errno = r.err;
        break;
    case Outcome::no_memory:
        errno = ENOMEM;
        break;
    }
    return nullptr;
}
