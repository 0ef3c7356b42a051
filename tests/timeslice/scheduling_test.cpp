// SPDX-License-Identifier: ISC
// How the scheduler shares the processor, seen from its children: probes
// record when they run, and the tests check order and exclusion (never
// durations), with children that end, stop themselves, or are stopped or
// killed from outside.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "probe_log.h"
#include "expect.h"
#include "run.h"

namespace {

using namespace std::chrono_literals;
using probe_log::joined;
using probe_log::Log;

// So long that a slice here only ends because its child exits or stops.
const std::string kForever = "100000";

// The command line for a quantum and probes given as {name, options...}.
std::vector<std::string> probes(const std::string &quantum, const std::vector<std::vector<std::string>> &children)
{
    std::vector<std::string> args{quantum};
    for (const auto &child : children) {
        if (args.size() > 1)
            args.push_back(":");
        args.push_back(ts::helper("timeslice_probe"));
        args.insert(args.end(), child.begin(), child.end());
    }
    return args;
}

ts::Options options(std::vector<std::string> args)
{
    ts::Options o;
    o.args = std::move(args);
    return o;
}

// Polls until `ready` holds; false if it still does not after a generous while.
bool eventually(const std::function<bool()> &ready)
{
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool wait_for(const ts::Process &p, const std::function<bool(const Log &)> &ready)
{
    return eventually([&] { return ready(probe_log::parse(p.out())); });
}

// Whether `later` was written after `earlier` (both whole-line prefixes).
bool written_after(const std::string &out, const std::string &earlier, const std::string &later)
{
    std::string lines = "\n" + out;
    auto first = lines.find("\n" + earlier);
    return first != std::string::npos && lines.find("\n" + later, first + 1) != std::string::npos;
}

// What /proc says about each probe (its state letter follows the name), for
// failure messages.
std::string states(const Log &log)
{
    std::string all;
    for (const auto &[name, pid] : log.pids) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        all += name + ": " + (std::getline(stat, line) ? line : "gone") + "\n";
    }
    return all;
}

using ts::children_of;
using ts::state_of;

bool has_event(const Log &log, const std::string &event)
{
    return std::find(log.events.begin(), log.events.end(), event) != log.events.end();
}

std::vector<std::string> events_of(const Log &log, const std::string &kind)
{
    std::vector<std::string> names;
    for (const auto &e : log.events)
        if (e.rfind(kind + " ", 0) == 0)
            names.push_back(e.substr(kind.size() + 1));
    return names;
}

struct OrderCase {
    const char *name;
    std::vector<std::vector<std::string>> children;
    std::string turns;
    std::string before = "";  // shell commands run before the exec of the scheduler
    std::string trace = "";   // with TIMESLICE_TRACE set, standard error, {NAME} for a probe's id
    // A run that fails: a call made to fail, with the quantum it needs, and
    // how it ends (the probes that had a turn must still finish theirs).
    const char *fault = "";
    std::string quantum = kForever;
    int status = 0;
    std::string err = "";
};

// An endless quantum leaves only exits and stops to move the turn on, which
// fixes the order completely: an exit gives way immediately, a probe that
// stops itself gets the processor back when its turn comes round, and the
// order wraps from the last probe to the first.
const OrderCase kOrderCases[] = {
    {"exit_hands_over_at_once", {{"A", "run=20"}, {"B", "run=20"}}, "AB"},
    {"stopped_child_runs_again_at_its_next_turn", {{"A", "stop=5", "run=20"}, {"B", "run=20"}}, "ABA"},
    {"after_the_last_the_first",
     {{"A", "stop=5", "run=20"}, {"B", "stop=5", "run=20"}, {"C", "run=5"}},
     "ABCAB"},
    {"middle_one_ends_first",
     {{"A", "stop=5", "run=20"}, {"B", "run=5"}, {"C", "stop=5", "run=20"}},
     "ABCAC"},
    // Children it did not start but inherited: their stop or end changes no turn.
    {"stranger_stops", {{"A", "run=20"}, {"B", "run=20"}}, "AB", "sleep 30 & kill -STOP $!;"},
    {"stranger_ends", {{"A", "run=200"}, {"B", "run=20"}}, "AB", "sleep 0.05 &"},
    // Traced: the result of each wait, then the decision it led to.
    {"traced",
     {{"A", "stop=5", "run=20"}, {"B", "run=20"}},
     "ABA",
     "",
     "pid {A} stopped\nschedule_log: stopped: old=0, new = 1, remove=0, pt->count=2, pt: [{A}, {B} ]\n"
     "pid {B} exited\nschedule_log: exited: old=1, new = 0, remove={B}, pt->count=1, pt: [{A} ]\n"
     "pid {A} exited\nschedule_log: exited: old=0, new = 0, remove={A}, pt->count=0, pt: [ ]\n"},
    // A stop refused is no child that has gone.
    {"refused_stop",
     {{"A", "run=200"}, {"B", "run=20"}},
     "A",
     "",
     "",
     "kill:2:EPERM",
     "50",
     10,
     "stop_process: process {A} failed to stop\n"},
};

std::string with_pids(std::string text, const Log &log)
{
    for (const auto &[name, pid] : log.pids)
        for (size_t at; (at = text.find("{" + name + "}")) != std::string::npos;)
            text.replace(at, name.size() + 2, std::to_string(pid));
    return text;
}

void PrintTo(const OrderCase &c, std::ostream *os) { *os << c.name; }

class TurnOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(TurnOrder, FollowsTheTable)
{
    const OrderCase &c = GetParam();
    // The fault library goes only into the program started, so that must be
    // the scheduler itself.
    std::vector<std::string> args = probes(c.quantum, c.children);
    std::string program = ts::bin("timeslice");
    if (!c.before.empty()) {
        args.insert(args.begin(), {"-c", c.before + " exec \"$0\" \"$@\"", program});
        program = "/bin/sh";
    }
    ts::Options o = options(args);
    o.fault = c.fault;
    if (c.trace.empty())
        o.unset = {"TIMESLICE_TRACE"};
    else
        o.env = {"TIMESLICE_TRACE=1"};
    ts::Result r = ts::run(program, o);
    ASSERT_TRUE(r.exited()) << r.describe() << "\n" << r.out;
    EXPECT_EQ(r.exit_code(), c.status);
    Log log = probe_log::parse(r.out);
    EXPECT_EQ(r.err, with_pids(c.trace + c.err, log));
    auto order = turns(log);
    EXPECT_EQ(joined(order), c.turns) << r.out;
    EXPECT_EQ(overlap(log), "");
    std::vector<std::string> done = events_of(log, "done"), ran = order;
    std::sort(done.begin(), done.end());
    std::sort(ran.begin(), ran.end());
    ran.erase(std::unique(ran.begin(), ran.end()), ran.end());
    EXPECT_EQ(done, ran) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Timeslice, TurnOrder, ::testing::ValuesIn(kOrderCases),
                         ts::CaseName());

// Two CPU-bound children that each need several quanta take turns and are
// never running at the same moment. (Which one shows up first is not
// asserted: a slow start can use up the first child's whole first slice
// before it records anything.) The quantum is written in hexadecimal: 100 ms.
TEST(TimesliceSlices, TwoBusyChildrenTakeTurnsAndNeverOverlap)
{
    ts::Result r = ts::run(ts::bin("timeslice"), options(probes("0x64", {{"A", "run=350"}, {"B", "run=350"}})));
    ASSERT_TRUE(r.exited()) << r.describe();
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.err, "");
    Log log = probe_log::parse(r.out);
    auto order = turns(log);
    EXPECT_GE(std::count(order.begin(), order.end(), "A"), 3) << joined(order);
    EXPECT_GE(std::count(order.begin(), order.end(), "B"), 3) << joined(order);
    EXPECT_EQ(overlap(log), "");
    EXPECT_EQ(events_of(log, "done").size(), 2u);
}

// Someone else stops the running child. With an endless quantum nothing else
// could end its turn, so the next child must start right away, and the
// stopped one must get the processor back on its following turn.
TEST(TimesliceSlices, ChildStoppedFromOutsideIsContinuedAtItsNextTurn)
{
    ts::Process p(ts::bin("timeslice"), options(probes(kForever, {{"A"}, {"B", "run=20"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("A") > 0; })) << p.out();
    ASSERT_EQ(kill(probe_log::parse(p.out()).pids.at("A"), SIGSTOP), 0);

    // A reports the segment it ran before the stop once it runs again.
    ASSERT_TRUE(eventually([&] { return written_after(p.out(), "done B", "seg A"); }))
        << "B must run, then A again\n" << p.out();
    Log log = probe_log::parse(p.out());
    std::string order = joined(turns(log));
    EXPECT_TRUE(order == "AB" || order == "ABA") << order;  // A may split its new turn itself
    EXPECT_EQ(overlap(log), "");

    kill(log.pids.at("A"), SIGKILL);
    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(r.err, "");
}

// Killing a child that waits for its turn cuts the current turn short: the
// scheduler drops the dead child, halts the running one and moves on to the
// child after it.
TEST(TimesliceSlices, WaitingChildKilledFromOutsideIsRemoved)
{
    ts::Process p(ts::bin("timeslice"), options(probes(kForever, {{"X", "stop=0"}, {"A"}, {"Y", "run=20"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return has_event(l, "stop X") && l.pids.count("A") > 0; }))
        << p.out();
    ASSERT_EQ(kill(probe_log::parse(p.out()).pids.at("X"), SIGKILL), 0);

    ASSERT_TRUE(eventually([&] { return written_after(p.out(), "done Y", "seg A"); }))
        << "Y must run, then A again\n" << p.out();
    Log log = probe_log::parse(p.out());
    std::string order = joined(turns(log));
    EXPECT_TRUE(order == "XAY" || order == "XAYA") << order;
    EXPECT_EQ(overlap(log), "");

    kill(log.pids.at("A"), SIGKILL);
    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(r.err, "");
}

class EndingSignal : public ::testing::TestWithParam<int> {};

// A signal that would kill the scheduler makes it release its children
// first, so that each of them finishes, and then kill it after all. That
// happens immediately even in the middle of waiting for A's stop, which A's
// hold delays past the end of its first slice.
TEST_P(EndingSignal, ContinuesEveryChildAndDiesByTheSignal)
{
    const int sig = GetParam();
    ts::Process p(ts::bin("timeslice"),
                  options(probes("50", {{"A", "hold=3000", "run=300"}, {"B", "run=300"}, {"C", "run=300"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("A") > 0; })) << p.out();
    std::this_thread::sleep_for(300ms);  // past A's first slice, most likely
    ASSERT_TRUE(p.signal(sig));

    ASSERT_TRUE(eventually([&] { return !ts::alive(p.pid()); })) << "the scheduler did not end";
    EXPECT_FALSE(has_event(probe_log::parse(p.out()), "held A")) << "it waited for A to stop";
    EXPECT_TRUE(wait_for(p, [](const Log &l) { return events_of(l, "done").size() == 3; }))
        << "a child did not finish\n" << states(probe_log::parse(p.out())) << p.out();

    ts::Result r = p.wait();
    EXPECT_EQ(r.term_signal(), sig) << r.describe();
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Timeslice, EndingSignal, ::testing::Values(SIGTERM, SIGHUP, SIGINT, SIGUSR1),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

// An interrupt from the terminal reaches the whole group while a long command
// line is still being launched: some child dies of it before its stop shows.
// The scheduler then ends by the interrupt too, as its children do, rather
// than report a child that failed to stop.
TEST(TimesliceSignals, InterruptWhileLaunching)
{
    std::vector<std::string> args{"50"};
    for (int i = 0; i < 1000; ++i) {
        if (i > 0)
            args.push_back(":");
        args.push_back("true");
    }
    ts::Process p(ts::bin("timeslice"), options(args));
    ASSERT_TRUE(eventually([&] { return children_of(p.pid()).size() >= 20; }));
    ASSERT_EQ(kill(-p.pid(), SIGINT), 0);
    ts::Result r = p.wait();
    EXPECT_EQ(r.term_signal(), SIGINT) << r.describe();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.left, "");
}

class GroupStop : public ::testing::TestWithParam<int> {};

// Job control stops the whole group, the scheduler and every child, and later
// continues the whole group: every child runs. Within moments the scheduler
// holds all but one of them again, and the turns go on. /proc is read in
// rounds; a round can catch a handover between two reads, never several
// rounds in a row.
TEST_P(GroupStop, OneChildRunsOnceContinued)
{
    ts::Process p(ts::bin("timeslice"), options(probes("200", {{"A"}, {"B"}, {"C"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.size() == 3; })) << p.out();
    std::vector<pid_t> all{p.pid()};
    for (const auto &[name, pid] : probe_log::parse(p.out()).pids)
        all.push_back(pid);

    ASSERT_EQ(kill(-p.pid(), GetParam()), 0);
    auto stopped = [](pid_t id) { return state_of(id) == 'T'; };
    ASSERT_TRUE(eventually([&] { return std::all_of(all.begin(), all.end(), stopped); }));
    std::this_thread::sleep_for(300ms);  // longer than the slice that was running
    ASSERT_EQ(kill(-p.pid(), SIGCONT), 0);
    std::this_thread::sleep_for(50ms);

    std::string seen_running, failure;
    int crowded = 0;
    const auto end = std::chrono::steady_clock::now() + 800ms;
    while (std::chrono::steady_clock::now() < end && failure.empty()) {
        std::string running;
        for (size_t i = 1; i < all.size(); ++i)
            if (state_of(all[i]) == 'R')
                running += static_cast<char>('A' + i - 1);
        if (running.size() == 1 && seen_running.find(running) == std::string::npos)
            seen_running += running;
        crowded = running.size() > 1 ? crowded + 1 : 0;
        if (crowded == 3)
            failure = running + " run at once\n" + states(probe_log::parse(p.out()));
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(failure, "");
    std::sort(seen_running.begin(), seen_running.end());
    EXPECT_EQ(seen_running, "ABC") << "every child must have turns again";

    for (size_t i = 1; i < all.size(); ++i)
        kill(all[i], SIGKILL);
    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Timeslice, GroupStop, ::testing::Values(SIGTSTP, SIGSTOP),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

// Started with hang-ups ignored, the scheduler keeps ignoring them (as do
// its children) and finishes its work.
TEST(TimesliceSignals, IgnoredHangUpStaysIgnored)
{
    std::vector<std::string> args{"-c", "trap '' HUP; exec \"$0\" \"$@\"", ts::bin("timeslice")};
    for (const auto &a : probes("50", {{"A", "run=200"}, {"B", "run=200"}}))
        args.push_back(a);
    ts::Process p("/bin/sh", options(args));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("A") > 0; })) << p.out();
    ASSERT_TRUE(p.signal(SIGHUP));
    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(events_of(probe_log::parse(r.out), "done").size(), 2u) << r.out;
}

}  // namespace
