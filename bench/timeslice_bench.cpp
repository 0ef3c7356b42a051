// SPDX-License-Identifier: ISC
// How well timeslice slices, side by side with the kernel's own scheduler
// running the same CPU-bound probes pinned to one CPU (what `taskset -c 0`
// does). The timeslice run has its probes there too, and its scheduler either
// beside them on CPU 0 (apart:0) or on CPU 1 (apart:1), as it would run on an
// idle machine of two processors. Both run at nice -10 where permitted, the
// same for both.
//
// Re-run (about four minutes):
//   cmake --preset default && cmake --build --preset default --target timeslice_bench
//   build/bench/timeslice_bench
// TIMESLICE_BENCH_PROGRAM names another timeslice binary to measure, for
// comparing two builds run after run on the same machine, for example the
// slice error of an older commit against this tree's:
//   git worktree add /tmp/ts-old COMMIT &&
//     (cd /tmp/ts-old && cmake --preset default && cmake --build build --target timeslice)
//   for i in 1 2 3 4; do for b in /tmp/ts-old/build/bin/timeslice build/bin/timeslice; do
//     TIMESLICE_BENCH_PROGRAM=$b build/bench/timeslice_bench --benchmark_filter='probes:4/'
//   done; done
// Each configuration runs three times; the "median" rows are the figures to
// quote, the "cv" rows show how noisy the machine was.
//
// For 2 and 4 probes and quanta of 10, 50 and 100 ms, every probe spins until
// a common deadline. Fairness is taken over a window before it that spans a
// whole number of rounds (at least ten, and at least two seconds) and starts
// once everything is running: over whole rounds a round-robin owes every
// probe the same time, whatever the phase, so start-up skew does not count.
// Counters:
//   err_med_ms, err_p95_ms  timeslice only: |run segment - quantum|, over
//                           every segment but each probe's first (it
//                           includes the exec) and last (cut by the deadline)
//   over_ts, over_kernel    wall time of the whole run / sum of the probes'
//                           CPU time
//   over_ratio              over_ts / over_kernel
//   fair_ts, fair_kernel    largest / smallest probe CPU time in the window
//   hand_med_us_ts, hand_p95_us_ts, hand_med_us_kernel, hand_p95_us_kernel
//                           median and 95th percentile of the handoff in
//                           microseconds: from one probe's last instruction
//                           before a switch to the next probe's first, over
//                           every switch but those into a probe's first
//                           segment (its exec) or out of its last (its exit)
#include <benchmark/benchmark.h>

#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "probe_log.h"

namespace {

constexpr int kNice = -10;
constexpr long long kLeadNs = 300000000;  // for every process to have started
constexpr int kGapUs = 20;                // shortest pause a probe records

long long now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

[[noreturn]] void fail(const char *what)
{
    perror(what);
    exit(1);
}

// Starts `argv` on CPU `cpu` with standard output going to `out`. Both runs
// get a raised priority where that is allowed, so that whatever else the
// machine is doing weighs less on the figures.
pid_t spawn_pinned(const std::vector<std::string> &argv, int out, int cpu = 0)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == -1)
        fail("fork");
    if (pid == 0) {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(cpu, &cpus);
        if (sched_setaffinity(0, sizeof cpus, &cpus) == -1 || dup2(out, 1) == -1)
            _exit(126);
        (void)setpriority(PRIO_PROCESS, 0, kNice);  // not permitted: run at the usual priority
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            fail("waitpid");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "a benchmark child failed (status 0x%x)\n", static_cast<unsigned>(status));
        exit(1);
    }
}

struct Outcome {
    double wall_ns = 0;
    probe_log::Log log;
};

std::string read_all(int fd)
{
    std::string text;
    char buf[65536];
    off_t at = 0;
    for (ssize_t got; (got = pread(fd, buf, sizeof buf, at)) > 0; at += got)
        text.append(buf, static_cast<size_t>(got));
    return text;
}

// Runs the probes either under timeslice, its scheduler `apart` from them or
// not, or side by side under the kernel.
Outcome run(bool under_timeslice, int probes, int quantum, long long window_ns, bool apart = false)
{
    int out = memfd_create("probes", MFD_CLOEXEC);
    if (out == -1)
        fail("memfd_create");
    long long start = now_ns();
    std::string from = "from=" + std::to_string(start + kLeadNs);
    std::string until = "until=" + std::to_string(start + kLeadNs + window_ns);
    // Every pause is recorded, so that the kernel's own switches, far
    // shorter than a quantum, show as well; the slice error puts segments
    // back together (see turns_of).
    std::string gap = "gap=" + std::to_string(kGapUs);
    std::vector<pid_t> pids;
    if (under_timeslice) {
        const char *program = getenv("TIMESLICE_BENCH_PROGRAM");
        std::vector<std::string> argv{program != nullptr && *program != '\0' ? program : TIMESLICE_PROGRAM,
                                      std::to_string(quantum)};
        for (int i = 0; i < probes; ++i) {
            if (i > 0)
                argv.push_back(":");
            argv.insert(argv.end(), {PROBE_PROGRAM, "P" + std::to_string(i), from, until, gap});
            if (apart)
                argv.push_back("cpu=0");
        }
        pids.push_back(spawn_pinned(argv, out, apart ? 1 : 0));
    } else {
        for (int i = 0; i < probes; ++i)
            pids.push_back(spawn_pinned({PROBE_PROGRAM, "P" + std::to_string(i), from, until, gap}, out));
    }
    for (pid_t pid : pids)
        reap(pid);
    Outcome o;
    o.wall_ns = static_cast<double>(now_ns() - start);
    o.log = probe_log::parse(read_all(out));
    close(out);
    if (static_cast<int>(o.log.cpu_from.size()) != probes) {
        fprintf(stderr, "only %zu of %d probes reported\n", o.log.cpu_from.size(), probes);
        exit(1);
    }
    return o;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

double overhead(const Outcome &o)
{
    double cpu = 0;
    for (const auto &[name, ns] : o.log.cpu)
        cpu += static_cast<double>(ns);
    return o.wall_ns / cpu;
}

double fairness(const Outcome &o)
{
    auto [low, high] = std::minmax_element(o.log.cpu_from.begin(), o.log.cpu_from.end(),
                                           [](const auto &a, const auto &b) { return a.second < b.second; });
    return static_cast<double>(high->second) / static_cast<double>(low->second);
}

// Each probe's segments, in time order, joined across pauses shorter than
// half a quantum (the kernel running something else for a moment): the
// pause between two turns is a whole quantum or more.
std::map<std::string, std::vector<probe_log::Segment>> turns_of(const Outcome &o, int quantum)
{
    const long long join_ns = quantum * 500000LL;
    std::map<std::string, std::vector<probe_log::Segment>> turns;
    for (const auto &s : o.log.segments) {
        auto &mine = turns[s.name];
        if (!mine.empty() && s.start - mine.back().end <= join_ns)
            mine.back().end = s.end;
        else
            mine.push_back(s);
    }
    return turns;
}

std::vector<double> slice_errors_ms(const Outcome &o, int quantum)
{
    std::vector<double> errors;
    for (const auto &[name, mine] : turns_of(o, quantum))
        for (size_t i = 1; i + 1 < mine.size(); ++i)
            errors.push_back(std::fabs(static_cast<double>(mine[i].end - mine[i].start) / 1e6 - quantum));
    return errors;
}

std::vector<double> handoffs_us(const Outcome &o)
{
    std::map<std::string, std::pair<long long, long long>> span;  // first start, last end per probe
    for (const auto &s : o.log.segments) {
        auto [it, fresh] = span.try_emplace(s.name, s.start, s.end);
        it->second.second = std::max(it->second.second, s.end);
    }
    std::vector<double> handoffs;
    const auto &seg = o.log.segments;
    for (size_t i = 0; i + 1 < seg.size(); ++i) {
        const auto &from = seg[i], &to = seg[i + 1];
        if (from.name != to.name && to.start != span[to.name].first && from.end != span[from.name].second)
            handoffs.push_back(static_cast<double>(to.start - from.end) / 1e3);
    }
    return handoffs;
}

void BM_Slicing(benchmark::State &state)
{
    const int probes = static_cast<int>(state.range(0));
    const int quantum = static_cast<int>(state.range(1));
    const bool apart = state.range(2) != 0;
    const long long round_ms = static_cast<long long>(probes) * quantum;
    const long long rounds = std::max(10LL, (2000 + round_ms - 1) / round_ms);
    const long long window_ns = rounds * round_ms * 1000000LL;

    Outcome sliced, kernel;
    for (auto _ : state) {
        sliced = run(true, probes, quantum, window_ns, apart);
        kernel = run(false, probes, quantum, window_ns);
    }
    auto errors = slice_errors_ms(sliced, quantum);
    state.counters["err_med_ms"] = percentile(errors, 0.5);
    state.counters["err_p95_ms"] = percentile(errors, 0.95);
    state.counters["over_ts"] = overhead(sliced);
    state.counters["over_kernel"] = overhead(kernel);
    state.counters["over_ratio"] = overhead(sliced) / overhead(kernel);
    state.counters["fair_ts"] = fairness(sliced);
    state.counters["fair_kernel"] = fairness(kernel);
    auto hand_ts = handoffs_us(sliced), hand_kernel = handoffs_us(kernel);
    state.counters["hand_med_us_ts"] = percentile(hand_ts, 0.5);
    state.counters["hand_p95_us_ts"] = percentile(hand_ts, 0.95);
    state.counters["hand_med_us_kernel"] = percentile(hand_kernel, 0.5);
    state.counters["hand_p95_us_kernel"] = percentile(hand_kernel, 0.95);
}

BENCHMARK(BM_Slicing)
    ->ArgNames({"probes", "quantum_ms", "apart"})
    ->ArgsProduct({{2, 4}, {10, 50, 100}, {0, 1}})
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
