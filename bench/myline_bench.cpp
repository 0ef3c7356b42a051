// SPDX-License-Identifier: ISC
// Throughput of myline beside glibc getline and beside the floor, fgets into a
// fixed 64 KiB buffer that only measures each line: the same 256 MB file,
// held in the page cache, read line by line from a fresh buffer on every
// pass. Three shapes: short lines (about 40 characters), long lines (about
// 1 MB) and a single line of 256 MB.
//
// MYLINE_OTHER names a shared object with another build of myline (of an
// earlier revision, say); it is measured beside this one as "other", in the
// same interleaved run.
//
// Re-run: bench/myline.sh [repetitions [revision]]   (builds, runs, prints medians and ratios)
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "slurp/myline.h"

namespace {

constexpr size_t kTotal = size_t{256} << 20;

enum Shape { kShort, kLong, kHuge, kShapes };
constexpr const char *kShapeNames[kShapes] = {"short", "long", "huge"};

struct Input {
    FILE *file = nullptr;
    size_t bytes = 0;
    size_t lines = 0;
};

Input inputs[kShapes];

// Line lengths (newline included) for each shape, adding up to kTotal.
std::vector<size_t> line_lengths(Shape shape)
{
    std::vector<size_t> lengths;
    uint32_t state = 12345;
    size_t left = kTotal;
    while (left > 0) {
        state = state * 1103515245 + 12345;
        size_t want = 0;
        switch (shape) {
        case kShort:
            want = 30 + (state >> 16) % 21;
            break;
        case kLong:
            want = 950000 + (state >> 8) % 100000;
            break;
        default:
            want = kTotal;
            break;
        }
        want = want < left ? want : left;
        lengths.push_back(want);
        left -= want;
    }
    return lengths;
}

// The file is unlinked as soon as it is written, so nothing is left behind
// however the run ends; the open stream keeps it (and its pages) alive.
Input &input(Shape shape)
{
    Input &in = inputs[shape];
    if (in.file != nullptr)
        return in;
    const char *dir = getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/myline_bench.XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0 || unlink(path.c_str()) != 0) {
        perror(path.c_str());
        exit(1);
    }
    in.file = fdopen(fd, "w+");
    if (in.file == nullptr) {
        perror("fdopen");
        exit(1);
    }
    std::string text(1 << 20, 'x');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    for (size_t len : line_lengths(shape)) {
        for (size_t left = len - 1; left > 0;) {
            size_t chunk = left < text.size() ? left : text.size();
            if (fwrite(text.data(), 1, chunk, in.file) != chunk) {
                perror("fwrite");
                exit(1);
            }
            left -= chunk;
        }
        if (putc('\n', in.file) == EOF) {
            perror("putc");
            exit(1);
        }
        in.bytes += len;
        ++in.lines;
    }
    if (fflush(in.file) != 0) {
        perror("fflush");
        exit(1);
    }
    return in;
}

using Reader = size_t (*)(char **, size_t *, FILE *);

size_t via_getline(char **lineptr, size_t *n, FILE *stream)
{
    return static_cast<size_t>(getline(lineptr, n, stream));
}

// Takes in a whole line, 64 KiB at a time, without keeping it.
size_t via_fgets(char **, size_t *, FILE *stream)
{
    static char piece[1 << 16];
    size_t len = 0;
    while (fgets(piece, sizeof piece, stream) != nullptr) {
        const size_t got = strlen(piece);
        len += got;
        if (got > 0 && piece[got - 1] == '\n')
            return len;
    }
    return len > 0 ? len : static_cast<size_t>(-1);
}

void read_all(benchmark::State &state, Reader reader, Shape shape)
{
    Input &in = input(shape);
    for (auto _ : state) {
        rewind(in.file);
        char *line = nullptr;
        size_t n = 0;
        size_t bytes = 0;
        size_t lines = 0;
        for (size_t len; (len = reader(&line, &n, in.file)) != static_cast<size_t>(-1); ++lines)
            bytes += len;
        free(line);
        if (bytes != in.bytes || lines != in.lines) {
            state.SkipWithError("the reader did not return the whole file");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.bytes));
}

}  // namespace

int main(int argc, char **argv)
{
    struct {
        const char *name;
        Reader reader;
    } readers[] = {{"fgets", via_fgets}, {"getline", via_getline}, {"myline", myline}, {"other", nullptr}};
    if (const char *other = getenv("MYLINE_OTHER"); other != nullptr && *other != '\0') {
        void *lib = dlopen(other, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr || (readers[3].reader = reinterpret_cast<Reader>(dlsym(lib, "myline"))) == nullptr) {
            fprintf(stderr, "%s: %s\n", other, dlerror());
            return 1;
        }
    }
    for (int shape = 0; shape < kShapes; ++shape)
        for (const auto &r : readers)
            if (r.reader != nullptr)
                benchmark::RegisterBenchmark((std::string(r.name) + "/" + kShapeNames[shape]).c_str(), read_all,
                                             r.reader, Shape(shape))
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (Input &in : inputs)
        if (in.file != nullptr)
            (void)fclose(in.file);  // read-only by now: nothing to lose
    return 0;
}
