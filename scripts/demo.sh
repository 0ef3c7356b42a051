#!/bin/sh
# Shows each tool at work on a small input. Usage: demo.sh BINDIR
bin=${1:?usage: demo.sh BINDIR}

show() {
    printf '\n$ %s\n' "$1"
}

if [ -x "$bin/timeslice" ]; then
    show "timeslice 100 sh -c 'seq 3' : echo a:b"
    "$bin/timeslice" 100 sh -c 'seq 3' : echo a:b
fi

if [ -x "$bin/stack" ]; then
    show "printf 'u 72 u 105 c h u -1 o x' | stack"
    printf 'u 72 u 105 c h u -1 o x' | "$bin/stack"
    echo
fi
