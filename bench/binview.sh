#!/bin/sh
# SPDX-License-Identifier: ISC
# binview against xxd -b on random bytes piped through both (input from a
# pipe, output into a pipe), with hyperfine. binview writes every digit and
# blank with a system call of its own, so expect it to be far slower.
#
#   bench/binview.sh [BINDIR [HYPERFINE-OPTION...]]   default BINDIR: build/bin
#
# for instance  bench/binview.sh build/bin --export-json /tmp/binview.json
#
# SIZE_KB (default 512) sets the input size, RUNS (default 3) the runs per
# command; SIZE_MB, if set, gives the size in megabytes instead. binview takes
# some 30 seconds per megabyte (its CPU time, two thirds of it in the kernel)
# on a quiet machine and up to 45 on a busy one, so the default ends within
# one to two minutes; SIZE_MB=16 takes 8 to 12 minutes a run. The figures are
# hyperfine's summary.
set -eu
bin=${1:-build/bin}
[ $# -gt 0 ] && shift
size_kb=${SIZE_KB:-512}
[ -n "${SIZE_MB:-}" ] && size_kb=$((SIZE_MB * 1024))
runs=${RUNS:-3}
binview=$(cd "$bin" && pwd)/binview
[ -x "$binview" ] || { echo "no binview in $bin" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
trap 'exit 130' INT TERM
head -c $((size_kb * 1024)) /dev/urandom >"$dir/in"

hyperfine --runs "$runs" --warmup 0 "$@" \
    --command-name "binview ($size_kb KiB)" "cat '$dir/in' | '$binview' | cat >/dev/null" \
    --command-name "xxd -b ($size_kb KiB)" "cat '$dir/in' | xxd -b | cat >/dev/null"
