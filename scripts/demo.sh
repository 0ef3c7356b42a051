#!/bin/sh
# Shows each tool at work on a small input. Usage: demo.sh BINDIR
bin=${1:?usage: demo.sh BINDIR}

show() {
    printf '\n$ %s\n' "$1"
}

if [ -x "$bin/wren" ]; then
    show "printf 'echo hello from wren | tr a-z A-Z\\necho \"a  b\" c\\\\ d\\necho '\\''oops\\nexit\\n' | wren"
    printf 'echo hello from wren | tr a-z A-Z\necho "a  b" c\\ d\necho '\''oops\nexit\n' | "$bin/wren" 2>&1
fi

if [ -x "$bin/stack" ]; then
    show "printf 'u 72 u 105 c h u -1 o x' | stack"
    printf 'u 72 u 105 c h u -1 o x' | "$bin/stack"
    echo
fi
