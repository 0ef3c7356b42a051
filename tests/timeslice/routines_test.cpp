// SPDX-License-Identifier: ISC
// The scheduler's pure routines on their own: choosing the next turn and
// the two trace printers.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "expect.h"
#include "timeslice.h"

namespace {

struct Table {
    std::vector<pid_t> ids;
    proc_table pt;
    explicit Table(std::vector<pid_t> v) : ids(std::move(v)), pt{static_cast<int>(ids.size()), ids.data()} {}
    std::vector<pid_t> live() const { return {ids.begin(), ids.begin() + pt.count}; }
};

// Who should run next, reasoned by identity rather than by index: the entry
// that follows `old` in circular order among the ones left, wherever the
// removal has moved it.
int expected_next(const std::vector<pid_t> &before, int old, pid_t remove, const std::vector<pid_t> &after)
{
    if (after.empty())
        return 0;
    const int n = static_cast<int>(before.size());
    pid_t next = 0;
    for (int step = 1; step <= n; ++step) {
        pid_t candidate = before[(old + step) % n];
        if (candidate != remove) {
            next = candidate;
            break;
        }
    }
    for (size_t i = 0; i < after.size(); ++i)
        if (after[i] == next)
            return static_cast<int>(i);
    return -1;
}

struct NextCase {
    const char *name;
    std::vector<pid_t> table;
    int old;
    pid_t remove;
    int next;
    std::vector<pid_t> left;
};

// A few named cases; the model test below covers the rest.
const NextCase kNextCases[] = {
    {"last_wraps_to_first", {11, 22, 33}, 2, 0, 0, {11, 22, 33}},
    {"holder_ends_successor_moves_in", {11, 22, 33}, 1, 22, 1, {11, 33}},
    {"last_holder_ends_first_runs_next", {11, 22, 33}, 2, 33, 0, {11, 22}},
    {"only_entry_ends", {11}, 0, 11, 0, {}},
    {"unknown_child_removes_nothing", {11, 22, 33}, 1, 99, 2, {11, 22, 33}},
};

void PrintTo(const NextCase &c, std::ostream *os) { *os << c.name; }

class ScheduleNext : public ::testing::TestWithParam<NextCase> {};

TEST_P(ScheduleNext, ChoosesAndRemoves)
{
    const NextCase &c = GetParam();
    Table t(c.table);
    EXPECT_EQ(schedule_next(c.old, &t.pt, c.remove), c.next);
    EXPECT_EQ(t.live(), c.left);
}

INSTANTIATE_TEST_SUITE_P(Timeslice, ScheduleNext, ::testing::ValuesIn(kNextCases),
                         ts::CaseName());

// Random tables, current entries and removals (present, absent or none)
// against the circular-order reasoning above.
TEST(TimesliceScheduleNext, AgreesWithCircularOrder)
{
    std::mt19937 rng(20240601);
    for (int round = 0; round < 5000; ++round) {
        int n = std::uniform_int_distribution<int>(1, 8)(rng);
        std::vector<pid_t> ids;
        for (int i = 0; i < n; ++i)
            ids.push_back(100 + i * 7);
        int old = std::uniform_int_distribution<int>(0, n - 1)(rng);
        int pick = std::uniform_int_distribution<int>(-2, n - 1)(rng);
        pid_t remove = pick == -2 ? 0 : pick == -1 ? 99999 : ids[static_cast<size_t>(pick)];

        std::vector<pid_t> after = ids;
        std::erase(after, remove);
        Table t(ids);
        int got = schedule_next(old, &t.pt, remove);
        ASSERT_EQ(t.live(), after) << "n=" << n << " old=" << old << " remove=" << remove;
        ASSERT_EQ(got, expected_next(ids, old, remove, after)) << "n=" << n << " old=" << old << " remove=" << remove;
    }
}

std::string logged(const char *tag, int old, int next, const proc_table &pt, pid_t remove)
{
    testing::internal::CaptureStderr();
    schedule_log(tag, old, next, &pt, remove);
    return testing::internal::GetCapturedStderr();
}

TEST(TimesliceTrace, ScheduleLogPrintsTheDecisionAndTheWholeTable)
{
    Table two({123, 456});
    EXPECT_EQ(logged("tick", 0, 1, two.pt, 0),
              "schedule_log: tick: old=0, new = 1, remove=0, pt->count=2, pt: [123, 456 ]\n");
    EXPECT_EQ(two.live(), (std::vector<pid_t>{123, 456})) << "logging must not touch the table";

    Table one({7});
    EXPECT_EQ(logged("gone", 0, 0, one.pt, 8), "schedule_log: gone: old=0, new = 0, remove=8, pt->count=1, pt: [7 ]\n");

    Table none({});
    EXPECT_EQ(logged("empty", 3, 0, none.pt, 5), "schedule_log: empty: old=3, new = 0, remove=5, pt->count=0, pt: [ ]\n");
}

struct StatusCase {
    pid_t pid;
    int status;
    int error;
    const char *printed;
};

TEST(TimesliceTrace, PrintStatusNamesEveryKindOfWaitResult)
{
    const StatusCase cases[] = {
        {-1, 0, EINTR, "wait() was interrupted\n"},
        {-1, 0, ECHILD, "wait(): No child processes\n"},
        {42, 0x0000, 0, "pid 42 exited\n"},
        {42, 0xff00, 0, "pid 42 exited\n"},
        {42, 0x0009, 0, "pid 42 signalled\n"},
        {42, 0x0086, 0, "pid 42 signalled\n"},  // with a core dump
        {77, 0x137f, 0, "pid 77 stopped\n"},
        {77, 0xffff, 0, "pid 77 did something...\n"},  // continued
    };
    for (const StatusCase &c : cases) {
        testing::internal::CaptureStderr();
        errno = c.error;
        print_status(c.pid, c.status);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed) << "pid " << c.pid << " status " << c.status;
    }
}

}  // namespace
