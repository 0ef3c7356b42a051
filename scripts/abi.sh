#!/bin/sh
# SPDX-License-Identifier: ISC
# The shared libraries of a build checked against what records and documents
# what they export, and against the ABI they had when their SONAME was set.
#
#   scripts/abi.sh [BUILD]            check (BUILD: a build folder, default build)
#   scripts/abi.sh --update [BUILD]   write the baselines anew from BUILD
#
# In an install of BUILD to a scratch folder, for each library:
#  - the symbols it exports are the ones its symbols file lists
#    (cmake/debian/PACKAGE.symbols, as dpkg-gensymbols reads it), under the
#    SONAME that file names;
#  - they are the names its page lists under NAME, each declared in its
#    headers and each with a page of its own name, and every link page to
#    its page names one of them or a type of its headers;
#  - abidiff finds none of them removed or changed since the baseline of its
#    SONAME (cmake/abi/ARCH/SONAME.abi, kept in the repository). An added
#    symbol passes (its line in the symbols file is all it needs); a new
#    SONAME, which may break the ABI, has no baseline yet: --update makes it.
#
# Needs abidw and abidiff (Debian's abigail-tools) and debug information in
# the build (any build type but Release).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
update=
[ "${1:-}" = --update ] && { update=1; shift; }
build=$(cd "${1:-build}" && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch" >/dev/null
man3=$scratch/share/man/man3
failed=0
fail() { echo "$*"; failed=1; }

for so in $(find "$scratch/lib" -name 'libsmalltools-*.so.*' -type f | sort); do
    soname=$(readelf -d "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    name=${soname#libsmalltools-}
    name=${name%%.so.*}
    package=libsmalltools-$name${soname##*.so.}
    arch=$(basename "$(dirname "$so")")
    [ "$arch" = lib ] && arch=$(uname -m)
    baseline=$root/cmake/abi/$arch/$soname.abi
    if [ -n "$update" ]; then
        mkdir -p "$(dirname "$baseline")"
        abidw --no-corpus-path --no-comp-dir-path --no-show-locs --out-file "$baseline" "$so"
        echo "wrote $baseline"
        continue
    fi

    nm -D --defined-only "$so" | awk '{ print $3 }' | sort >"$scratch/exported"
    symbols=$root/cmake/debian/$package.symbols
    if [ ! -f "$symbols" ]; then
        fail "$soname: no symbols file $symbols"
        continue
    fi
    [ "$(head -n 1 "$symbols" | cut -d' ' -f1,2)" = "$soname $package" ] ||
        fail "$symbols: its first line does not name $soname $package"
    sed -n 's/^ \([^@ ]*\)@.*/\1/p' "$symbols" | sort >"$scratch/recorded"
    diff -u --label "exported by $soname" --label "$symbols" "$scratch/exported" "$scratch/recorded" ||
        fail "$soname: the symbols file disagrees with the library"

    headers=$scratch/include/$name
    page=$(grep -lF -- "\\-lsmalltools\\-$name" "$man3"/*.3 | head -n 1 || true)
    if [ -z "$page" ]; then
        fail "$soname: no page says to link -lsmalltools-$name"
        continue
    fi
    sed -n '/^\.SH NAME/,/\\-/p' "$page" | sed '1d; s/ \\-.*//' | tr ',\n' '  ' |
        tr -s ' ' '\n' | sed '/^$/d' | sort >"$scratch/named"
    diff -u --label "exported by $soname" --label "NAME of $(basename "$page")" "$scratch/exported" "$scratch/named" ||
        fail "$soname: its page names other functions than it exports"
    while read -r symbol; do
        grep -rqw -- "$symbol" "$headers" || fail "$soname: $symbol is not declared in $headers"
        [ -f "$man3/$symbol.3" ] || fail "$soname: $symbol has no page of its own name (man/CMakeLists.txt)"
    done <"$scratch/exported"
    grep -lx "\.so man3/$(basename "$page")" "$man3"/*.3 >"$scratch/links" || true
    while read -r link; do
        symbol=$(basename "$link" .3)
        grep -qx -- "$symbol" "$scratch/exported" && continue
        grep -rqE -- "typedef[^;]*[^A-Za-z0-9_]${symbol}[^A-Za-z0-9_]" "$headers" ||
            fail "$soname: the page $symbol.3 names neither an exported symbol nor a type"
    done <"$scratch/links"

    if [ ! -f "$baseline" ]; then
        echo "$soname: no baseline (a new SONAME): scripts/abi.sh --update writes it"
        continue
    fi
    abidiff --no-added-syms "$baseline" "$so" || fail "$soname: symbols removed or changed, the SONAME kept"
done
[ "$failed" = 0 ] && [ -z "$update" ] && echo "the libraries export what their symbols files and pages say, as their baselines"
exit $failed
