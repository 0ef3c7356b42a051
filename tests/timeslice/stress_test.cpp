// SPDX-License-Identifier: ISC
// Long runs with a 1 ms quantum, where rare interleavings of the timer and
// the children's own ends show up: a child ending just as its slice expires,
// and an expiry that comes before the scheduler has gone to sleep.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "probe_log.h"
#include "run.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// With children that last about one slice, many exit in the instant between
// the timer running out and the stop reaching them; a run must nevertheless
// collect every one and end with 0.
TEST(TimesliceStress, ShortChildrenWithTinySlices)
{
    const int kRuns = 150;
    const std::vector<std::string> words{"w1", "w2", "w3", "w4"};  // sorted
    ts::Options o;
    o.args = {"1", "/bin/echo", "w1", ":", "/bin/echo", "w2", ":", "/bin/echo", "w3", ":", "/bin/echo", "w4"};
    for (int run = 0; run < kRuns; ++run) {
        ts::Result r = ts::run(ts::bin("timeslice"), o);
        ASSERT_EQ(r.exit_code(), 0) << "run " << run << ": " << r.describe() << "\n" << r.err;
        ASSERT_EQ(r.err, "") << "run " << run;
        ASSERT_EQ(lines_of(r.out), words) << "run " << run << ": " << ts::visible(r.out);
    }
}

// Children that never end take thousands of 1 ms slices in turn. An expiry
// that got lost would leave one of them running for good and the others
// starved; an expiry that reached the default action would kill the
// scheduler. At the end the test kills the children, and the scheduler,
// having reaped them all, exits 0.
TEST(TimesliceStress, ThousandsOfSlicesNeverStall)
{
    const size_t kTurns = 4000;
    const auto kStall = 15s;  // far beyond any pause of a loaded machine
    const std::string probe = ts::helper("timeslice_probe");
    ts::Options o;
    o.args = {"1", probe, "A", ":", probe, "B", ":", probe, "C"};
    o.timeout = 600s;
    ts::Process p(ts::bin("timeslice"), o);

    size_t turns = 0;
    auto progress = std::chrono::steady_clock::now();
    probe_log::Log log;
    while (turns < kTurns) {
        std::this_thread::sleep_for(250ms);
        log = probe_log::parse(p.out());
        size_t now = probe_log::turns(log).size();
        if (now > turns) {
            turns = now;
            progress = std::chrono::steady_clock::now();
        }
        ASSERT_TRUE(ts::alive(p.pid())) << "the scheduler ended after " << turns << " turns";
        ASSERT_LT(std::chrono::steady_clock::now() - progress, kStall) << "stalled after " << turns << " turns";
    }
    EXPECT_EQ(probe_log::overlap(log), "");

    ASSERT_EQ(log.pids.size(), 3u);
    for (const auto &[name, pid] : log.pids)
        ASSERT_EQ(kill(pid, SIGKILL), 0) << name;
    ts::Result r = p.wait(60s);
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(r.err, "");
}

}  // namespace
