#!/bin/sh
# SPDX-License-Identifier: ISC
# Re-runs the myline benchmark and sums it up: for each input shape and
# reader, the median wall and CPU time over all repetitions, the spread of
# the wall times (coefficient of variation), and the ratios to the reference
# (fgets into 64 KiB for short and long lines, getline for the one huge line)
# and to myline. On a busy machine the CPU times are the steadier figure.
# Repetitions of all the benchmarks are interleaved at random, so a burst of
# load elsewhere on the machine does not fall on one reader only.
#
# Usage: bench/myline.sh [repetitions [revision]]   (default 9; about 5 s each)
#
# With a git revision, that revision's slurp/myline.cpp is built as well and
# measured in the same run as "other", for a before-and-after comparison:
#   bench/myline.sh 15 main
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-9}
rev=${2:-}
cd "$root"
[ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
cmake --build --preset default --target myline_bench >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM
other=
if [ -n "$rev" ]; then
    git show "$rev:slurp/myline.cpp" >"$tmp/other.cpp"
    # As the default preset compiles the library (RelWithDebInfo).
    ${CXX:-c++} -std=c++20 -O2 -g -DNDEBUG -fPIC -shared -Islurp/include \
        -o "$tmp/other.so" "$tmp/other.cpp"
    other=$tmp/other.so
fi
MYLINE_OTHER=$other build/bench/myline_bench --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$tmp/out.json" --benchmark_out_format=json >/dev/null
# A single repetition has no aggregates: its one run stands for the median.
awk -v reps="$reps" -v rev="$rev" '
    /"run_name":/       { split($0, f, "\""); run = f[4]; sub("/real_time$", "", run); agg = "" }
    /"run_type":/       { split($0, f, "\""); type = f[4] }
    /"aggregate_name":/ { split($0, f, "\""); agg = f[4] }
    /"real_time":/      { v = $2; sub(",", "", v)
                          if (agg == "median" || type == "iteration") real[run] = v
                          if (agg == "cv") realcv[run] = v * 100 }
    /"cpu_time":/       { v = $2; sub(",", "", v)
                          if (agg == "median" || type == "iteration") cpu[run] = v
                          if (agg == "cv") cpucv[run] = v * 100 }
    END {
        printf "%d repetitions each; medians in ms per 256 MB pass (cv%% = spread)\n", reps
        if (rev != "") printf "other: myline of %s\n", rev
        printf "%-6s %-8s | %7s %5s %7s | %6s %6s | %6s %6s\n", "shape", "reader", "wall", "cv%", "cpu",
            "/ref", "cpu", "/mine", "cpu"
        n = split("short long huge", shapes, " ")
        m = split("fgets getline myline other", readers, " ")
        for (i = 1; i <= n; i++) {
            s = shapes[i]; ref = (s == "huge" ? "getline/" : "fgets/") s; mine = "myline/" s
            for (j = 1; j <= m; j++) {
                r = readers[j] "/" s
                if (!(r in real)) continue
                printf "%-6s %-8s | %7.1f %5.1f %7.1f | %6.3f %6.3f | %6.3f %6.3f\n", s, readers[j],
                    real[r], realcv[r], cpu[r], real[r] / real[ref], cpu[r] / cpu[ref],
                    real[r] / real[mine], cpu[r] / cpu[mine]
            }
        }
    }' "$tmp/out.json"
