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

# The line as the file's language writes a comment, or nothing for files
# that take none.
comment() {
    case $1 in
        *.cpp) echo "// $tag" ;;
        *.c | *.S) echo "/* $tag */" ;;
        *.h) if head -n 1 "$1" | grep -q '^//'; then echo "// $tag"; else echo "/* $tag */"; fi ;;
        CMakeLists.txt | */CMakeLists.txt | *.cmake | *.cmake.in | *.pc.in) echo "# $tag" ;;
        *.[1-8]) echo ".\\\" $tag" ;;
        *) head -n 1 "$1" | grep -q '^#!' && echo "# $tag" ;;
    esac
    return 0
}

missing=0
for file in $(git ls-files); do
    [ -f "$file" ] || continue
    line=$(comment "$file")
    [ -n "$line" ] || continue
    head -n 2 "$file" | grep -qF "$tag" && continue
    if [ "${1:-}" = --add ]; then
        if head -n 1 "$file" | grep -q '^#!'; then
            { head -n 1 "$file"; echo "$line"; tail -n +2 "$file"; } >"$file.spdx"
        else
            { echo "$line"; cat "$file"; } >"$file.spdx"
        fi
        chmod --reference="$file" "$file.spdx"
        mv "$file.spdx" "$file"
    else
        echo "no licence line: $file"
        missing=1
    fi
done
exit $missing
