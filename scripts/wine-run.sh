#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the build tree's own Wine
# prefix (never ~/.wine), with Wine's own messages silenced.
#   scripts/wine-run.sh build/bin/program.exe [arguments...]
#   scripts/wine-run.sh --prepare      (only makes the prefix, from KESNET_WINEPREFIX)
set -euo pipefail
program=$1
shift
if [ "$program" = --prepare ]; then
    export WINEPREFIX=$KESNET_WINEPREFIX
else
    bin_dir=$(cd "$(dirname "$program")" && pwd)
    export WINEPREFIX=${KESNET_WINEPREFIX:-$(dirname "$bin_dir")/wineprefix}
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win32

# Creating a prefix takes several seconds; programs started together must not
# each begin to create it.
if [ ! -f "$WINEPREFIX/.kesnet-ready" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.kesnet-ready" ]; then
            wineboot -i >/dev/null 2>&1 || true
            # Wine's crash debugger ends a crashed program with exit status 0. With
            # a debugger that cannot start, the crash ends it with a failure status.
            wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
                /v Debugger /d kesnet-no-crash-debugger.exe /f >/dev/null 2>&1
            wineserver -w
            touch "$WINEPREFIX/.kesnet-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi
[ "$program" = --prepare ] && exit 0
exec wine "$bin_dir/$(basename "$program")" "$@"
