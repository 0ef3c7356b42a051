// The command line as a user meets it: the quantum, how commands are
// separated, and every failure that ends the scheduler early.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "expect.h"
#include "run.h"

namespace {

// Long enough that no command here is ever preempted, so their output comes
// in command-line order.
const std::string kForever = "100000";

using Case = ts::ArgsCase;

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
    {"commands_in_order", {kForever, "echo", "one", ":", "echo", "two", "three"}, "one\ntwo three\n", "", 0},
    {"trailing_separator_adds_nothing", {kForever, "echo", "a", ":", "echo", "b", ":"}, "a\nb\n", "", 0},
    {"colon_inside_an_argument_is_text", {kForever, "echo", "a:b", ":c", "d:", "::"}, "a:b :c d: ::\n", "", 0},
    {"missing_command_is_reported_and_skipped",
     {kForever, "/nonexistent/command", "arg", ":", "echo", "next"},
     "next\n",
     "/nonexistent/command: No such file or directory\n",
     0},
    {"empty_commands_end_without_running_anything",
     {kForever, ":", "echo", "a", ":", ":", "echo", "b"},
     "a\nb\n",
     "launch_stopped: empty command\nlaunch_stopped: empty command\n",
     0},
    {"separator_alone", {"100", ":"}, "", "launch_stopped: empty command\n", 0},
};

// Once the scheduler has ended, the children it left stopped: the test
// process takes in orphans, so they show up among its own.
std::string left_stopped(const ts::Process &p)
{
    for (int i = 0; i < 4000 && ts::alive(p.pid()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string stopped;
    for (pid_t pid : ts::child_pids()) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (std::getline(stat, line) && line.find(") T ") != std::string::npos)
            stopped += line + "\n";
    }
    return stopped;
}

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, Run)
{
    const Case &c = GetParam();
    ts::Options o;
    o.args = c.args;
    ts::Process p(ts::bin("timeslice"), o);
    EXPECT_EQ(left_stopped(p), "");
    EXPECT_TRUE(ts::ended(p.wait(), c.status, c.out, c.err));
}

INSTANTIATE_TEST_SUITE_P(Timeslice, CommandLine, ::testing::ValuesIn(kCases),
                         ts::CaseName());

// A fork that fails ends the scheduler with its own status before any
// command runs, whether it is the first fork or a later one, and none of the
// children launched before is left stopped.
TEST(TimesliceFork, FailedForkEndsWithStatusFour)
{
    for (const char *at : {"1", "2"}) {
        ts::Options o;
        o.args = {kForever, "echo", "first", ":", "echo", "second"};
        o.env = {"LD_PRELOAD=" + ts::helper("libtimeslice_fail_fork.so"), std::string("FAIL_FORK_AT=") + at,
                 // The shim is loaded ahead of the sanitizer runtime on purpose.
                 "ASAN_OPTIONS=verify_asan_link_order=0"};
        ts::Process p(ts::bin("timeslice"), o);
        EXPECT_EQ(left_stopped(p), "") << "fork " << at;
        ts::Result r = p.wait();
        ASSERT_TRUE(r.exited()) << "fork " << at << ": " << r.describe() << "\n" << r.err;
        EXPECT_EQ(r.exit_code(), 4) << "fork " << at;
        EXPECT_EQ(r.err, "fork: Resource temporarily unavailable\n") << "fork " << at;
        EXPECT_EQ(r.out, "") << "fork " << at;
    }
}

}  // namespace
