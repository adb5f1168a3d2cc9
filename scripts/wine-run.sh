#!/usr/bin/env bash
# Runs a Windows program of the build under Wine: 32-bit programs with the
# 32-bit Wine, 64-bit ones with the 64-bit Wine, each in the Wine prefix of
# its build tree (never ~/.wine), with Wine's own messages silenced.
#
#   scripts/wine-run.sh PROGRAM.exe [ARGUMENTS...]
#   scripts/wine-run.sh --prepare win32|win64   only make the prefix KESNET_WINEPREFIX
#   scripts/wine-run.sh --serve win32|win64     make it, then start its Wine server
#                                               to stay (stop it: wineserver -k)
#
# The prefix is KESNET_WINEPREFIX when set, else the folder wineprefix beside
# the program's bin folder (build/win32/wineprefix, build/win64/wineprefix). A
# prefix serves one architecture: a 32-bit prefix cannot run 64-bit programs.
set -euo pipefail
# The lock of a test, demo or benchmark run (common.sh) stays with the run.
if [ -n "${KESNET_LOCK_FD:-}" ]; then
    eval "exec ${KESNET_LOCK_FD}>&-"
fi

usage() {
    sed -n '2,13s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

# The architecture of a PE file, from the machine field of its header.
pe_arch() {
    local pe machine
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
    case "$machine" in
        014c) echo win32 ;;
        8664) echo win64 ;;
        *) echo "wine-run.sh: $1 is not a 32- or 64-bit x86 Windows program" >&2; exit 2 ;;
    esac
}

# /usr/bin/wine picks the 32-bit loader whenever it is installed, also where
# this kernel cannot run it, so each architecture is given its loader by name.
loader_for() {
    case "$1" in
        win32) echo /usr/lib/wine/wine ;;
        win64) echo /usr/lib/wine/wine64 ;;
        *) usage ;;
    esac
}

use_wine() {  # use_wine ARCH: the environment of every Wine process of ARCH
    export WINEARCH=$1
    export WINELOADER
    WINELOADER=$(loader_for "$1")
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
}

# Creating a prefix takes several seconds; programs started together must not
# each begin to create it.
prepare_prefix() {
    [ -f "$WINEPREFIX/.kesnet-ready" ] && return 0
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.kesnet-ready" ]; then
            "$WINELOADER" wineboot.exe -i >/dev/null 2>&1 || true
            # Wine's crash debugger ends a crashed program with exit status 0. With
            # a debugger that cannot start, the crash ends it with a failure status.
            "$WINELOADER" reg.exe add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
                /v Debugger /d kesnet-no-crash-debugger.exe /f >/dev/null 2>&1
            wineserver -w
            touch "$WINEPREFIX/.kesnet-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
}

[ $# -gt 0 ] || usage
case "$1" in
    --prepare | --serve)
        [ $# -eq 2 ] && [ -n "${KESNET_WINEPREFIX:-}" ] || usage
        use_wine "$2"
        export WINEPREFIX=$KESNET_WINEPREFIX
        prepare_prefix
        if [ "$1" = --serve ]; then
            wineserver -p
            # The first program of a server starts Wine's own service processes,
            # which inherit its output and would hold a caller's pipe open: start
            # them here.
            "$WINELOADER" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
        fi
        exit 0
        ;;
    -*) usage ;;
esac

program=$1
shift
[ -f "$program" ] || { echo "wine-run.sh: no program $program" >&2; exit 2; }
bin_dir=$(cd "$(dirname "$program")" && pwd)
use_wine "$(pe_arch "$program")"
export WINEPREFIX=${KESNET_WINEPREFIX:-$(dirname "$bin_dir")/wineprefix}
prepare_prefix
exec "$WINELOADER" "$bin_dir/$(basename "$program")" "$@"
