// SPDX-License-Identifier: ISC
// Allocation failures inside myline. This program is linked with
// -Wl,--wrap=malloc,--wrap=realloc, so every call the line reader makes goes
// through the wrappers below, whatever allocator (the C library's or a
// sanitizer's) stands behind them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "streams.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_realloc(void *block, size_t size);
}

namespace {

// While armed, the `fail_at`-th allocation call (counting from 1) fails.
int fail_at = 0;
int calls = 0;
void *last_block = nullptr;  // the latest block handed out

bool fail_now()
{
    if (fail_at == 0 || ++calls != fail_at)
        return false;
    errno = ENOMEM;
    return true;
}

}  // namespace

extern "C" void *__wrap_malloc(size_t size)
{
    if (fail_now())
        return nullptr;
    void *block = __real_malloc(size);
    if (fail_at != 0)
        last_block = block;
    return block;
}

extern "C" void *__wrap_realloc(void *block, size_t size)
{
    if (fail_now())
        return nullptr;
    void *moved = __real_realloc(block, size);
    if (fail_at != 0)
        last_block = moved;
    return moved;
}

namespace {

using slurp_test::kEnd;
using slurp_test::LineBuffer;
using slurp_test::MemStream;

// One myline call with the `nth` allocation it makes failing.
size_t read_failing(LineBuffer &buf, FILE *stream, int nth)
{
    fail_at = nth;
    calls = 0;
    last_block = buf.line;
    const size_t got = buf.read(stream);
    fail_at = 0;
    return got;
}

std::string text(size_t count)
{
    std::string s(count, ' ');
    for (size_t i = 0; i < count; ++i)
        s[i] = static_cast<char>('A' + i % 26);
    return s;
}

// A 300-character line from nothing takes malloc(128), realloc(256) and
// realloc(512). Whichever fails, the caller keeps the last block that
// succeeded with its size and the part of the line it holds, and the rest of
// the line is still in the stream.
TEST(MylineAllocation, EachStepFailsCleanly)
{
    const std::string line = text(300) + "\n";
    struct Step {
        int nth;
        size_t n;     // size left with the caller
        size_t kept;  // characters of the line held in the buffer
    } const steps[] = {{1, 128, 0}, {2, 128, 127}, {3, 256, 255}};
    for (const Step &s : steps) {
        MemStream in(line + "next\n");
        LineBuffer buf;
        errno = 0;
        EXPECT_EQ(read_failing(buf, in.get(), s.nth), kEnd) << "allocation " << s.nth;
        EXPECT_EQ(errno, ENOMEM) << "allocation " << s.nth;
        EXPECT_EQ(calls, s.nth) << "the failure was not reached";
        EXPECT_EQ(buf.n, s.n) << "allocation " << s.nth;
        EXPECT_EQ(buf.line, last_block) << "allocation " << s.nth;
        if (s.nth == 1) {
            EXPECT_EQ(buf.line, nullptr);
            EXPECT_EQ(buf.read(in.get()), line.size()) << "nothing was read before the failure";
            continue;
        }
        ASSERT_NE(buf.line, nullptr);
        EXPECT_EQ(std::string(buf.line), line.substr(0, s.kept));
        const size_t rest = buf.read(in.get());
        ASSERT_NE(rest, kEnd);
        EXPECT_EQ(std::string(buf.line, rest), line.substr(s.kept)) << "allocation " << s.nth;
        EXPECT_EQ(buf.read(in.get()), 5u);
    }
}

// Growing a one-byte caller buffer before the first read can fail too.
TEST(MylineAllocation, OneByteBufferGrowthFails)
{
    MemStream in("hello\n");
    LineBuffer buf(1);
    char *const block = buf.line;
    errno = 0;
    EXPECT_EQ(read_failing(buf, in.get(), 1), kEnd);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(buf.line, block);
    EXPECT_EQ(buf.n, 1u);
    EXPECT_EQ(buf.read(in.get()), 6u) << "the stream was not touched";
    EXPECT_STREQ(buf.line, "hello\n");
}

}  // namespace
