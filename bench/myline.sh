#!/bin/sh
# Re-runs the myline benchmark and sums it up: for each input shape, the median
# wall and CPU time of glibc's getline and of myline over all repetitions, the
# spread of the wall times (coefficient of variation) and the ratios
# myline / getline. On a busy machine the CPU times are the steadier figure.
# Repetitions of the six benchmarks are interleaved at random, so a burst of
# load elsewhere on the machine does not fall on one reader only.
#
# Usage: bench/myline.sh [repetitions]    (default 9; about 5 s each)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-9}
cd "$root"
[ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
cmake --build --preset default --target myline_bench >/dev/null
json=$(mktemp)
trap 'rm -f "$json"' EXIT
build/bench/myline_bench --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$json" --benchmark_out_format=json >/dev/null
awk -v reps="$reps" '
    /"run_name":/       { split($0, f, "\""); run = f[4]; sub("/real_time$", "", run) }
    /"aggregate_name":/ { split($0, f, "\""); agg = f[4] }
    /"real_time":/      { v = $2; sub(",", "", v); if (agg == "median") real[run] = v; if (agg == "cv") realcv[run] = v * 100 }
    /"cpu_time":/       { v = $2; sub(",", "", v); if (agg == "median") cpu[run] = v; if (agg == "cv") cpucv[run] = v * 100 }
    END {
        printf "%d repetitions each; medians in ms per 256 MB pass (cv%% = spread)\n", reps
        printf "%-6s | %21s | %21s | %6s %6s\n", "", "getline", "myline", "ratio", "ratio"
        printf "%-6s | %7s %5s %7s | %7s %5s %7s | %6s %6s\n", "shape", "wall", "cv%", "cpu", "wall", "cv%", "cpu", "wall", "cpu"
        n = split("short long huge", shapes, " ")
        for (i = 1; i <= n; i++) {
            s = shapes[i]; g = "getline/" s; m = "myline/" s
            if (!(g in real) || !(m in real)) continue
            printf "%-6s | %7.1f %5.1f %7.1f | %7.1f %5.1f %7.1f | %6.3f %6.3f\n", s,
                real[g], realcv[g], cpu[g], real[m], realcv[m], cpu[m], real[m] / real[g], cpu[m] / cpu[g]
        }
    }' "$json"
