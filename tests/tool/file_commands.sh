#!/usr/bin/env bash
# The tool's file and version commands, end to end: kesnet version, dirsize
# and isbmp on a tree made here, and --version with the tool's and the library's.
#   file_commands.sh path/to/kesnet.exe PROJECT_VERSION BITS
set -euo pipefail
tool=$1
version=$2
bits=$3
run=$(cd "$(dirname "$0")/../../scripts" && pwd)/wine-run.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# The Windows name of a Unix path, through Wine's drive Z:.
windows() { printf 'Z:%s' "${1//\//\\}"; }

# expect NAME EXIT_CODE EXPECTED_OUTPUT -- ARGUMENTS...
expect() {
    local name=$1 want_rc=$2 want_out=$3
    shift 4
    local out rc=0
    out=$("$run" "$tool" "$@" 2>/dev/null | tr -d '\r') || rc=$?
    if [ "$rc" != "$want_rc" ] || [ "$out" != "$want_out" ]; then
        echo "FAIL $name: exit $rc (want $want_rc), output '$out' (want '$want_out')"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

mkdir -p "$work/tree/a/b" "$work/tree/empty"
printf 'BMxy' >"$work/tree/a/b/picture.bmp"
printf 'BMx' >"$work/tree/a/short.bmp"
printf '0123456789' >"$work/tree/ten"
truncate -s 5G "$work/tree/a/sparse"   # adds its low 32 bits: 1 GiB
tree=$(windows "$work/tree")

expect "--version names the tool's and the library's, and the architecture" 0 \
    "kesnet $version for $bits-bit Windows (kesnet.dll $version)" -- --version
expect "the library's own product version" 0 "kesnet.dll: product version $version" -- version kesnet.dll
expect "a module without one" 1 "" -- version "$(windows "$work/tree/ten")"
expect "version needs a module" 2 "" -- version
expect "a tree" 0 "$((4 + 3 + 10 + 1073741824)) bytes in $tree" -- dirsize "$tree"
expect "a tree, trailing backslash" 0 "$((4 + 3 + 10 + 1073741824)) bytes in $tree\\" -- dirsize "$tree\\"
expect "an empty directory" 0 "0 bytes in $tree\\empty" -- dirsize "$tree\\empty"
expect "a file is no directory" 1 "" -- dirsize "$tree\\ten"
expect "a missing directory" 1 "" -- dirsize "$tree\\missing"
expect "a bitmap" 0 "$tree\\a\\b\\picture.bmp: a bitmap (starts with \"BM\")" -- isbmp "$tree\\a\\b\\picture.bmp"
expect "three bytes are no bitmap" 1 \
    "$tree\\a\\short.bmp: not a bitmap, or not readable (missing, a directory, under 4 bytes, or open elsewhere)" \
    -- isbmp "$tree\\a\\short.bmp"

[ "$failures" -eq 0 ]
