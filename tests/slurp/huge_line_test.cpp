// SPDX-License-Identifier: ISC
// Lines of more than 2 GiB, where the sizes meet the limits of the types:
// a 64-bit build must not count a line beyond INT_MAX bytes in int; a 32-bit
// build can grow a buffer to 2 GiB, where one more doubling would wrap size_t
// to 0. Each test is built only where its limit can
// be reached: a 64-bit size_t never comes near wrapping, and a 32-bit process
// cannot hold a block beyond 2 GiB.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "streams.h"

namespace {

using slurp_test::Generated;
using slurp_test::LineBuffer;

constexpr size_t kTwoGiB = size_t{1} << 31;

// Whether the first `count` bytes at `p` are all `c`.
bool all_are(const char *p, size_t count, char c)
{
    static char block[1 << 16];
    memset(block, c, sizeof block);
    for (size_t at = 0; at < count; at += sizeof block) {
        const size_t len = count - at < sizeof block ? count - at : sizeof block;
        if (memcmp(p + at, block, len) != 0)
            return false;
    }
    return true;
}

// Asks for huge pages over the block: filling gigabytes page by page
// otherwise spends most of the test's time in page faults. Only a hint.
void fewer_faults(void *block, size_t size)
{
    const uintptr_t page = 2u << 20;
    const uintptr_t from = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
    if (to > from)
        (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
}

#if SIZE_MAX > UINT32_MAX

TEST(MylineHuge, LineLongerThanIntMaxFillsOneBuffer)
{
    const size_t size = kTwoGiB + 64;
    LineBuffer buf;
    buf.line = static_cast<char *>(malloc(size));
    if (buf.line == nullptr)
        GTEST_SKIP() << "this process cannot get a block of " << size << " bytes";
    buf.n = size;
    fewer_faults(buf.line, size);
    const size_t length = kTwoGiB + 9;
    Generated g{length, 'x', "\ntail\n"};
    FILE *s = slurp_test::open_generated(&g, 1 << 20);

    ASSERT_EQ(buf.read(s), length + 1);
    EXPECT_EQ(buf.n, size) << "the line fitted the caller's block";
    EXPECT_TRUE(all_are(buf.line, length, 'x'));
    EXPECT_EQ(std::string(buf.line + length), "\n");
    EXPECT_EQ(buf.read(s), 5u);
    EXPECT_STREQ(buf.line, "tail\n");
    (void)fclose(s);  // a read stream: nothing to flush
}

#else

// The compiler takes any constant index past PTRDIFF_MAX for an overrun, even
// in a block that is really that large; an index it cannot see is left alone.
[[gnu::noipa]] char byte_at(const char *p, size_t index)
{
    return p[index];
}

// glibc's allocator refuses blocks over PTRDIFF_MAX, so in a 32-bit process no
// buffer grown by realloc gets to 2 GiB; other allocators allow it. The check
// needs only the size, so the caller's block here is a 2 GiB mapping, filled by
// a line that does not fit: myline must refuse to double it before calling
// realloc (which would be asked for 0 bytes once the size wraps).
TEST(MylineHuge, TwoGiBBufferIsNotDoubled)
{
    void *block = mmap(nullptr, kTwoGiB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        GTEST_SKIP() << "no room for a 2 GiB mapping in this process: " << strerror(errno);
    fewer_faults(block, kTwoGiB);
    char *line = static_cast<char *>(block);
    size_t n = kTwoGiB;
    // One character more than the block holds with its zero byte.
    Generated g{kTwoGiB + 5, 'x', "\n"};
    FILE *s = slurp_test::open_generated(&g, 1 << 20);

    errno = 0;
    EXPECT_EQ(myline(&line, &n, s), slurp_test::kEnd);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(line, block) << "the caller keeps the block";
    EXPECT_EQ(n, kTwoGiB);
    if (line == block) {
        EXPECT_TRUE(all_are(line, kTwoGiB - 1, 'x')) << "the part read so far is kept";
        EXPECT_EQ(byte_at(line, kTwoGiB - 1), '\0');
        // Nothing was lost: the rest of the line is still to be read.
        EXPECT_EQ(myline(&line, &n, s), 7u);
        EXPECT_STREQ(line, "xxxxxx\n");
    }
    (void)fclose(s);  // a read stream: nothing to flush
    EXPECT_EQ(munmap(block, kTwoGiB), 0);
}

#endif

}  // namespace
