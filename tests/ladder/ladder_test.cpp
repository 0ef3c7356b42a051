// SPDX-License-Identifier: ISC
// ladder as its users run it: whole outputs, rejected arguments, output that
// cannot be written and threads that cannot be made.
#include <gtest/gtest.h>

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

using Case = ts::ArgsCase;

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
    {"output_that_cannot_be_written", {}, "", "stdout: No space left on device\n", 1, "", "/dev/full"},
    // A thread that cannot be made: the run must not start with threads
    // missing, nor end as a success.
    {"no_stack_for_any_thread", {}, "Launching LWPS\n", "new_lwp: Cannot allocate memory\n", 1, "mmap:1+"},
    {"no_stack_from_the_third", {}, "Launching LWPS\n", "new_lwp: Cannot allocate memory\n", 1, "mmap:3+"},
    {"no_stack_for_the_last", {"-z"}, "Launching LWPS\n", "new_lwp: Cannot allocate memory\n", 1, "mmap:5"},
    {"no_memory_for_the_list_of_threads", {}, "Launching LWPS\n", "new_lwp: Cannot allocate memory\n", 1, "realloc:1"},
    // Output is still written whole, only unbuffered.
    {"no_memory_for_an_output_buffer", {"-z"}, kAlwaysZero, "", 0, "malloc:1+"},
};

class Ladder : public ::testing::TestWithParam<Case> {};

TEST_P(Ladder, Run)
{
    EXPECT_TRUE(ts::ends_as(ts::bin("ladder"), GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Ladder, Ladder, ::testing::ValuesIn(kCases),
                         ts::CaseName());

}  // namespace
