// SPDX-License-Identifier: ISC
// How the scheduler shares the processor, seen from its children: probes
// record when they run, and the tests check order and exclusion (durations
// only where the timer bounds them from below), with children that end, stop
// themselves, or are stopped or killed from outside.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
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

bool wait_for(const ts::Process &p, const std::function<bool(const Log &)> &ready)
{
    return ts::eventually([&] { return ready(probe_log::parse(p.out())); });
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
using ts::eventually;
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
    // A stop refused is no child that has gone. A, left to finish, has 30 ms
    // of work left when the scheduler ends; the run waits 2 s for it, which a
    // share of a processor as small as a sixtieth still meets.
    {.name = "refused_stop", .children = {{"A", "run=80"}, {"B", "run=20"}}, .turns = "A",
     .fault = "kill(STOP):1:EPERM", .quantum = "50", .status = 10, .err = "stop_process: process {A} failed to stop\n"},
    // Likewise a stop sent that no wait reports: the third wait for one
    // child, after the two of the launches.
    {.name = "stop_unreported", .children = {{"A", "run=80"}, {"B", "run=20"}}, .turns = "A",
     .fault = "waitpid(pid):3", .quantum = "50", .status = 10, .err = "stop_process: process {A} failed to stop\n"},
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
// Traced, each turn ends by its time running out, or by its child's exit,
// which may come before the stop at the end of its time.
TEST(TimesliceSlices, TwoBusyChildrenTakeTurnsAndNeverOverlap)
{
    ts::Options o = options(probes("0x64", {{"A", "run=350"}, {"B", "run=350"}}));
    o.env = {"TIMESLICE_TRACE=1"};
    ts::Result r = ts::run(ts::bin("timeslice"), o);
    ASSERT_TRUE(r.exited()) << r.describe();
    EXPECT_EQ(r.exit_code(), 0);
    const std::string turn_end = R"((wait\(\) was interrupted\n(pid \d+ stopped\n)"
                                 R"(schedule_log: expired: old=\d, new = \d, remove=0, |)"
                                 R"(pid \d+ exited\nschedule_log: exited: old=\d, new = 0, remove=\d+, )|)"
                                 R"(pid \d+ exited\nschedule_log: exited: old=\d, new = 0, remove=\d+, )"
                                 R"()pt->count=[012], pt: \[[0-9, ]* \]\n)";
    EXPECT_TRUE(std::regex_match(r.err, std::regex("(" + turn_end + ")+"))) << r.err;
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

// So is one killed before its first turn, by a signal that the scheduler
// itself holds, once something continues it (as job control continues the
// whole job): it waits for its turn with the signal state the scheduler was
// started with, so it dies then, not at its turn.
TEST(TimesliceSlices, ChildKilledBeforeItsFirstTurnIsRemoved)
{
    ts::Process p(ts::bin("timeslice"), options(probes(kForever, {{"A"}, {"X"}, {"Y", "run=20"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("A") > 0; })) << p.out();
    const pid_t a = probe_log::parse(p.out()).pids.at("A");
    std::vector<pid_t> waiting = children_of(p.pid());
    std::erase(waiting, a);
    ASSERT_EQ(waiting.size(), 2u);  // X was made first: the lower number, unless the numbers wrapped
    const pid_t x = std::min(waiting[0], waiting[1]);
    ASSERT_EQ(kill(x, SIGTERM), 0);
    ASSERT_EQ(kill(x, SIGCONT), 0);

    ASSERT_TRUE(eventually([&] { return written_after(p.out(), "done Y", "seg A"); }))
        << "Y must run, then A again\n" << p.out();
    kill(a, SIGKILL);
    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(joined(events_of(probe_log::parse(r.out), "start")), "AY") << r.out;
}

class EndingSignal : public ::testing::TestWithParam<int> {};

// A signal that would kill the scheduler, sent to it alone (a script's
// `kill $!`), means "stop this", never "run everything now": the scheduler
// lets go of A, which has had a turn, to finish its work, kills B and C,
// which have not run anything, and dies by the signal.
TEST_P(EndingSignal, LetsStartedChildrenFinishAndKillsTheRest)
{
    const int sig = GetParam();
    ts::Process p(ts::bin("timeslice"), options(probes(kForever, {{"A", "run=300"}, {"B"}, {"C"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("A") > 0; })) << p.out();
    ASSERT_TRUE(p.signal(sig));

    EXPECT_TRUE(wait_for(p, [](const Log &l) { return has_event(l, "done A"); })) << p.out();
    ts::Result r = p.wait();
    EXPECT_EQ(r.term_signal(), sig) << r.describe();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(joined(events_of(probe_log::parse(r.out), "start")), "A") << r.out;
    EXPECT_EQ(r.left, "");
}

// It does so at once, even in the middle of waiting for A's stop, which A's
// hold delays for seconds: the signal is sent a tenth of a second after the
// trace shows A's turn over, and the scheduler must be gone while A's hold
// still lasts. (The turn ends a second after it began, so A must have
// started and entered its hold within that second: ten times what a start
// takes under the sanitizers; the hold leaves almost three seconds more.)
TEST(TimesliceSignals, EndingSignalDoesNotWaitForAStop)
{
    if (ts::under_emulator())
        GTEST_SKIP() << "the emulator runs the probe's hold as a plain fork, and the stop takes A at once";
    ts::Options o = options(probes("1000", {{"A", "hold=4000", "run=300"}, {"B", "run=300"}}));
    o.env = {"TIMESLICE_TRACE=1"};
    ts::Process p(ts::bin("timeslice"), o);
    ASSERT_TRUE(eventually([&] { return p.err() == "wait() was interrupted\n"; })) << p.err();
    // The child that holds A; it ends with the hold.
    const std::vector<pid_t> hold = children_of(probe_log::parse(p.out()).pids.at("A"));
    ASSERT_EQ(hold.size(), 1u);
    // Well into the wait for the stop, which is sent again every 10 ms.
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(p.signal(SIGTERM));

    ASSERT_TRUE(eventually([&] { return !ts::alive(p.pid()); })) << "the scheduler did not end";
    EXPECT_TRUE(ts::alive(hold[0])) << "it waited for A to stop";
    EXPECT_TRUE(wait_for(p, [](const Log &l) { return has_event(l, "done A"); })) << p.out();
    ts::Result r = p.wait();
    EXPECT_EQ(r.term_signal(), SIGTERM) << r.describe();
    EXPECT_EQ(joined(events_of(probe_log::parse(r.out), "start")), "A") << r.out;
}

// Someone else's continue, while the stop that ends A's turn cannot yet take
// A, cancels that stop. The scheduler sends it again until it shows: A stops
// as soon as its hold is over, and B starts before A goes on. (B has a
// quarter of a second to start, which even a tenth of a processor allows.)
TEST(TimesliceSignals, StopCancelledByAContinueIsSentAgain)
{
    if (ts::under_emulator())
        GTEST_SKIP() << "the emulator runs the probe's hold as a plain fork, and the stop takes A at once";
    ts::Process p(ts::bin("timeslice"), options(probes("250", {{"A", "hold=4000", "run=20"}, {"B", "run=20"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("A") > 0; })) << p.out();
    const pid_t a = probe_log::parse(p.out()).pids.at("A");
    ASSERT_TRUE(eventually([&] { return ts::signal_pending(a, SIGSTOP); })) << "the turn did not end";
    ASSERT_EQ(kill(a, SIGCONT), 0);  // takes the pending stop away at once
    ASSERT_TRUE(eventually([&] { return ts::signal_pending(a, SIGSTOP); })) << "the stop was not sent again";
    const std::vector<pid_t> hold = children_of(a);
    ASSERT_EQ(hold.size(), 1u);
    ASSERT_EQ(kill(hold[0], SIGKILL), 0);

    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_TRUE(written_after(r.out, "start B", "held A")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Timeslice, EndingSignal, ::testing::Values(SIGTERM, SIGHUP, SIGINT, SIGUSR1),
                         [](const auto &param) { return std::string(sigabbrev_np(param.param)); });

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

// How many of `kids` run their commands: a child counts while it may run
// and has no stop signal on its way (one that has runs none of its command
// before it stops, however long it waits for the processor).
std::string running(const std::vector<std::pair<std::string, pid_t>> &kids)
{
    std::string names;
    for (const auto &[name, pid] : kids)
        if (state_of(pid) == 'R' && !ts::signal_pending(pid, SIGSTOP))
            names += name;
    return names;
}

// Job control stops the whole group, the scheduler and every child, and later
// continues the whole group: every child runs until the scheduler, continued
// with them, has sent each of them but one its stop. Then one runs at a time
// and the turns go on. /proc is read in rounds; a round can catch a handover
// between two reads, never two rounds in a row. With two children one stop
// is awaited, with three two.
TEST_P(GroupStop, OneChildRunsOnceContinued)
{
    for (const std::string names : {"ABC", "AB"}) {
        SCOPED_TRACE(names);
        std::vector<std::vector<std::string>> children;
        for (char name : names)
            children.push_back({std::string(1, name)});
        ts::Process p(ts::bin("timeslice"), options(probes("200", children)));
        ASSERT_TRUE(wait_for(p, [&](const Log &l) { return l.pids.size() == names.size(); })) << p.out();
        const auto started = probe_log::parse(p.out()).pids;
        const std::vector<std::pair<std::string, pid_t>> kids(started.begin(), started.end());

        ASSERT_EQ(kill(-p.pid(), GetParam()), 0);
        auto stopped = [](const auto &kid) { return state_of(kid.second) == 'T'; };
        ASSERT_TRUE(eventually([&] { return state_of(p.pid()) == 'T' && std::all_of(kids.begin(), kids.end(), stopped); }));
        std::this_thread::sleep_for(300ms);  // so that the turn that was running runs out while stopped
        ASSERT_EQ(kill(-p.pid(), SIGCONT), 0);
        ASSERT_TRUE(eventually([&] { return running(kids).size() <= 1; })) << states(probe_log::parse(p.out()));

        std::string seen_alone, failure;
        int crowded = 0;
        eventually([&] {
            std::string now = running(kids);
            if (now.size() == 1 && seen_alone.find(now) == std::string::npos)
                seen_alone += now;
            crowded = now.size() > 1 ? crowded + 1 : 0;
            if (crowded == 2)
                failure = now + " run at once\n" + states(probe_log::parse(p.out()));
            return seen_alone.size() == names.size() || !failure.empty();
        });
        EXPECT_EQ(failure, "");
        std::sort(seen_alone.begin(), seen_alone.end());
        EXPECT_EQ(seen_alone, names) << "every child must have turns again";

        for (const auto &[name, pid] : kids)
            kill(pid, SIGKILL);
        ts::Result r = p.wait();
        EXPECT_EQ(r.exit_code(), 0) << r.describe();
        EXPECT_EQ(r.err, "");
    }
}

// Only A has had a turn when job control stops and continues the job. B and
// C, continued with it, go back to waiting before their commands, asleep:
// the scheduler's own continue is the only one that lets a child on. A child
// that went on would run its probe, which never sleeps.
TEST_P(GroupStop, ChildrenThatHaveNotRunWaitOn)
{
    ts::Process p(ts::bin("timeslice"), options(probes(kForever, {{"A"}, {"B"}, {"C"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("A") > 0; })) << p.out();
    const pid_t a = probe_log::parse(p.out()).pids.at("A");
    std::vector<pid_t> all = children_of(p.pid()), waiting;
    std::copy_if(all.begin(), all.end(), std::back_inserter(waiting), [a](pid_t kid) { return kid != a; });
    ASSERT_EQ(waiting.size(), 2u);
    all.push_back(p.pid());

    ASSERT_EQ(kill(-p.pid(), GetParam()), 0);
    ASSERT_TRUE(eventually([&] { return std::all_of(all.begin(), all.end(), [](pid_t id) { return state_of(id) == 'T'; }); }));
    ASSERT_EQ(kill(-p.pid(), SIGCONT), 0);
    EXPECT_TRUE(eventually([&] { return std::all_of(waiting.begin(), waiting.end(), [](pid_t id) { return state_of(id) == 'S'; }); }))
        << states(probe_log::parse(p.out()));
    EXPECT_EQ(joined(events_of(probe_log::parse(p.out()), "start")), "A");

    // Stopped by someone else while they wait, B and C end no turn: the
    // scheduler takes their stops and sleeps again.
    for (pid_t id : waiting)
        ASSERT_EQ(kill(id, SIGSTOP), 0);
    EXPECT_TRUE(eventually([&] {
        return state_of(p.pid()) == 'S' && !ts::signal_pending(p.pid(), SIGCHLD) &&
               std::all_of(waiting.begin(), waiting.end(), [](pid_t id) { return state_of(id) == 'T'; });
    })) << states(probe_log::parse(p.out()));
    EXPECT_EQ(joined(events_of(probe_log::parse(p.out()), "start")), "A");

    // The turns go on as before: B's comes once A has ended.
    ASSERT_EQ(kill(a, SIGKILL), 0);
    EXPECT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("B") > 0; })) << p.out();
    for (pid_t id : waiting)
        kill(id, SIGKILL);
    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(r.err, "");
}

// A's turn runs out while job control holds the job stopped. Continued, A
// has its turn again, whole: B starts no sooner than the timer, armed after
// the continue, allows. (The stop must come within the half second of A's
// first turn, ample even for a busy machine. The bound is three fifths of
// the quantum: a timer never runs out early, and a turn ended at once lets B
// start within milliseconds.)
TEST_P(GroupStop, TurnRunOutWhileStoppedStartsAfresh)
{
    ts::Process p(ts::bin("timeslice"), options(probes("500", {{"A"}, {"B", "run=20"}})));
    ASSERT_TRUE(wait_for(p, [](const Log &l) { return l.pids.count("A") > 0; })) << p.out();
    const pid_t a = probe_log::parse(p.out()).pids.at("A");
    ASSERT_EQ(kill(-p.pid(), GetParam()), 0);
    ASSERT_TRUE(eventually([&] { return state_of(p.pid()) == 'T' && state_of(a) == 'T'; }));
    std::this_thread::sleep_for(600ms);
    const auto continued = std::chrono::steady_clock::now().time_since_epoch();
    ASSERT_EQ(kill(-p.pid(), SIGCONT), 0);

    ASSERT_TRUE(wait_for(p, [](const Log &l) { return has_event(l, "done B"); })) << p.out();
    kill(a, SIGKILL);
    ts::Result r = p.wait();
    const Log log = probe_log::parse(r.out);
    auto b = std::find_if(log.segments.begin(), log.segments.end(), [](const auto &s) { return s.name == "B"; });
    ASSERT_NE(b, log.segments.end()) << r.out;
    EXPECT_GT(std::chrono::nanoseconds(b->start) - continued, 300ms) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Timeslice, GroupStop, ::testing::Values(SIGTSTP, SIGSTOP),
                         [](const auto &param) { return std::string(sigabbrev_np(param.param)); });

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
