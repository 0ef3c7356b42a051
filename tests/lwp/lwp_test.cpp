// SPDX-License-Identifier: ISC
// The thread library from the inside: threads run in the test process
// itself. Each test leaves the library idle (no threads, default
// scheduling), so the whole program can also run in one process under
// valgrind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cfenv>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "lwp/lwp.h"
#include "expect.h"
#include "run.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define UNDER_VALGRIND RUNNING_ON_VALGRIND
#else
#define UNDER_VALGRIND 0
#endif

extern "C" int run_from_c(char *trace, int size);

namespace {

constexpr size_t kWord = sizeof(void *);

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// Restores the default scheduling however a test ends.
struct DefaultSchedulerAfter {
    ~DefaultSchedulerAfter() { lwp_set_scheduler(nullptr); }
};

// ---- Scheduling order -------------------------------------------------------

// A thread that writes its letter once per turn and yields after each.
struct Worker {
    char letter;
    int turns;
    bool explicit_exit;  // ends with lwp_exit rather than by returning
};

std::string trace;

void work(void *arg)
{
    const Worker *w = static_cast<const Worker *>(arg);
    for (int i = 0; i < w->turns; i++) {
        trace += w->letter;
        lwp_yield();
    }
    if (w->explicit_exit)
        lwp_exit();
}

// A scheduling function that gives scripted answers, then `fallback`.
std::deque<int> answers;
int fallback;

int scripted()
{
    if (answers.empty())
        return fallback;
    int a = answers.front();
    answers.pop_front();
    return a;
}

struct OrderCase {
    const char *name;
    std::vector<Worker> workers;
    bool use_scheduler;
    std::vector<int> script;
    int fallback;
    bool reset_before_start;  // install, then restore the default with null
    const char *expected;
};

const std::vector<Worker> kStairs = {{'a', 1, true}, {'b', 2, false}, {'c', 3, true}};

const OrderCase kOrderCases[] = {
    {"round_robin_in_creation_order", kStairs, false, {}, 0, false, "abcbcc"},
    {"always_first", kStairs, true, {}, 0, false, "abbccc"},
    {"always_last_then_past_the_end", kStairs, true, {2, 2, 2}, 2, false, "cccabb"},
    {"negative_answer_is_round_robin", kStairs, true, {}, -1, false, "abcbcc"},
    {"answer_equal_to_count_is_round_robin", kStairs, true, {}, 3, false, "abcbcc"},
    {"huge_answers_are_round_robin", kStairs, true, {INT32_MIN, INT32_MAX}, INT32_MAX, false, "abcbcc"},
    {"null_restores_round_robin", kStairs, true, {}, 0, true, "abcbcc"},
    // start 2, then 1, 0; then c twice (no switch on the second), then b;
    // round robin from there.
    {"scripted", kStairs, true, {2, 1, 0, 2, 2, 1}, -1, false, "cbaccb"},
    // After a ends, index 1 is c: the list no longer holds a.
    {"indices_count_without_the_ended_thread",
     {{'a', 1, false}, {'b', 1, false}, {'c', 1, false}}, true, {0, 0, 1}, -1, false, "acb"},
    {"single_thread_yields_to_itself", {{'a', 4, false}}, false, {}, 0, false, "aaaa"},
};

void PrintTo(const OrderCase &c, std::ostream *os) { *os << c.name; }

class Order : public ::testing::TestWithParam<OrderCase> {};

TEST_P(Order, Trace)
{
    const OrderCase &c = GetParam();
    DefaultSchedulerAfter restore;
    trace.clear();
    answers.assign(c.script.begin(), c.script.end());
    fallback = c.fallback;
    if (c.use_scheduler)
        lwp_set_scheduler(scripted);
    if (c.reset_before_start)
        lwp_set_scheduler(nullptr);
    for (const Worker &w : c.workers)
        ASSERT_GT(new_lwp(work, const_cast<Worker *>(&w), 2048), 0);
    lwp_start();
    EXPECT_EQ(trace, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Lwp, Order, ::testing::ValuesIn(kOrderCases),
                         ts::CaseName());

// ---- Creation ---------------------------------------------------------------

std::vector<void *> arguments_seen;

TEST(Lwp, EachThreadGetsItsOwnArgumentAndId)
{
    arguments_seen.clear();
    int slots[6];
    std::vector<void *> given = {&slots[0], &slots[3], nullptr, &slots[5],
                                 reinterpret_cast<void *>(static_cast<intptr_t>(-1))};
    std::set<int> ids;
    for (void *arg : given) {
        int id = new_lwp([](void *a) { arguments_seen.push_back(a); }, arg, 2048);
        EXPECT_GT(id, 0);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), given.size());
    lwp_start();
    EXPECT_EQ(arguments_seen, given);
}

struct BadCreate {
    const char *name;
    bool null_function;
    size_t stacksize;
    int error;
};

const BadCreate kBadCreates[] = {
    {"null_function", true, 2048, EINVAL},
    {"zero_stack", false, 0, EINVAL},
    {"stack_size_overflows_in_bytes", false, SIZE_MAX, ENOMEM},
    {"stack_size_overflows_with_the_guard", false, SIZE_MAX / kWord, ENOMEM},
};

void PrintTo(const BadCreate &c, std::ostream *os) { *os << c.name; }

class Refused : public ::testing::TestWithParam<BadCreate> {};

// A refused thread leaves nothing behind: the next run holds only the
// threads made afterwards.
TEST_P(Refused, FailsWithErrnoAndLeavesNoThread)
{
    const BadCreate &c = GetParam();
    trace.clear();
    errno = 0;
    EXPECT_EQ(new_lwp(c.null_function ? nullptr : work, nullptr, c.stacksize), -1);
    EXPECT_EQ(errno, c.error) << strerror(errno);
    lwp_start();
    EXPECT_EQ(trace, "");

    Worker w{'w', 2, false};
    ASSERT_GT(new_lwp(work, &w, 1), 0);
    lwp_start();
    EXPECT_EQ(trace, "ww");
}

INSTANTIATE_TEST_SUITE_P(Lwp, Refused, ::testing::ValuesIn(kBadCreates),
                         ts::CaseName());

// A parent makes two children on its first turn and one grandchild chain;
// new threads join the end of the round.
Worker child_x{'x', 1, false}, child_y{'y', 1, true};
std::vector<int> inner_ids;
int chain_left;

void chain(void *)
{
    trace += 'g';
    if (--chain_left > 0)
        inner_ids.push_back(new_lwp(chain, nullptr, 1024));
}

void parent(void *)
{
    inner_ids.push_back(new_lwp(work, &child_x, 2048));
    inner_ids.push_back(new_lwp(work, &child_y, 2048));
    trace += 'P';
    lwp_yield();
    trace += 'P';
    lwp_yield();
    chain_left = 3;
    inner_ids.push_back(new_lwp(chain, nullptr, 1024));
}

TEST(Lwp, ThreadsCreateThreads)
{
    trace.clear();
    inner_ids.clear();
    Worker q{'Q', 1, false};
    int first = new_lwp(parent, nullptr, 2048);
    int second = new_lwp(work, &q, 2048);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    lwp_start();
    // P Q x y P, then Q, x and y end, P makes the chain and ends.
    EXPECT_EQ(trace, "PQxyPggg");
    std::set<int> ids(inner_ids.begin(), inner_ids.end());
    ids.insert(first);
    ids.insert(second);
    EXPECT_EQ(ids.size(), 7u);
    EXPECT_GT(*ids.begin(), 0);
}

// ---- Runs -------------------------------------------------------------------

TEST(Lwp, StartAndCallsOutsideThreadsAreHarmless)
{
    trace.clear();
    lwp_yield();
    lwp_exit();
    lwp_start();  // nothing to run

    // lwp_start from inside a thread does not nest a second run.
    ASSERT_GT(new_lwp([](void *) { trace += '1'; lwp_start(); trace += '2'; }, nullptr, 2048), 0);
    lwp_start();
    EXPECT_EQ(trace, "12");

    // A second run with new threads, made after the first has returned.
    Worker a{'a', 2, false}, b{'b', 1, true};
    ASSERT_GT(new_lwp(work, &a, 2048), 0);
    ASSERT_GT(new_lwp(work, &b, 2048), 0);
    lwp_start();
    EXPECT_EQ(trace, "12aba");
}

constexpr int kCrowd = 300;
constexpr int kRounds = 2000;
long tick;
int out_of_turn;

// In strict round robin, thread t's i-th turn comes exactly at tick i*N + t.
void strict_turns(void *arg)
{
    const long t = reinterpret_cast<intptr_t>(arg);
    for (long i = 0; i < kRounds; i++) {
        if (tick != i * kCrowd + t)
            out_of_turn++;
        tick++;
        lwp_yield();
    }
}

TEST(Lwp, HundredsOfThreadsThousandsOfYields)
{
    tick = 0;
    out_of_turn = 0;
    for (intptr_t t = 0; t < kCrowd; t++)
        ASSERT_GT(new_lwp(strict_turns, reinterpret_cast<void *>(t), 2048), 0);
    lwp_start();
    EXPECT_EQ(tick, static_cast<long>(kCrowd) * kRounds);
    EXPECT_EQ(out_of_turn, 0);
}

size_t mapping_count()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    size_t n = 0;
    while (std::getline(maps, line))
        n++;
    return n;
}

size_t peak_mappings;

TEST(Lwp, StacksAreReleasedWhenThreadsEnd)
{
    constexpr int kThreads = 400;
    const size_t before = mapping_count();
    peak_mappings = 0;
    // The first thread counts once all of them have had a turn.
    for (int i = 0; i < kThreads; i++) {
        ASSERT_GT(new_lwp([](void *first) {
            lwp_yield();
            if (first)
                peak_mappings = mapping_count();
        }, i == 0 ? &peak_mappings : nullptr, 2048), 0);
    }
    lwp_start();
    // While they all lived, every stack was a mapping of its own; the count
    // shows it (so the comparison below can see a leak).
    EXPECT_GE(peak_mappings, before + kThreads);
    EXPECT_LT(mapping_count(), before + kThreads / 10);
}

// ---- Stacks and processor state ----------------------------------------------

const char *stack_top;
size_t stack_wanted;
unsigned deepest;
bool frame_damaged;

// Recurses until `stack_wanted` bytes below the thread's first frame are in
// use, filling every frame and checking it again on the way back.
__attribute__((noinline)) unsigned long dive(unsigned depth)
{
    volatile unsigned char pad[192];
    for (auto &b : pad)
        b = static_cast<unsigned char>(depth);
    unsigned long sum = depth;
    const char *here = static_cast<const char *>(__builtin_frame_address(0));
    if (static_cast<size_t>(stack_top - here) < stack_wanted)
        sum += dive(depth + 1);
    else
        deepest = depth;
    for (auto &b : pad)
        if (b != static_cast<unsigned char>(depth))
            frame_damaged = true;
    return sum;
}

unsigned long dive_sum;

void deep(void *)
{
    stack_top = static_cast<const char *>(__builtin_frame_address(0));
    dive_sum = dive(1);
    lwp_yield();  // the other thread's stack in between must not disturb ours
}

class Stack : public ::testing::TestWithParam<size_t> {};

// The stack holds at least the words asked for (rounded up to a page):
// recursion to within a kilobyte of that ends well, with every frame intact.
TEST_P(Stack, DeepRecursionFits)
{
    const size_t words = GetParam();
    const size_t page = page_size();
    const size_t usable = (words * kWord + page - 1) / page * page;
    stack_wanted = usable - 1024;
    deepest = 0;
    frame_damaged = false;
    ASSERT_GT(new_lwp(deep, nullptr, words), 0);
    ASSERT_GT(new_lwp([](void *) { lwp_yield(); }, nullptr, 2048), 0);
    lwp_start();
    ASSERT_GT(deepest, 1u);
    EXPECT_EQ(dive_sum, static_cast<unsigned long>(deepest) * (deepest + 1) / 2);
    EXPECT_FALSE(frame_damaged);
}

INSTANTIATE_TEST_SUITE_P(Lwp, Stack, ::testing::Values(1, 2048, 8192, 65536),
                         [](const auto &run) { return "words_" + std::to_string(run.param); });

// Every thread starts with its stack aligned as at a call: 16 bytes on both
// processors. A local declared with that alignment shows it, read through a
// volatile pointer so that the compiler cannot assume the answer.
std::vector<uintptr_t> misalignments;

void note_alignment(void *)
{
    alignas(16) char probe[16];
    char *volatile seen = probe;
    misalignments.push_back(reinterpret_cast<uintptr_t>(seen) % 16);
    probe[0] = 0;
}

TEST(Lwp, NewStacksAreAlignedForCalls)
{
    misalignments.clear();
    for (size_t words : {1, 2, 3, 5, 2048, 2049, 2051})
        ASSERT_GT(new_lwp(note_alignment, nullptr, words), 0);
    lwp_start();
    EXPECT_EQ(misalignments, std::vector<uintptr_t>(7, 0));
}

// Rounding modes are per thread: a thread finds after every yield the mode
// it set, whatever the others did meanwhile, and a new thread starts with
// its creator's. Division shows the mode the arithmetic really uses (SSE on
// x86_64, x87 on i386); fegetround shows the x87 control word.
volatile double one = 1.0, three = 3.0;
double third_up, third_down, third_nearest;
bool arithmetic_follows_mode;  // not under valgrind, which rounds to nearest
std::vector<std::string> fp_failures;

// Stored, so that the x87's wider registers cannot blur the comparison.
double third()
{
    volatile double q = one / three;
    return q;
}

void check_mode(const char *who, int mode, double expected)
{
    if (fegetround() != mode)
        fp_failures.push_back(std::string(who) + ": control word lost");
    if (arithmetic_follows_mode && third() != expected)
        fp_failures.push_back(std::string(who) + ": arithmetic in another mode");
}

struct Rounding {
    const char *name;
    int mode;
    const double *third;  // one third as this mode rounds it
};

void keeps_rounding(void *arg)
{
    const Rounding *r = static_cast<const Rounding *>(arg);
    check_mode((std::string(r->name) + ", at start").c_str(), FE_TONEAREST, third_nearest);
    fesetround(r->mode);
    for (int i = 0; i < 3; i++) {
        lwp_yield();
        check_mode(r->name, r->mode, *r->third);
    }
}

TEST(Lwp, FloatingPointModesStayWithTheirThread)
{
    fp_failures.clear();
    ASSERT_EQ(fesetround(FE_UPWARD), 0);
    third_up = third();
    ASSERT_EQ(fesetround(FE_DOWNWARD), 0);
    third_down = third();
    ASSERT_EQ(fesetround(FE_TONEAREST), 0);
    third_nearest = third();
    arithmetic_follows_mode = third_up != third_down;
    if (!UNDER_VALGRIND) {
        ASSERT_TRUE(arithmetic_follows_mode) << "division ignores the rounding mode";
    }

    Rounding up{"up", FE_UPWARD, &third_up}, down{"down", FE_DOWNWARD, &third_down};
    ASSERT_GT(new_lwp(keeps_rounding, &up, 2048), 0);
    ASSERT_GT(new_lwp(keeps_rounding, &down, 2048), 0);
    lwp_start();
    EXPECT_EQ(fp_failures, std::vector<std::string>{});
    check_mode("caller of lwp_start", FE_TONEAREST, third_nearest);
    EXPECT_EQ(fp_failures, std::vector<std::string>{});
}

// The signal mask is the process's: what one thread blocks is blocked in the
// next one it yields to, and after lwp_start returns.
void blocks_usr1(void *)
{
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    lwp_yield();
}

void sees_usr1_blocked(void *seen)
{
    lwp_yield();
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    *static_cast<int *>(seen) = sigismember(&now, SIGUSR1);
}

TEST(Lwp, SignalMaskIsSharedByAllThreads)
{
    sigset_t before;
    ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &before), 0);
    ASSERT_FALSE(sigismember(&before, SIGUSR1));
    int seen = -1;
    ASSERT_GT(new_lwp(blocks_usr1, nullptr, 2048), 0);
    ASSERT_GT(new_lwp(sees_usr1_blocked, &seen, 2048), 0);
    lwp_start();
    sigset_t after;
    sigprocmask(SIG_SETMASK, &before, &after);
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(sigismember(&after, SIGUSR1));
}

TEST(Lwp, UsableFromC)
{
    char text[16] = "";
    EXPECT_EQ(run_from_c(text, sizeof text), 0);
    EXPECT_STREQ(text, "12121");
}

// Exceptions thrown and caught inside threads unwind on the right stack and
// stay with their thread across yields; in the sanitized build nothing is
// reported about the switches.
TEST(Lwp, ExceptionsInsideThreads)
{
    ts::Result r = ts::run(ts::helper("lwp_exceptions"));
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(r.out,
              "throws_between_yields: ok\n"
              "rethrows_after_yields_in_handlers: ok\n"
              "in_flight_count_per_thread: ok\n"
              "caller_of_start_keeps_its_own: ok\n"
              "thread_ends_inside_a_handler: ok\n");
    EXPECT_EQ(r.err, "");
}

// ---- The guard page ------------------------------------------------------------

constexpr size_t kSmallStack = 2048;  // words: a whole number of pages on both processors
uintptr_t guard_lo, guard_hi;

void on_segv(int, siginfo_t *info, void *)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
    const char *what = at >= guard_lo && at < guard_hi ? "fault in the guard page\n"
                                                       : "fault outside the guard page\n";
    // The handler is reset, so the faulting access, repeated, kills the process.
    ssize_t n = write(2, what, strlen(what));
    (void)n;
}

__attribute__((noinline)) unsigned endless(unsigned depth)
{
    if (depth == ~0u)
        return 0;
    volatile unsigned char pad[256];
    for (auto &b : pad)
        b = static_cast<unsigned char>(depth);
    return endless(depth + 1) + pad[depth % sizeof pad];
}

void overflow(void *)
{
    // The guard page lies just below the mapping that holds this frame.
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    FILE *maps = fopen("/proc/self/maps", "r");
    unsigned long lo, hi;
    while (maps && fscanf(maps, "%lx-%lx%*[^\n]", &lo, &hi) == 2 && !guard_hi)
        if (lo <= here && here < hi)
            guard_hi = lo;
    if (maps)
        fclose(maps);
    guard_lo = guard_hi - page_size();
    endless(0);
}

void overflow_plain()
{
    if (new_lwp(overflow, nullptr, kSmallStack) <= 0)
        _exit(2);
    lwp_start();
    _exit(0);
}

void overflow_watched()
{
    static char alt[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alt;
    ss.ss_size = sizeof alt;
    if (sigaltstack(&ss, nullptr) != 0)
        _exit(2);
    struct sigaction sa{};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    if (sigaction(SIGSEGV, &sa, nullptr) != 0)
        _exit(2);
    overflow_plain();
}

TEST(LwpDeathTest, StackOverflowFaultsOnTheGuardPage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(overflow_watched(), ::testing::KilledBySignal(SIGSEGV), "fault in the guard page");
    // Left alone, the fault ends the process; a sanitizer, which handles the
    // signal itself, reports it and exits with its own status.
    if (ts::sanitizer_runtime())
        EXPECT_EXIT(overflow_plain(), [](int ws) { return WIFEXITED(ws) && WEXITSTATUS(ws) != 0; },
                    "Sanitizer: stack-overflow");
    else
        EXPECT_EXIT(overflow_plain(), ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
