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
    // begun finishes it, one that has not yet run is killed. The ranks, in
    // the order the scheduler makes its calls: sigprocmask:1 blocks the
    // signals it waits for; sigaction:1 to 45 read the actions it was started
    // with, one per signal that could end it, and 46 sets its own SIGCHLD
    // action, before the first fork; malloc:1 is the table, malloc:2 its
    // entries; fork:N and waitpid:N launch the Nth command; from waitpid:3
    // on, the waits of the turns look at the children; setitimer:1 arms the
    // first turn and setitimer:2 disarms it when its child ends within it (a
    // timer that has run out needs no disarming).
    {.name = "first_fork_fails", .args = kSleepers, .err = "fork: Resource temporarily unavailable\n",
     .status = 4, .fault = "fork:1"},
    {.name = "second_fork_fails", .args = kSleepers, .err = "fork: Resource temporarily unavailable\n",
     .status = 4, .fault = "fork:2"},
    {.name = "no_memory_for_the_table", .args = kSleepers, .err = "malloc: Cannot allocate memory\n",
     .status = 3, .fault = "malloc:1"},
    {.name = "no_memory_for_its_entries", .args = kSleepers, .err = "malloc: Cannot allocate memory\n",
     .status = 3, .fault = "malloc:2"},
    {.name = "stop_of_the_first_launch_unseen", .args = kSleepers, .err = "launch_stopped: child failed to stop\n",
     .status = 10, .fault = "waitpid:1"},
    {.name = "stop_of_the_second_launch_unseen", .args = kSleepers, .err = "launch_stopped: child failed to stop\n",
     .status = 10, .fault = "waitpid:2"},
    {.name = "wait_in_a_turn_fails", .args = kSleepers, .out = "finished\n", .err = "waitpid(): No child processes\n",
     .status = 5, .fault = "waitpid:5"},
    {.name = "signals_cannot_be_blocked", .args = kSleepers, .err = "sigprocmask: Invalid argument\n",
     .status = 7, .fault = "sigprocmask:1"},
    {.name = "signal_actions_cannot_be_read", .args = kSleepers, .err = "sigaction: Invalid argument\n",
     .status = 7, .fault = "sigaction:1"},
    {.name = "handlers_cannot_be_installed", .args = kSleepers, .err = "sigaction: Invalid argument\n",
     .status = 7, .fault = "sigaction:46+"},
    {.name = "timer_cannot_be_armed", .args = kSleepers, .err = "setitimer: Invalid argument\n",
     .status = 8, .fault = "setitimer:1"},
    {.name = "timer_cannot_be_stopped", .args = {kNoPreemption, "echo", "one", ":", "echo", "two"}, .out = "one\n",
     .err = "setitimer: Invalid argument\n", .status = 8, .fault = "setitimer:2"},
    {.name = "timer_cannot_be_stopped_after_the_last_turn", .args = {kNoPreemption, "echo", "one"}, .out = "one\n",
     .err = "setitimer: Invalid argument\n", .status = 8, .fault = "setitimer:2"},
};

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, Run)
{
    EXPECT_TRUE(ts::ends_as(ts::bin("timeslice"), GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Timeslice, CommandLine, ::testing::ValuesIn(kCases),
                         ts::CaseName());

// Whatever the scheduler changes of its own signal state, a command gets the
// one timeslice was started with: signals ignored (SIGCHLD among them) and
// blocked (among them the one a waiting child is told its turn with). A
// signal blocked at start stays harmless: the hang-up the first command sends
// the scheduler ends nothing.
TEST(TimesliceCommands, GetTheSignalStateTimesliceWasStartedWith)
{
    if (ts::under_emulator())
        GTEST_SKIP() << "the emulator keeps a signal state of its own, which a program it executes inherits";
    const std::vector<std::string> state = {"--ignore-signal=CHLD,USR2", "--block-signal=HUP,RTMIN"};
    const std::vector<std::string> show = {"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"};
    ts::Options direct, sliced;
    direct.args = sliced.args = state;
    sliced.args.insert(sliced.args.end(),
                       {ts::bin("timeslice"), kNoPreemption, "sh", "-c", "kill -HUP $PPID", ":"});
    direct.args.insert(direct.args.end(), show.begin(), show.end());
    sliced.args.insert(sliced.args.end(), show.begin(), show.end());
    ts::Result want = ts::run("/usr/bin/env", direct);
    ASSERT_NE(want.out.find("SigIgn:"), std::string::npos) << want.describe() << want.err;
    EXPECT_TRUE(ts::ended(ts::run("/usr/bin/env", sliced), 0, want.out, ""));
}

}  // namespace
