#!/bin/sh
# binview against xxd -b on random bytes piped through both (input from a
# pipe, output into a pipe), with hyperfine. binview writes every digit and
# blank with a system call of its own, so expect it to be far slower.
#
#   bench/binview.sh [BINDIR [HYPERFINE-OPTION...]]   default BINDIR: build/bin
#
# for instance  bench/binview.sh build/bin --export-json /tmp/binview.json
#
# SIZE_MB (default 16) sets the input size, RUNS (default 3) the runs per
# command. 16 MB takes binview many minutes per run on a slow machine.
set -eu
bin=${1:-build/bin}
[ $# -gt 0 ] && shift
size=${SIZE_MB:-16}
runs=${RUNS:-3}
binview=$(cd "$bin" && pwd)/binview
[ -x "$binview" ] || { echo "no binview in $bin" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
trap 'exit 130' INT TERM
head -c $((size * 1048576)) /dev/urandom >"$dir/in"

hyperfine --runs "$runs" --warmup 0 "$@" \
    --command-name "binview ($size MB)" "cat '$dir/in' | '$binview' | cat >/dev/null" \
    --command-name "xxd -b ($size MB)" "cat '$dir/in' | xxd -b | cat >/dev/null"
