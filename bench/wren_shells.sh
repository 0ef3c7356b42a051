#!/bin/sh
# Commands per second of wren against dash and bash on the same script files:
# 2000 lines of /bin/true, and 500 lines of "echo x | cat | cat > /dev/null".
# Whole-program timings with hyperfine; not a test.
#
#   bench/wren_shells.sh [WREN] [ROUNDS] [RUNS]
#
# WREN defaults to build/bin/wren. Each round times every shell RUNS times
# (default 5) on each script with hyperfine; the report gives, per script,
# the median over ROUNDS (default 3) of each shell's median time, the ratio
# wren/anchor of those, and the range of the per-round ratios as the noise.
# Every shell gets the same PATH, so no one searches further than another.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
wren=${1:-$here/build/bin/wren}
rounds=${2:-3}
runs=${3:-5}
for tool in hyperfine jq dash bash; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$wren" ] || { echo "not built: $wren" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
i=0
while [ $i -lt 2000 ]; do echo /bin/true; i=$((i + 1)); done >"$work/true.sh"
i=0
while [ $i -lt 500 ]; do echo 'echo x | cat | cat > /dev/null'; i=$((i + 1)); done >"$work/pipe.sh"

export PATH=/usr/bin:/bin
for script in true pipe; do
    lines=$(wc -l <"$work/$script.sh")
    : >"$work/$script.medians"
    r=1
    while [ $r -le "$rounds" ]; do
        hyperfine -N --style none --warmup 1 --runs "$runs" \
            --export-json "$work/$script.$r.json" \
            -n wren "$wren $work/$script.sh" \
            -n dash "dash $work/$script.sh" \
            -n bash "bash $work/$script.sh" >/dev/null
        jq -r '[.results[] | .median] | @tsv' "$work/$script.$r.json" >>"$work/$script.medians"
        r=$((r + 1))
    done
    awk -v script="$script.sh" -v lines="$lines" -v runs="$runs" '
        function median(a, n,    i, j, t) {
            for (i = 2; i <= n; i++)
                for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        { w[NR] = $1; d[NR] = $2; b[NR] = $3; rd[NR] = $1 / $2; rb[NR] = $1 / $3 }
        END {
            n = NR
            mw = median(w, n); md = median(d, n); mb = median(b, n)
            lo_d = hi_d = rd[1]; lo_b = hi_b = rb[1]
            for (i = 2; i <= n; i++) {
                if (rd[i] < lo_d) lo_d = rd[i]; if (rd[i] > hi_d) hi_d = rd[i]
                if (rb[i] < lo_b) lo_b = rb[i]; if (rb[i] > hi_b) hi_b = rb[i]
            }
            printf "%s (%d lines, %d rounds of %d runs)\n", script, lines, n, runs
            printf "  wren %8.3f s  %7.0f commands/s\n", mw, lines / mw
            printf "  dash %8.3f s  %7.0f commands/s\n", md, lines / md
            printf "  bash %8.3f s  %7.0f commands/s\n", mb, lines / mb
            printf "  wren/dash %.3f (rounds %.3f to %.3f)\n", mw / md, lo_d, hi_d
            printf "  wren/bash %.3f (rounds %.3f to %.3f)\n", mw / mb, lo_b, hi_b
        }' "$work/$script.medians"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
