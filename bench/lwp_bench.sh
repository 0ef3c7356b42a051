#!/bin/sh
# SPDX-License-Identifier: ISC
# The cost of one thread switch: lwp_yield against swapcontext and
# Boost.Context's fiber, with rings of 2 and 100 threads.
#
#   bench/lwp_bench.sh [BUILD_DIR [ROUNDS]]     (defaults: build, 7)
#
# Each round runs every benchmark once, so the ratios compare figures taken
# moments apart; the table gives the median over the rounds of the time per
# switch and of each ratio, with the spread (lowest-highest) of the ratios.
# Needs a default build with Google Benchmark and Boost.Context, and python3.
set -eu
build=${1:-build}
rounds=${2:-7}
program=$build/bench/lwp_bench
[ -x "$program" ] || { echo "$program not built (needs Google Benchmark and Boost.Context)" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM

i=1
while [ "$i" -le "$rounds" ]; do
    printf 'round %s of %s\r' "$i" "$rounds" >&2
    "$program" --benchmark_format=json --benchmark_out="$scratch/round$i.json" \
        --benchmark_out_format=json >/dev/null 2>&1
    i=$((i + 1))
done
echo >&2

python3 - "$scratch" <<'EOF'
import glob, json, statistics, sys

rounds = []
for path in sorted(glob.glob(sys.argv[1] + "/round*.json")):
    with open(path) as f:
        data = json.load(f)
    # The "switch" counter is CPU seconds per switch.
    rounds.append({b["name"]: b["switch"] * 1e9 for b in data["benchmarks"]})

def spread(values):
    return "%.1f-%.1f" % (min(values), max(values))

print("%d rounds; ns per switch are medians; ratios are medians of per-round ratios" % len(rounds))
print("%-8s %10s %12s %12s %22s %22s" % ("threads", "lwp_yield", "swapcontext", "boost_fiber",
                                          "swapcontext/lwp", "boost_fiber/lwp"))
for n in (2, 100):
    lwp = [r["BM_lwp_yield/%d" % n] for r in rounds]
    swap = [r["BM_swapcontext/%d" % n] for r in rounds]
    fiber = [r["BM_boost_fiber/%d" % n] for r in rounds]
    swap_ratio = [s / l for s, l in zip(swap, lwp)]
    fiber_ratio = [b / l for b, l in zip(fiber, lwp)]
    print("%-8d %10.2f %12.1f %12.2f %10.1f (%s) %10.2f (%s)" % (
        n, statistics.median(lwp), statistics.median(swap), statistics.median(fiber),
        statistics.median(swap_ratio), spread(swap_ratio),
        statistics.median(fiber_ratio), "%.2f-%.2f" % (min(fiber_ratio), max(fiber_ratio))))
EOF
