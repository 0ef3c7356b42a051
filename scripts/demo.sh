#!/bin/sh
# SPDX-License-Identifier: ISC
# Shows each tool at work on a small input. Usage: demo.sh BINDIR
bin=${1:?usage: demo.sh BINDIR}
lib="$bin/../lib/libsmalltools-slurp.a"

# Everything shown must have been built: a missing tool is a failure.
for tool in timeslice wren duct binview stack ladder; do
    [ -x "$bin/$tool" ] || { echo "demo: $bin/$tool is missing; build it first" >&2; exit 1; }
done
[ -f "$lib" ] || { echo "demo: the slurp library is missing; build it first" >&2; exit 1; }

show() {
    printf '\n$ %s\n' "$1"
}

show "timeslice 100 sh -c 'seq 3' : echo a:b"
"$bin/timeslice" 100 sh -c 'seq 3' : echo a:b

show "printf 'echo hello from wren | tr a-z A-Z\\necho \"a  b\" c\\\\ d\\necho '\\''oops\\nexit\\n' | wren"
printf 'echo hello from wren | tr a-z A-Z\necho "a  b" c\\ d\necho '\''oops\nexit\n' | "$bin/wren" 2>&1

# slurp is a library: build a small C caller against it in a scratch folder.
if command -v cc >/dev/null 2>&1; then
    src=$(cd "$(dirname "$0")/.." && pwd)
    scratch=$(mktemp -d)
    cat >"$scratch/lengths.c" <<'CODE'
#include <stdio.h>
#include <stdlib.h>
#include <slurp/myline.h>

int main(void)
{
    char *line = NULL;
    size_t n = 0, len;

    while ((len = myline(&line, &n, stdin)) != (size_t)-1) {
        int shown = len > 24 ? 24 : (int)len;
        if (shown > 0 && line[shown - 1] == '\n')
            --shown;
        printf("%4zu chars, buffer %4zu: %.*s%s\n", len, n, shown, line,
               len > 24 ? "..." : "");
    }
    free(line);
    return 0;
}
CODE
    if cc -I"$src/slurp/include" "$scratch/lengths.c" "$lib" -o "$scratch/lengths"; then
        show "printf 'short\\n<300 x>\\nlast, no newline' | lengths   # a C program calling myline"
        printf 'short\n%s\nlast, no newline' "$(printf '%300s' '' | tr ' ' x)" | "$scratch/lengths"
    fi
    rm -rf "$scratch"
fi

show "touch apple banana cherry outfile; duct; echo \$?; cat outfile"
duct=$(cd "$bin" && pwd)/duct
dir=$(mktemp -d)
(
    cd "$dir" && touch apple banana cherry outfile || exit
    LC_ALL=C "$duct"
    echo $?
    cat outfile
)
rm -rf "$dir"

show "printf 'Hi!\\n' | binview"
printf 'Hi!\n' | "$bin/binview"
echo

show "printf 'u 72 u 105 c h u -1 o x' | stack"
printf 'u 72 u 105 c h u -1 o x' | "$bin/stack"
echo

show "ladder"
"$bin/ladder"
show "ladder -z"
"$bin/ladder" -z
