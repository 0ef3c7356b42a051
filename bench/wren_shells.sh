#!/bin/sh
# SPDX-License-Identifier: ISC
# Commands per second of wren against dash and bash on the same script files:
# 2000 lines of /bin/true, and 500 lines of "echo x | cat | cat > /dev/null".
# Whole-program timings with hyperfine; not a test.
#
#   bench/wren_shells.sh [WREN] [ROUNDS] [RUNS] [BEFORE]
#
# WREN defaults to build/bin/wren; BEFORE, another wren (say, one built from
# an earlier commit), is timed in the same rounds when given, and wren/before
# reported beside the other ratios. Each round times every shell RUNS times
# (default 5) on each script with hyperfine; the report gives, per script,
# the median over ROUNDS (default 3) of each shell's median wall time and of
# its mean CPU time (user + system, children included), the ratios
# wren/anchor of those, and the range of the per-round ratios as the noise.
# On a machine shared with other work the wall times wander with the load;
# the CPU times much less. Every shell gets the same PATH, so no one
# searches further than another. Every round runs each shell six times per
# script (one warm-up): the defaults take about 12 minutes on a quiet
# two-processor machine, half an hour on a busy one.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
wren=${1:-$here/build/bin/wren}
rounds=${2:-3}
runs=${3:-5}
before=${4:-}
for tool in hyperfine jq dash bash; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
for w in "$wren" $before; do
    [ -x "$w" ] || { echo "not built: $w" >&2; exit 1; }
done

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
            -n bash "bash $work/$script.sh" \
            ${before:+-n before "$before $work/$script.sh"} >/dev/null
        jq -r '[(.results[] | .median), (.results[] | .user + .system)] | @tsv' \
            "$work/$script.$r.json" >>"$work/$script.medians"
        r=$((r + 1))
    done
    awk -v script="$script.sh" -v lines="$lines" -v runs="$runs" '
        function median(a, n,    i, j, t) {
            for (i = 2; i <= n; i++)
                for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        function range(a, n,    i, lo, hi) {
            lo = hi = a[1]
            for (i = 2; i <= n; i++) { if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] }
            return sprintf("rounds %.3f to %.3f", lo, hi)
        }
        {
            k = NF / 2  # shells timed: wren, dash, bash and perhaps before
            w[NR] = $1; d[NR] = $2; b[NR] = $3; cw[NR] = $(k + 1); cd[NR] = $(k + 2); cb[NR] = $(k + 3)
            rd[NR] = $1 / $2; rb[NR] = $1 / $3; crd[NR] = cw[NR] / cd[NR]; crb[NR] = cw[NR] / cb[NR]
            if (k == 4) { rp[NR] = $1 / $4; crp[NR] = cw[NR] / $8 }
        }
        END {
            n = NR
            printf "%s (%d lines, %d rounds of %d runs)\n", script, lines, n, runs
            printf "  wall  wren %7.3f s  dash %7.3f s  bash %7.3f s   (wren %.0f commands/s)\n",
                median(w, n), median(d, n), median(b, n), lines / median(w, n)
            printf "  cpu   wren %7.3f s  dash %7.3f s  bash %7.3f s\n", median(cw, n), median(cd, n), median(cb, n)
            printf "  wall  wren/dash %.3f (%s)  wren/bash %.3f (%s)\n",
                median(rd, n), range(rd, n), median(rb, n), range(rb, n)
            printf "  cpu   wren/dash %.3f (%s)  wren/bash %.3f (%s)\n",
                median(crd, n), range(crd, n), median(crb, n), range(crb, n)
            if (k == 4)
                printf "  wren/before  wall %.3f (%s)  cpu %.3f (%s)\n",
                    median(rp, n), range(rp, n), median(crp, n), range(crp, n)
        }' "$work/$script.medians"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
