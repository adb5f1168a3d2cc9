# Shared by the scripts that build and run: the build folder and the private
# Wine prefix inside it.
KESNET_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KESNET_BUILD=${KESNET_BUILD:-$KESNET_ROOT/build}
export KESNET_WINEPREFIX=$KESNET_BUILD/wineprefix

kesnet_build() {
    "$KESNET_ROOT/scripts/setup.sh"
    cmake -S "$KESNET_ROOT" -B "$KESNET_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$KESNET_BUILD"
}

# True when we may make network namespaces.
kesnet_can_isolate() {
    [ "$(id -u)" -eq 0 ] && ip netns add "kesnet-probe-$$" 2>/dev/null && ip netns del "kesnet-probe-$$"
}

# Runs a command with the prefix's Wine server kept alive throughout, so that
# each Wine program starts quickly. The server starts in the caller's network
# namespace.
kesnet_with_wine() {
    WINEPREFIX=$KESNET_WINEPREFIX "$KESNET_ROOT/scripts/wine-run.sh" --prepare
    WINEPREFIX=$KESNET_WINEPREFIX wineserver -p
    # The first program of a server starts Wine's own service processes, which
    # inherit its output and would hold a caller's pipe open: start them here.
    WINEPREFIX=$KESNET_WINEPREFIX WINEDEBUG=-all wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    local status=0
    "$@" || status=$?
    WINEPREFIX=$KESNET_WINEPREFIX wineserver -k 2>/dev/null || true
    return $status
}

# Wine's network service stays in the namespace of the first Wine process of a
# prefix; stop the prefix's server before running it in another namespace.
kesnet_stop_wine() {
    WINEPREFIX=$KESNET_WINEPREFIX wineserver -k 2>/dev/null || true
}

# Starts scripts/wake-receiver.py on the second host of the private network (the
# namespace $1), which reports the Wake-on-LAN datagrams it gets. Sets
# KESNET_WAKE_RECEIVER (its control address:port) and KESNET_WAKE_RECEIVER_PID.
kesnet_start_wake_receiver() {
    coproc KESNET_WAKE { exec ip netns exec "$1" python3 "$KESNET_ROOT/scripts/wake-receiver.py" 10.77.1.2; }
    KESNET_WAKE_RECEIVER_PID=$KESNET_WAKE_PID
    local port
    read -r -t 60 port <&"${KESNET_WAKE[0]}" || return 1
    export KESNET_WAKE_RECEIVER=10.77.1.2:$port
}
