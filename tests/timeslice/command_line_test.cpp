// SPDX-License-Identifier: ISC
// The command line as a user meets it: the quantum, how commands are
// separated, and every failure that ends the scheduler early.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expect.h"
#include "run.h"

namespace {

// Long enough that no command here is ever preempted, so their output comes
// in command-line order.
const std::string kNoPreemption = "100000";

using Case = ts::ArgsCase;

// The first command says when it has finished its work; the second outlasts
// any test, so that it shows if it is left running or stopped. The quantum is
// short, so that a turn ends while they run.
const std::vector<std::string> kSleepers = {"50", "sh", "-c", "sleep 0.3; echo finished", ":", "sleep", "10"};

// The usage line names the program as invoked; the tests invoke it by its
// path, which is also what the i386 build's user-mode emulator passes on.
const Case kCases[] = {
    {"no_quantum", {}, "", "usage: " + ts::bin("timeslice") + " <quantum(ms)> p1 [ p1 args ] ; [ p2 [ p2 args ] ; [...]\n", 1},
    {"zero_quantum", {"0", "echo", "x"}, "", "0 is not a valid quantum\n", 2},
    {"unit_after_quantum", {"10ms", "echo", "x"}, "", "10ms is not a valid quantum\n", 2},
    {"hex_prefix_alone", {"0x", "echo", "x"}, "", "0x is not a valid quantum\n", 2},
    {"empty_quantum", {"", "echo", "x"}, "", " is not a valid quantum\n", 2},
    {"negative_quantum_fails_at_the_timer", {"-5", "true"}, "", "setitimer: Invalid argument\n", 8},
    {"failure_leaves_no_child_stopped", {"-5", "true", ":", "echo", "x"}, "", "setitimer: Invalid argument\n", 8},
    // Beyond 32 bits the quantum saturates rather than wrapping round to a
    // negative (or positive) number of milliseconds.
    {"huge_quantum_saturates_high", {"4294967295", "echo", "ran"}, "ran\n", "", 0},
    {"huge_negative_quantum_saturates_low", {"-4294967295", "true"}, "", "setitimer: Invalid argument\n", 8},
    {"not_an_octal_digit", {"08", "echo", "x"}, "", "08 is not a valid quantum\n", 2},
    {"no_commands", {"100"}, "", "", 0},
    {"commands_in_order", {kNoPreemption, "echo", "one", ":", "echo", "two", "three"}, "one\ntwo three\n", "", 0},
    {"trailing_separator_adds_nothing", {kNoPreemption, "echo", "a", ":", "echo", "b", ":"}, "a\nb\n", "", 0},
    {"colon_inside_an_argument_is_text", {kNoPreemption, "echo", "a:b", ":c", "d:", "::"}, "a:b :c d: ::\n", "", 0},
    {"missing_command_is_reported_and_skipped",
     {kNoPreemption, "/nonexistent/command", "arg", ":", "echo", "next"},
     "next\n",
     "/nonexistent/command: No such file or directory\n",
     0},
    {"empty_commands_end_without_running_anything",
     {kNoPreemption, ":", "echo", "a", ":", ":", "echo", "b"},
     "a\nb\n",
     "launch_stopped: empty command\nlaunch_stopped: empty command\n",
     0},
    {"separator_alone", {"100", ":"}, "", "launch_stopped: empty command\n", 0},
    // A failure at any point ends the scheduler with its own status and
    // leaves none of the children it started behind: one whose command has
    // begun finishes it, one that has not yet run is killed.
    {"first_fork_fails", kSleepers, "", "fork: Resource temporarily unavailable\n", 4, "fork:1"},
    {"second_fork_fails", kSleepers, "", "fork: Resource temporarily unavailable\n", 4, "fork:2"},
    {"no_memory_for_the_table", kSleepers, "", "malloc: Cannot allocate memory\n", 3, "malloc:1"},
    {"no_memory_for_its_entries", kSleepers, "", "malloc: Cannot allocate memory\n", 3, "malloc:2"},
    {"stop_of_the_first_launch_unseen", kSleepers, "", "launch_stopped: child failed to stop\n", 10, "waitpid:1"},
    {"stop_of_the_second_launch_unseen", kSleepers, "", "launch_stopped: child failed to stop\n", 10, "waitpid:3"},
    {"look_after_a_launch_fails", kSleepers, "", "waitpid(): No child processes\n", 5, "waitpid:2"},
    {"wait_in_a_turn_fails", kSleepers, "finished\n", "waitpid(): No child processes\n", 5, "waitpid:5"},
    {"signals_cannot_be_blocked", kSleepers, "", "sigprocmask: Invalid argument\n", 7, "sigprocmask:1"},
    {"signal_actions_cannot_be_read", kSleepers, "", "sigaction: Invalid argument\n", 7, "sigaction:1"},
    {"handlers_cannot_be_installed", kSleepers, "", "sigaction: Invalid argument\n", 7, "sigaction:50+"},
    {"timer_cannot_be_armed", kSleepers, "", "setitimer: Invalid argument\n", 8, "setitimer:1"},
    {"timer_cannot_be_stopped", kSleepers, "finished\n", "setitimer: Invalid argument\n", 8, "setitimer:2"},
};

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, Run)
{
    EXPECT_TRUE(ts::ends_as(ts::bin("timeslice"), GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Timeslice, CommandLine, ::testing::ValuesIn(kCases),
                         ts::CaseName());

}  // namespace
