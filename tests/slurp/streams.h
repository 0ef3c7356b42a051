// SPDX-License-Identifier: ISC
// Streams and line buffers for the myline tests.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/types.h>

#include "slurp/myline.h"

namespace slurp_test {

inline constexpr size_t kEnd = static_cast<size_t>(-1);

// A read-only memory stream over its own copy of `contents` (any bytes).
class MemStream {
public:
    explicit MemStream(std::string contents) : data_(std::move(contents))
    {
        file_ = fmemopen(data_.data(), data_.size(), "r");
        if (file_ == nullptr)
            std::abort();
    }
    ~MemStream() { (void)fclose(file_); }  // read-only: nothing to lose
    MemStream(const MemStream &) = delete;
    MemStream &operator=(const MemStream &) = delete;
    FILE *get() const { return file_; }

private:
    std::string data_;
    FILE *file_;
};

// The caller's side of myline: a heap block of `size` bytes filled with '#'
// (no block for 0), freed at the end.
struct LineBuffer {
    char *line = nullptr;
    size_t n = 0;

    explicit LineBuffer(size_t size = 0)
    {
        if (size > 0) {
            line = static_cast<char *>(malloc(size));
            if (line == nullptr)
                std::abort();
            memset(line, '#', size);
            n = size;
        }
    }
    ~LineBuffer() { free(line); }
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;

    size_t read(FILE *stream) { return myline(&line, &n, stream); }
};

// A stream whose bytes are made up as they are read: `length` copies of
// `fill`, then `tail`, then the end of the input. Optionally fails with EIO
// after `fail_after` bytes instead. Lets a test read gigabytes without holding
// them. The stream reads in pieces of `chunk` bytes.
struct Generated {
    unsigned long long length;
    char fill;
    std::string tail;
    unsigned long long fail_after = ~0ULL;
    unsigned long long pos = 0;
};

inline ssize_t generated_read(void *cookie, char *buf, size_t size)
{
    auto *g = static_cast<Generated *>(cookie);
    if (g->pos >= g->fail_after) {
        errno = EIO;
        return -1;
    }
    const unsigned long long total = g->length + g->tail.size();
    unsigned long long want = size;
    if (want > total - g->pos)
        want = total - g->pos;
    if (want > g->fail_after - g->pos)
        want = g->fail_after - g->pos;
    for (size_t i = 0; i < want;) {
        if (g->pos + i < g->length) {
            unsigned long long run = g->length - (g->pos + i);
            size_t fill = static_cast<size_t>(run < want - i ? run : want - i);
            memset(buf + i, g->fill, fill);
            i += fill;
        } else {
            buf[i] = g->tail[static_cast<size_t>(g->pos + i - g->length)];
            ++i;
        }
    }
    g->pos += want;
    return static_cast<ssize_t>(want);
}

inline FILE *open_generated(Generated *g, size_t chunk = BUFSIZ)
{
    cookie_io_functions_t io{};
    io.read = generated_read;
    FILE *f = fopencookie(g, "r", io);
    if (f == nullptr || setvbuf(f, nullptr, _IOFBF, chunk) != 0)
        std::abort();
    return f;
}

}  // namespace slurp_test
