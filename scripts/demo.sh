#!/bin/sh
# Shows each tool at work on a small input. Usage: demo.sh BINDIR
bin=${1:?usage: demo.sh BINDIR}

show() {
    printf '\n$ %s\n' "$1"
}

if [ -x "$bin/duct" ]; then
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
fi

if [ -x "$bin/binview" ]; then
    show "printf 'Hi!\\n' | binview"
    printf 'Hi!\n' | "$bin/binview"
    echo
fi

if [ -x "$bin/stack" ]; then
    show "printf 'u 72 u 105 c h u -1 o x' | stack"
    printf 'u 72 u 105 c h u -1 o x' | "$bin/stack"
    echo
fi

if [ -x "$bin/ladder" ]; then
    show "ladder"
    "$bin/ladder"
    show "ladder -z"
    "$bin/ladder" -z
fi
