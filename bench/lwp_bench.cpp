// SPDX-License-Identifier: ISC
// The cost of one switch between user-level threads: lwp_yield around a
// ring of N threads, beside the same ring built with swapcontext and with
// Boost.Context's fiber. Every benchmark goes round its ring once per
// iteration (N switches); the "switch" column is the CPU time of one switch.
//
// Run it with bench/lwp_bench.sh (repetitions, medians and the ratios), or
// directly: build/bench/lwp_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <ucontext.h>

#include <boost/context/fiber.hpp>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "lwp/lwp.h"

namespace {

constexpr size_t kStackWords = 16384;
constexpr size_t kStackBytes = kStackWords * sizeof(void *);

void count_switches(benchmark::State &state, long ring)
{
    state.counters["switch"] = benchmark::Counter(static_cast<double>(state.iterations()) * ring,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// ---- lwp ----

benchmark::State *lwp_state;
bool lwp_done;

void lwp_driver(void *)
{
    for (auto _ : *lwp_state)
        lwp_yield();
    lwp_done = true;
}

void lwp_passer(void *)
{
    while (!lwp_done)
        lwp_yield();
}

void BM_lwp_yield(benchmark::State &state)
{
    const long ring = state.range(0);
    lwp_state = &state;
    lwp_done = false;
    bool made = new_lwp(lwp_driver, nullptr, kStackWords) > 0;
    for (long i = 1; i < ring; i++)
        made = made && new_lwp(lwp_passer, nullptr, kStackWords) > 0;
    if (!made) {
        state.SkipWithError("new_lwp failed");
        return;
    }
    lwp_start();
    count_switches(state, ring);
}

// ---- swapcontext ----

std::vector<ucontext_t> contexts;
long context_ring;

void context_passer(int k)
{
    const long next = k + 1 == context_ring ? 0 : k + 1;
    for (;;)
        swapcontext(&contexts[k], &contexts[next]);
}

void BM_swapcontext(benchmark::State &state)
{
    context_ring = state.range(0);
    contexts.assign(context_ring, ucontext_t{});
    std::vector<std::vector<char>> stacks(context_ring);
    for (long k = 1; k < context_ring; k++) {
        stacks[k].resize(kStackBytes);
        if (getcontext(&contexts[k]) == -1) {
            state.SkipWithError("getcontext failed");
            return;
        }
        contexts[k].uc_stack.ss_sp = stacks[k].data();
        contexts[k].uc_stack.ss_size = kStackBytes;
        contexts[k].uc_link = nullptr;
        makecontext(&contexts[k], reinterpret_cast<void (*)()>(context_passer), 1, static_cast<int>(k));
    }
    for (auto _ : state)
        swapcontext(&contexts[0], &contexts[1]);
    count_switches(state, context_ring);
    // The other contexts stay parked inside their loops; their stacks go
    // with this frame, and nothing resumes them.
}

// ---- Boost.Context fiber ----

namespace ctx = boost::context;

// slots[k] holds fiber k while it waits; slot 0 is the benchmark's own.
std::vector<ctx::fiber> slots;
long fiber_ring;
bool fibers_done;

void BM_boost_fiber(benchmark::State &state)
{
    fiber_ring = state.range(0);
    fibers_done = false;
    slots.clear();
    slots.resize(fiber_ring);
    for (long k = 1; k < fiber_ring; k++) {
        const long next = k + 1 == fiber_ring ? 0 : k + 1;
        slots[k] = ctx::fiber(std::allocator_arg, ctx::fixedsize_stack(kStackBytes),
                              [k, next](ctx::fiber &&from) {
                                  while (!fibers_done) {
                                      slots[k - 1] = std::move(from);
                                      from = std::move(slots[next]).resume();
                                  }
                                  return std::move(from);
                              });
    }
    for (auto _ : state)
        slots[fiber_ring - 1] = std::move(slots[1]).resume();
    count_switches(state, fiber_ring);
    // Once more round the ring, so that every fiber sees the flag and ends.
    fibers_done = true;
    for (long k = 1; k < fiber_ring; k++)
        slots[k] = std::move(slots[k]).resume();
    slots.clear();
}

}  // namespace

BENCHMARK(BM_lwp_yield)->Arg(2)->Arg(100);
BENCHMARK(BM_swapcontext)->Arg(2)->Arg(100);
BENCHMARK(BM_boost_fiber)->Arg(2)->Arg(100);

BENCHMARK_MAIN();
