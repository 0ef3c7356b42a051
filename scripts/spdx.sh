#!/bin/sh
# SPDX-License-Identifier: ISC
# Every tracked source, header, script, CMake file and manual page names the
# project's licence in its first lines.
#
#   scripts/spdx.sh         lists the files without the line; fails if any
#   scripts/spdx.sh --add   writes it at the top of each of them
#
# A script keeps its #! line first. Outside a git checkout (a source
# archive) there is no list of tracked files: exits 77, which the test suite
# counts as skipped.
set -eu
cd "$(dirname "$0")/.."
tag='SPDX-License-Identifier: ISC'
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || { echo "not a git checkout" >&2; exit 77; }

# Sets line to the licence line as the file's language writes a comment, or
# to nothing for a file that takes none. Shell built-ins only: it runs for
# every tracked file.
comment() {
    first=
    IFS= read -r first <"$1" || true
    case $1 in
        *.cpp) line="// $tag" ;;
        *.c | *.S) line="/* $tag */" ;;
        *.h) case $first in //*) line="// $tag" ;; *) line="/* $tag */" ;; esac ;;
        CMakeLists.txt | */CMakeLists.txt | *.cmake | *.cmake.in | *.pc.in) line="# $tag" ;;
        *.[1-8]) line=".\\\" $tag" ;;
        *) case $first in '#!'*) line="# $tag" ;; *) line= ;; esac ;;
    esac
}

files=
for file in $(git ls-files); do
    [ -f "$file" ] || continue
    comment "$file"
    [ -n "$line" ] && files="$files $file"
done
# shellcheck disable=SC2086 # the names are words
missing=$(awk -v tag="$tag" 'FNR == 1 { if (prev != "" && !seen) print prev; prev = FILENAME; seen = 0 }
    FNR <= 2 && index($0, tag) { seen = 1 }
    END { if (prev != "" && !seen) print prev }' $files)
[ -n "$missing" ] || exit 0

if [ "${1:-}" != --add ]; then
    # shellcheck disable=SC2086
    printf 'no licence line: %s\n' $missing
    exit 1
fi
for file in $missing; do
    comment "$file"
    if [ "${first#\#!}" != "$first" ]; then
        { echo "$first"; echo "$line"; tail -n +2 "$file"; } >"$file.spdx"
    else
        { echo "$line"; cat "$file"; } >"$file.spdx"
    fi
    chmod --reference="$file" "$file.spdx"
    mv "$file.spdx" "$file"
done
