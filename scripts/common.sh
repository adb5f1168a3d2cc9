# Shared by the scripts that build and run: the build folders, which of them
# this machine can run, the Wine server of a run, and the private network.
#
# Every build makes the library twice, from one CMake project:
#   build/win32  i686, 32-bit: the binary contract
#   build/win64  x86_64, 64-bit
# Each folder holds its own Wine prefix (wineprefix/). Some kernels cannot
# execute 32-bit programs at all; there the 32-bit build is still made and
# checked without running it. KESNET_NO_WIN32=1 makes a machine that can run
# them behave as one that cannot, so that both paths can be tried anywhere.
KESNET_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KESNET_BUILD_ROOT=${KESNET_BUILD_ROOT:-$KESNET_ROOT/build}
KESNET_ARCHS="win32 win64"

kesnet_build_dir() { echo "$KESNET_BUILD_ROOT/$1"; }

kesnet_arch_name() {
    case "$1" in
        win32) echo "32-bit (i686)" ;;
        win64) echo "64-bit (x86_64)" ;;
    esac
}

# One run at a time per build root, held until the script ends: a second
# test, demo or benchmark run would rebuild under the first, stop its Wine
# servers and share its fixed ports. (wine-run.sh closes the lock, so that no
# Wine process outlives a run holding it.)
kesnet_take_build_lock() {
    mkdir -p "$KESNET_BUILD_ROOT"
    exec {KESNET_LOCK_FD}>"$KESNET_BUILD_ROOT/.run.lock"
    export KESNET_LOCK_FD
    if ! flock -n "$KESNET_LOCK_FD"; then
        echo "waiting for another test, demo or benchmark run in $KESNET_BUILD_ROOT to end" >&2
        flock "$KESNET_LOCK_FD"
    fi
}

# Installs what is missing (setup.sh finds out whether this kernel runs 32-bit
# programs and leaves the answer in the build root), then configures and
# builds both architectures. Extra arguments go to every configure.
kesnet_build() {
    kesnet_take_build_lock
    KESNET_BUILD_ROOT=$KESNET_BUILD_ROOT "$KESNET_ROOT/scripts/setup.sh"
    local arch dir
    for arch in $KESNET_ARCHS; do
        dir=$(kesnet_build_dir "$arch")
        echo "build: $(kesnet_arch_name "$arch") in ${dir#"$KESNET_ROOT"/}"
        cmake -S "$KESNET_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_TOOLCHAIN_FILE="$KESNET_ROOT/cmake/toolchain-$(kesnet_cpu "$arch")-mingw.cmake" \
            -DKESNET_OTHER_ARCH_BUILD="$(kesnet_build_dir "$(kesnet_other_arch "$arch")")" \
            -DKESNET_NATIVE_BUILD="$(kesnet_build_dir native)" "$@" >/dev/null
        cmake --build "$dir"
    done
}

# The platform-neutral cores and their tests, built natively with the
# sanitizers (cmake/native.cmake), in build/native.
kesnet_build_native() {
    local dir
    dir=$(kesnet_build_dir native)
    echo "build: the native suite in ${dir#"$KESNET_ROOT"/}"
    cmake -S "$KESNET_ROOT" -B "$dir" -G Ninja -DKESNET_NATIVE=ON >/dev/null
    cmake --build "$dir"
}

# The Linux library's threaded tests (labelled tsan) again, built with
# ThreadSanitizer, in build/native-tsan: only what they need.
kesnet_build_native_tsan() {
    local dir
    dir=$(kesnet_build_dir native-tsan)
    echo "build: the Linux library's threaded tests under ThreadSanitizer in ${dir#"$KESNET_ROOT"/}"
    cmake -S "$KESNET_ROOT" -B "$dir" -G Ninja -DKESNET_NATIVE=ON -DKESNET_SANITIZE=thread >/dev/null
    cmake --build "$dir" --target datagram_native_test
}

# kesnet_build_native_bench_tool TARGET: one program of the native build
# (kesnet-cast, bench_seal) alone, without the sanitizers, in build/native-bench:
# the benchmarks time it or what it feeds. Prints the program's path.
kesnet_build_native_bench_tool() {
    local dir
    dir=$(kesnet_build_dir native-bench)
    echo "build: $1 for the benchmarks in ${dir#"$KESNET_ROOT"/}" >&2
    cmake -S "$KESNET_ROOT" -B "$dir" -G Ninja -DKESNET_NATIVE=ON -DKESNET_SANITIZE=OFF \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$dir" --target "$1" >&2
    echo "$dir/$1"
}

kesnet_cpu() {
    case "$1" in
        win32) echo i686 ;;
        win64) echo x86_64 ;;
    esac
}

kesnet_other_arch() {
    case "$1" in
        win32) echo win64 ;;
        win64) echo win32 ;;
    esac
}

# Whether this kernel executes 32-bit programs, as setup.sh found out.
kesnet_kernel_runs_win32() {
    [ "$(cat "$KESNET_BUILD_ROOT/kernel-runs-win32" 2>/dev/null)" = yes ]
}

# Whether the 32-bit build is run here: the kernel can, and KESNET_NO_WIN32 does
# not say otherwise.
kesnet_runs_win32() {
    kesnet_kernel_runs_win32 && [ "${KESNET_NO_WIN32:-0}" = 0 ]
}

# Why the 32-bit build is not run here, in a few words.
kesnet_why_no_win32() {
    if kesnet_kernel_runs_win32; then
        echo "KESNET_NO_WIN32=$KESNET_NO_WIN32 asks to test as on a machine that cannot run them"
    else
        echo "this kernel cannot execute 32-bit programs"
    fi
}

# The architectures whose programs run here, the 32-bit one first.
kesnet_run_archs() {
    if kesnet_runs_win32; then echo "win32 win64"; else echo win64; fi
}

# The architecture that the demo and the benchmarks use: the contract's where
# it runs, else the 64-bit one.
kesnet_main_arch() {
    if kesnet_runs_win32; then echo win32; else echo win64; fi
}

# kesnet_with_wine ARCH COMMAND...: runs COMMAND with the Wine server of the
# ARCH build's prefix kept alive throughout, so that each Wine program starts
# quickly. The server starts in the caller's network namespace.
kesnet_with_wine() {
    local arch=$1 status=0
    shift
    export KESNET_WINEPREFIX
    KESNET_WINEPREFIX=$(kesnet_build_dir "$arch")/wineprefix
    "$KESNET_ROOT/scripts/wine-run.sh" --serve "$arch"
    "$@" || status=$?
    WINEPREFIX=$KESNET_WINEPREFIX wineserver -k 2>/dev/null || true
    return $status
}

# Wine's network service stays in the namespace of the first Wine process of a
# prefix: stop every prefix's server before Wine runs in another namespace.
kesnet_stop_wine() {
    local arch
    for arch in $KESNET_ARCHS; do
        WINEPREFIX=$(kesnet_build_dir "$arch")/wineprefix wineserver -k 2>/dev/null || true
    done
}

# kesnet_report_skips BUILD_DIR: every case that the last ctest run there
# skipped, with the reason it gave. ctest shows a skipped case's output only in
# its log: a GoogleTest case's reason follows a "Skipped" line, a script's
# starts with "SKIPPED".
kesnet_report_skips() {
    local log=$1/Testing/Temporary/LastTest.log
    [ -f "$log" ] || return 0
    awk '
        /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); test = $0; name = ""; next }
        /^\[ RUN      \] / { name = " " $4; next }
        /: Skipped$/ { if ((getline reason) > 0) print "  skipped: " test name ": " reason; next }
        /^SKIPPED/ { print "  skipped: " test ": " $0 }
    ' "$log"
}

# True when we may make network namespaces.
kesnet_can_isolate() {
    [ "$(id -u)" -eq 0 ] && ip netns add "kesnet-probe-$$" 2>/dev/null && ip netns del "kesnet-probe-$$"
}

# kesnet_in_private_network NAME LINKS COMMAND...: makes the private network
# NAME (netns.sh, with LINKS links), starts the wake-up receiver on its second
# host, and runs COMMAND inside NAME-host with
#   KESNET_NETNS=1, KESNET_NETNS_PEER (the second host's namespace) and
#   KESNET_WAKE_RECEIVER (the receiver's control address:port).
# COMMAND runs in a new bash that has sourced this file; a function of the
# calling script must be exported (export -f) to be found there. The network
# goes again afterwards, also when the script is interrupted. Returns
# COMMAND's status.
kesnet_in_private_network() {
    local net=$1 links=$2 status=0
    shift 2
    trap "kesnet_take_down_private_network $net" EXIT
    "$KESNET_ROOT/scripts/netns.sh" up "$net" "$links"
    kesnet_stop_wine
    if kesnet_start_wake_receiver "$net-peer"; then
        ip netns exec "$net-host" env KESNET_NETNS=1 KESNET_NETNS_PEER="$net-peer" \
            bash -c 'source "$0/scripts/common.sh" && "$@"' "$KESNET_ROOT" "$@" || status=$?
    else
        echo "the wake-up receiver did not start on $net-peer" >&2
        status=1
    fi
    kesnet_take_down_private_network "$net"
    trap - EXIT
    return $status
}

kesnet_take_down_private_network() {
    kesnet_stop_wine
    [ -z "${KESNET_WAKE_RECEIVER_PID:-}" ] || kill "$KESNET_WAKE_RECEIVER_PID" 2>/dev/null || true
    "$KESNET_ROOT/scripts/netns.sh" down "$1"
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
