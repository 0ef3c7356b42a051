// SPDX-License-Identifier: ISC
// myline at the edges of its buffer, on refused calls and failing streams,
// with very long lines, and line for line against getline.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "expect.h"
#include "run.h"
#include "streams.h"

namespace {

using slurp_test::Generated;
using slurp_test::kEnd;
using slurp_test::LineBuffer;
using slurp_test::MemStream;

std::string letters(size_t count)
{
    std::string s(count, ' ');
    for (size_t i = 0; i < count; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

struct Call {
    size_t result;
    std::string line;
    size_t n;  // the buffer size after the call
    bool operator==(const Call &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Call &c)
{
    return os << "{" << c.result << ", \"" << ts::visible(c.line.substr(0, 40))
              << (c.line.size() > 40 ? "..." : "") << "\" (" << c.line.size() << "), n=" << c.n << "}";
}

// Reads `input` line by line until myline reports the end, starting from a
// caller buffer of `initial` bytes (none for 0). `final_n` gets the size after
// the last call.
std::vector<Call> read_all(const std::string &input, size_t initial, size_t *final_n = nullptr)
{
    MemStream in(input);
    LineBuffer buf(initial);
    std::vector<Call> calls;
    for (;;) {
        errno = 0;
        size_t got = buf.read(in.get());
        if (got == kEnd) {
            EXPECT_EQ(errno, 0) << "the end of the input is not an error";
            break;
        }
        EXPECT_EQ(buf.line[got], '\0') << "line " << calls.size() << " is not terminated at its length";
        calls.push_back({got, std::string(buf.line, got), buf.n});
        if (calls.size() > input.size())
            break;  // more lines than bytes: stop rather than loop forever
    }
    if (final_n != nullptr)
        *final_n = buf.n;
    return calls;
}

struct BoundaryCase {
    const char *name;
    std::string input;
    size_t initial;
    std::vector<Call> want;
    size_t final_n;
};

std::vector<BoundaryCase> boundary_cases()
{
    const std::string l126 = letters(126) + "\n", l127 = letters(127) + "\n";
    const std::string l254 = letters(254) + "\n", l255 = letters(255) + "\n";
    return {
        {"newline_in_byte_before_last", l126, 0, {{127, l126, 128}}, 128},
        {"one_more_grows_to_256", l127, 0, {{128, l127, 256}}, 256},
        {"second_block_filled_exactly", l254, 0, {{255, l254, 256}}, 256},
        {"one_more_grows_to_512", l255, 0, {{256, l255, 512}}, 512},
        {"unterminated_127", letters(127), 0, {{127, letters(127), 256}}, 256},
        {"unterminated_255", letters(255), 0, {{255, letters(255), 512}}, 512},
        {"unterminated_511", letters(511), 0, {{511, letters(511), 1024}}, 1024},
        {"unterminated_short", "end", 0, {{3, "end", 128}}, 128},
        {"empty_input", "", 0, {}, 128},
        {"empty_lines", "\n\n", 0, {{1, "\n", 128}, {1, "\n", 128}}, 128},
        {"reused_1024_stays", "short\nlines\n", 1024, {{6, "short\n", 1024}, {6, "lines\n", 1024}}, 1024},
        {"one_byte_buffer", "hi\n", 1, {{3, "hi\n", 128}}, 128},
        {"two_byte_buffer_doubles", "abc\n", 2, {{4, "abc\n", 8}}, 8},
        {"odd_size_doubles", letters(150) + "\n", 100, {{151, letters(150) + "\n", 200}}, 200},
        {"many_lines_one_buffer",
         "a\n" + letters(300) + "\n\n" + l126 + "z",
         0,
         {{2, "a\n", 128}, {301, letters(300) + "\n", 512}, {1, "\n", 512}, {127, l126, 512}, {1, "z", 512}},
         512},
    };
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BoundaryCase &c, std::ostream *os) { *os << c.name; }

class Boundaries : public testing::TestWithParam<BoundaryCase> {};

TEST_P(Boundaries, LinesResultsAndSizes)
{
    const BoundaryCase &c = GetParam();
    size_t final_n = 0;
    EXPECT_EQ(read_all(c.input, c.initial, &final_n), c.want);
    EXPECT_EQ(final_n, c.final_n);
}

INSTANTIATE_TEST_SUITE_P(Myline, Boundaries, testing::ValuesIn(boundary_cases()),
                         ts::CaseName());

// A refused call leaves buffer, size and stream as they were.
TEST(Myline, InvalidArgumentsChangeNothing)
{
    MemStream in("first\n");
    LineBuffer buf(16);
    char *const block = buf.line;
    size_t zero = 0;
    struct Refused {
        const char *what;
        char **lineptr;
        size_t *n;
        FILE *stream;
    } const cases[] = {
        {"null lineptr", nullptr, &buf.n, in.get()},
        {"null n", &buf.line, nullptr, in.get()},
        {"null stream", &buf.line, &buf.n, nullptr},
        {"buffer with size 0", &buf.line, &zero, in.get()},
    };
    for (const Refused &r : cases) {
        errno = 0;
        EXPECT_EQ(myline(r.lineptr, r.n, r.stream), kEnd) << r.what;
        EXPECT_EQ(errno, EINVAL) << r.what;
        EXPECT_EQ(buf.line, block) << r.what;
        EXPECT_EQ(buf.n, 16u) << r.what;
        EXPECT_EQ(zero, 0u) << r.what;
        EXPECT_EQ(std::string(buf.line, 16), std::string(16, '#')) << r.what;
    }
    EXPECT_EQ(buf.read(in.get()), 6u) << "the stream was not consumed";
}

// A stream already at its end, or already failed, is refused before anything
// is allocated or read.
TEST(Myline, StreamIndicatorsAreCheckedFirst)
{
    MemStream at_end("x");
    ASSERT_EQ(fgetc(at_end.get()), 'x');
    ASSERT_EQ(fgetc(at_end.get()), EOF);
    LineBuffer fresh;
    errno = EDOM;
    EXPECT_EQ(fresh.read(at_end.get()), kEnd);
    EXPECT_EQ(errno, EDOM) << "end of file leaves errno alone";
    EXPECT_EQ(fresh.line, nullptr) << "nothing is allocated for a stream at its end";
    EXPECT_EQ(fresh.n, 0u);

    for (int before : {0, EIO}) {
        Generated g{10, 'x', "\n", 0};
        FILE *failed = slurp_test::open_generated(&g);
        ASSERT_EQ(fgetc(failed), EOF);
        ASSERT_TRUE(ferror(failed));
        LineBuffer buf(8);
        errno = before;
        EXPECT_EQ(buf.read(failed), kEnd);
        EXPECT_EQ(errno, before == 0 ? EINVAL : before) << "errno was " << before;
        EXPECT_EQ(std::string(buf.line, 8), std::string(8, '#'));
        EXPECT_EQ(buf.n, 8u);
        (void)fclose(failed);  // a read stream: nothing to flush
    }
}

// A read error in the middle of a line: every byte read before it is
// delivered as the line, and the error, still in the stream's indicator,
// fails the call after it. With nothing read the call itself fails.
TEST(Myline, ReadErrors)
{
    struct Case {
        unsigned long long fail_after;
        size_t kept;  // the line delivered; 0: the first call fails
        size_t n;
    } const cases[] = {{0, 0, 128}, {50, 50, 128}, {127, 127, 256}, {300, 300, 512}, {1000, 1000, 1024}};
    for (const Case &c : cases) {
        Generated g{1000, 'x', "\n", c.fail_after};
        FILE *s = slurp_test::open_generated(&g, 16);
        LineBuffer buf;
        errno = 0;
        EXPECT_EQ(buf.read(s), c.kept > 0 ? c.kept : kEnd) << "failing after " << c.fail_after;
        EXPECT_EQ(errno, EIO) << "failing after " << c.fail_after;
        EXPECT_EQ(buf.n, c.n) << "failing after " << c.fail_after;
        if (c.kept > 0) {
            EXPECT_EQ(std::string(buf.line), std::string(c.kept, 'x')) << "failing after " << c.fail_after;
            EXPECT_EQ(buf.read(s), kEnd) << "failing after " << c.fail_after;
            EXPECT_EQ(errno, EIO) << "the error is reported by the next call";
        }
        errno = 0;
        EXPECT_EQ(buf.read(s), kEnd);
        EXPECT_EQ(errno, EINVAL) << "the indicator is still set; errno was cleared by the caller";
        (void)fclose(s);  // a read stream: nothing to flush
    }
}

// A zero byte cuts the reported length where it lies in the part of the line
// read since the buffer last grew; earlier in a long line it is counted like
// any other byte. Either way the whole line is consumed.
TEST(Myline, ZeroBytesInsideALine)
{
    std::string longer = letters(200) + "\n";
    longer[10] = '\0';
    const std::string input = std::string("ab\0cd\n\0x\n", 9) + longer + "next\n";
    MemStream in(input);
    LineBuffer buf;
    EXPECT_EQ(buf.read(in.get()), 2u);
    EXPECT_EQ(std::string(buf.line, 6), std::string("ab\0cd\n", 6));
    EXPECT_EQ(buf.read(in.get()), 0u) << "a zero byte first";
    EXPECT_EQ(buf.read(in.get()), 201u);
    EXPECT_EQ(std::string(buf.line, 201), longer);
    EXPECT_EQ(buf.read(in.get()), 5u);
    EXPECT_STREQ(buf.line, "next\n");
}

// Threads sharing one stream each get whole lines, never the rest of a line
// another thread began. The stream hands out a few bytes a read and pauses
// in each, and gives nothing before both threads are under way: a line takes
// several reads, made while the other thread runs too.
TEST(Myline, ThreadsSharingAStreamGetWholeLines)
{
    const size_t kLines = 1000;
    struct Trickle {
        std::string data;
        size_t pos = 0;
        std::atomic<int> readers{0};
    } t;
    for (size_t i = 0; i < kLines; ++i)
        t.data += std::string(300 + i % 50, static_cast<char>('a' + i % 26)) + "\n";
    cookie_io_functions_t io{};
    io.read = [](void *cookie, char *buf, size_t size) -> ssize_t {
        auto *s = static_cast<Trickle *>(cookie);
        while (s->readers < 2)
            std::this_thread::yield();
        size = std::min({size, size_t{64}, s->data.size() - s->pos});
        memcpy(buf, s->data.data() + s->pos, size);
        s->pos += size;
        std::this_thread::sleep_for(std::chrono::microseconds(10));
        return static_cast<ssize_t>(size);
    };
    FILE *in = fopencookie(&t, "r", io);
    ASSERT_NE(in, nullptr);
    std::atomic<size_t> lines{0}, broken{0}, bytes{0};
    auto reader = [&] {
        ++t.readers;
        LineBuffer buf;
        size_t got;
        while ((got = buf.read(in)) != kEnd) {
            const std::string line(buf.line, got);
            if (line.back() != '\n' || line.find_first_not_of(line[0]) != got - 1)
                ++broken;
            ++lines;
            bytes += got;
        }
    };
    std::thread first(reader), second(reader);
    first.join();
    second.join();
    (void)fclose(in);
    EXPECT_EQ(broken, 0u);
    EXPECT_EQ(lines, kLines);
    EXPECT_EQ(bytes, t.data.size());
}

TEST(Myline, LineOfTensOfMegabytes)
{
    const size_t length = 24u << 20;
    Generated g{length, 'q', "\ntail\n"};
    FILE *s = slurp_test::open_generated(&g, 1 << 16);
    LineBuffer buf;
    ASSERT_EQ(buf.read(s), length + 1);
    EXPECT_EQ(buf.n, size_t{32} << 20);
    EXPECT_EQ(std::string(buf.line, length).find_first_not_of('q'), std::string::npos);
    EXPECT_EQ(std::string(buf.line + length), "\n");
    EXPECT_EQ(buf.read(s), 5u);
    EXPECT_STREQ(buf.line, "tail\n");
    EXPECT_EQ(buf.n, size_t{32} << 20) << "the buffer is never shrunk";
    EXPECT_EQ(buf.read(s), kEnd);
    (void)fclose(s);
}

// Random inputs without zero bytes, with line lengths around the growth
// points, read from buffers of assorted starting sizes: every result and line
// must be what getline gives.
TEST(Myline, AgreesWithGetline)
{
    std::mt19937 rng(20240607);
    const size_t around[] = {0, 1, 2, 62, 63, 64, 126, 127, 128, 129, 254, 255, 256, 510, 511, 512, 1023, 4000};
    const size_t starts[] = {0, 1, 2, 3, 127, 128, 129, 1000};
    for (int round = 0; round < 300; ++round) {
        std::string input;
        const int count = 1 + static_cast<int>(rng() % 12);
        for (int i = 0; i < count; ++i) {
            size_t len = around[rng() % std::size(around)] + rng() % 3;
            for (size_t j = 0; j < len; ++j) {
                const char c = static_cast<char>(1 + rng() % 255);
                input += c == '\n' ? 'n' : c;
            }
            if (i + 1 < count || rng() % 2)
                input += '\n';
        }
        MemStream mine(input), theirs(input);
        LineBuffer buf(starts[rng() % std::size(starts)]);
        char *oracle = nullptr;
        size_t oracle_n = 0;
        std::string rebuilt;
        for (int line = 0;; ++line) {
            const ssize_t want = getline(&oracle, &oracle_n, theirs.get());
            const size_t got = buf.read(mine.get());
            ASSERT_EQ(got, static_cast<size_t>(want)) << "round " << round << ", line " << line;
            if (want < 0)
                break;
            ASSERT_EQ(std::string(buf.line, got), std::string(oracle, static_cast<size_t>(want)))
                << "round " << round << ", line " << line;
            rebuilt.append(buf.line, got);
        }
        EXPECT_EQ(rebuilt, input) << "round " << round;
        free(oracle);
    }
}

// The header and libslurp.a as a C program sees them.
TEST(Myline, UsableFromC)
{
    const std::string input = "one\n\n" + letters(300);
    ts::Options opts;
    opts.input = input;
    const ts::Result r = ts::run(ts::helper("slurp_c_reader"), opts);
    ASSERT_TRUE(r.exited()) << r.describe();
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out, "4:one\n1:\n300:" + letters(300));
}

}  // namespace
