// ladder as its users run it: whole outputs, rejected arguments, and a run
// whose threads cannot all be made.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "expect.h"
#include "run.h"

namespace {

const std::string kRoundRobin =
    "Launching LWPS\n"
    "    1\n"
    "         2\n"
    "              3\n"
    "                   4\n"
    "                        5\n"
    "         2\n"
    "              3\n"
    "                   4\n"
    "                        5\n"
    "              3\n"
    "                   4\n"
    "                        5\n"
    "                   4\n"
    "                        5\n"
    "                        5\n"
    "Back from LWPS.\n";

const std::string kAlwaysZero =
    "Launching LWPS\n"
    "    1\n"
    "         2\n"
    "         2\n"
    "              3\n"
    "              3\n"
    "              3\n"
    "                   4\n"
    "                   4\n"
    "                   4\n"
    "                   4\n"
    "                        5\n"
    "                        5\n"
    "                        5\n"
    "                        5\n"
    "                        5\n"
    "Back from LWPS.\n";

// A run with arguments alone, as ts::ArgsCase, or with standard output sent
// to a file.
struct Case {
    const char *name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
    const char *stdout_to = nullptr;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const Case kCases[] = {
    {"no_arguments", {}, kRoundRobin, "", 0},
    {"z", {"-z"}, kAlwaysZero, "", 0},
    {"z_twice", {"-z", "-z"}, kAlwaysZero, "", 0},
    {"z_then_unknown", {"-z", "-y"}, "", "-y: unknown option\n", 255},
    {"unknown_then_z", {"-y", "-z"}, "", "-y: unknown option\n", 255},
    {"upper_case", {"-Z"}, "", "-Z: unknown option\n", 255},
    {"no_dash", {"z"}, "", "z: unknown option\n", 255},
    {"doubled_letter", {"-zz"}, "", "-zz: unknown option\n", 255},
    {"double_dash", {"--z"}, "", "--z: unknown option\n", 255},
    {"empty", {""}, "", ": unknown option\n", 255},
    {"trailing_blank", {"-z "}, "", "-z : unknown option\n", 255},
    {"output_that_cannot_be_written", {}, "", "stdout: No space left on device\n", 1, "/dev/full"},
};

class Ladder : public ::testing::TestWithParam<Case> {};

TEST_P(Ladder, Run)
{
    const Case &c = GetParam();
    ts::ArgsCase plain{c.name, c.args, c.out, c.err, c.status};
    if (!c.stdout_to) {
        EXPECT_TRUE(ts::ends_as(ts::bin("ladder"), plain));
        return;
    }
    plain.args.insert(plain.args.begin(),
                      {"-c", std::string("exec \"$0\" \"$@\" >") + c.stdout_to, ts::bin("ladder")});
    EXPECT_TRUE(ts::ends_as("/bin/sh", plain));
}

INSTANTIATE_TEST_SUITE_P(Ladder, Ladder, ::testing::ValuesIn(kCases),
                         ts::CaseName());

// Every stack mapping from the given one on fails for want of memory: the
// run must not start with threads missing, nor end as a success.
TEST(Ladder, ThreadThatCannotBeMadeIsAnError)
{
    for (const char *from : {"1", "3", "5"}) {
        SCOPED_TRACE(std::string("failing from stack ") + from);
        ts::Options o;
        o.env = {"LD_PRELOAD=" + ts::helper("libno_stacks.so"), std::string("NO_STACKS_FROM=") + from};
        // The preloaded library comes before the sanitizer's runtime.
        const char *asan = getenv("ASAN_OPTIONS");
        o.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
        ts::Result r = ts::run(ts::bin("ladder"), o);
        ASSERT_TRUE(r.exited()) << r.describe() << "\n" << r.err;
        EXPECT_EQ(r.exit_code(), 1);
        EXPECT_EQ(r.out, "Launching LWPS\n");
        EXPECT_EQ(r.err, "new_lwp: Cannot allocate memory\n");
    }
}

}  // namespace
