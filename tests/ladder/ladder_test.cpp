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

const char *const kNoThreads = "Launching LWPS\n";
const char *const kNoMemory = "new_lwp: Cannot allocate memory\n";

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
    {.name = "output_that_cannot_be_written", .err = "stdout: No space left on device\n", .status = 1,
     .stdout_to = "/dev/full"},
    // A thread that cannot be made: the run must not start with threads
    // missing, nor end as a success. mmap:N is the stack of the Nth thread
    // (nothing else is mapped before); realloc:1 makes the library's list of
    // threads, at the first new_lwp.
    {.name = "no_stack_for_any_thread", .out = kNoThreads, .err = kNoMemory, .status = 1, .fault = "mmap:1+"},
    {.name = "no_stack_from_the_third", .out = kNoThreads, .err = kNoMemory, .status = 1, .fault = "mmap:3+"},
    {.name = "no_stack_for_the_last", .args = {"-z"}, .out = kNoThreads, .err = kNoMemory, .status = 1,
     .fault = "mmap:5"},
    {.name = "no_memory_for_the_list_of_threads", .out = kNoThreads, .err = kNoMemory, .status = 1,
     .fault = "realloc:1"},
    // Output is still written whole, only unbuffered.
    {.name = "no_memory_for_an_output_buffer", .args = {"-z"}, .out = kAlwaysZero, .status = 0, .fault = "malloc:1+"},
};

class Ladder : public ::testing::TestWithParam<Case> {};

TEST_P(Ladder, Run)
{
    EXPECT_TRUE(ts::ends_as(ts::bin("ladder"), GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Ladder, Ladder, ::testing::ValuesIn(kCases),
                         ts::CaseName());

}  // namespace
