# What the shell tests share: checks that count failures, bounded waits for a
# background program's output, and free ports. Source it; it expects
# `set -euo pipefail` and a work folder in $work.
#
#   check DESCRIPTION COMMAND...     runs COMMAND; prints ok or FAILED
#   start_and_wait FILE PATTERN COMMAND...
#                                    starts COMMAND in the background with its
#                                    output in FILE, waits for PATTERN in it
#   wait_last                        waits for the last started command to end
#   ended_ok PID                     waits for PID to end; true if it exited with 0
#   ended_with CODE PID              the same, for exit code CODE
#   exit_code EXPECTED COMMAND...    runs COMMAND, output to $work/out
#   out_has TEXT                     $work/out holds TEXT
#   free_port                        a UDP port free a moment ago
#   finish                           prints the count of failures; fails if any
#   own_wine_prefix BUILD_PREFIX     a Wine prefix of the script's own, for
#                                    programs run in a network namespace of
#                                    their own; stop_own_wine stops its server,
#                                    stop_wine_prefix PREFIX any prefix's
#   run_from_own_wine_prefix TEST_PROGRAM
#                                    the same for a test program of a build:
#                                    from then on wine-run.sh uses the copy,
#                                    which goes with $work on exit
# Every wait is bounded, and the bounds grow with KESNET_WAIT_SCALE.
scale=${KESNET_WAIT_SCALE:-1}
started=()
failures=0

stop_started() {
    local pid
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
}

check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok      $what"
    else
        echo "FAILED  $what"
        failures=$((failures + 1))
    fi
}

free_port() {
    python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 0)); print(s.getsockname()[1])'
}

# Waits (bounded) until FILE holds a line matching PATTERN.
wait_for_line() {
    local file=$1 pattern=$2 tries=$((600 * scale))
    for _ in $(seq "$tries"); do
        grep -q -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "no line matching '$pattern' in $file:" >&2
    cat "$file" >&2 || true
    return 1
}

start_and_wait() {
    local file=$1 pattern=$2
    shift 2
    "$@" >"$file" 2>&1 &
    started+=($!)
    wait_for_line "$file" "$pattern"
}

wait_last() {
    local pid=${started[-1]} tries=$((600 * scale))
    for _ in $(seq "$tries"); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" || true; return 0; }
        sleep 0.1
    done
    echo "process $pid did not end" >&2
    return 1
}

ended_with() {
    local expected=$1 pid=$2 tries=$((600 * scale)) code=0
    for _ in $(seq "$tries"); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" || code=$?
            [ "$code" -eq "$expected" ] || echo "process $pid exited with $code, expected $expected" >&2
            [ "$code" -eq "$expected" ]
            return
        fi
        sleep 0.1
    done
    echo "process $pid did not end" >&2
    return 1
}
ended_ok() { ended_with 0 "$1"; }

exit_code() {
    local expected=$1 code=0
    shift
    "$@" >"$work/out" 2>&1 || code=$?
    [ "$code" -eq "$expected" ] || { echo "exit code $code, expected $expected:" >&2; cat "$work/out" >&2; return 1; }
}

out_has() { grep -q -- "$1" "$work/out" || { echo "missing '$1' in:" >&2; cat "$work/out" >&2; return 1; }; }

finish() {
    echo "$failures failed"
    [ "$failures" -eq 0 ]
}

# Wine's network service stays in the namespace of the first Wine process of a
# prefix, and a build's prefix serves the test command's namespace: programs
# run in another namespace run from $own_prefix, a copy of BUILD_PREFIX in the
# work folder (when that one is ready; wine-run.sh makes a new one on first use
# otherwise). Point KESNET_WINEPREFIX at it for wine-run.sh.
own_wine_prefix() {
    own_prefix=$work/wineprefix
    if [ -f "$1/.kesnet-ready" ]; then
        cp -a "$1" "$own_prefix"
    fi
}

# Kills a prefix's programs and waits until its server has gone, so that
# nothing writes into the prefix while the work folder is removed.
stop_wine_prefix() {
    WINEPREFIX=$1 wineserver -k 2>/dev/null || true
    WINEPREFIX=$1 wineserver -w 2>/dev/null || true
}

stop_own_wine() {
    [ -n "${own_prefix:-}" ] || return 0
    stop_wine_prefix "$own_prefix"
}

run_from_own_wine_prefix() {
    local program=$1 wine_run
    wine_run=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/wine-run.sh
    trap 'stop_own_wine; rm -rf "$work"' EXIT
    # The build's prefix exists once a program has run in it.
    "$wine_run" "$program" --gtest_list_tests >/dev/null
    own_wine_prefix "${KESNET_WINEPREFIX:-$(cd "$(dirname "$program")/.." && pwd)/wineprefix}"
    export KESNET_WINEPREFIX=$own_prefix
}
