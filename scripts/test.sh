#!/usr/bin/env bash
# Builds everything and runs every test. Installs what is missing first.
#   scripts/test.sh [CTEST ARGUMENTS...]     e.g. -R kes_listen, -L load
#
# Both DLLs are built. Where this kernel runs 32-bit programs the whole suite
# runs for the 32-bit DLL (the contract) and for the 64-bit one, and a 32-bit
# and a 64-bit program talk to each other across the private network; where it
# cannot (or with KESNET_NO_WIN32=1), the whole suite runs for the 64-bit DLL,
# and the 32-bit one is checked without running it (its export table, imports
# and ZIP; its record layout is checked as it compiles).
#
# First comes the native suite: the platform-neutral protocol cores (the
# multicast transfer) built for this machine with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a simulated network, and the Linux library
# (build/native); then the Linux library's threaded tests again under
# ThreadSanitizer (build/native-tsan).
#
# As root the tests run inside a private network namespace (see netns.sh);
# otherwise the cases that need it are skipped, and say so.
set -euo pipefail
source "$(dirname "$0")/common.sh"

kesnet_build
kesnet_build_native
kesnet_build_native_tsan

# run_suites CTEST_ARGUMENTS...: every suite this machine can run.
run_suites() {
    local arch status=0 ran="native"
    echo "test: the native suite (no Wine; AddressSanitizer and UndefinedBehaviorSanitizer), in build/native"
    (cd "$(kesnet_build_dir native)" && ctest --output-on-failure --parallel 2 "$@") || status=1
    echo "test: the Linux library's threaded tests under ThreadSanitizer, in build/native-tsan"
    (cd "$(kesnet_build_dir native-tsan)" && ctest --output-on-failure -L tsan "$@") || status=1
    export KESNET_WIN32_RUNS=no KESNET_WIN32_WHY
    KESNET_WIN32_WHY=$(kesnet_why_no_win32)
    kesnet_runs_win32 && KESNET_WIN32_RUNS=yes
    for arch in $(kesnet_run_archs); do
        echo "test: the $(kesnet_arch_name "$arch") suite, in build/$arch"
        (cd "$(kesnet_build_dir "$arch")" &&
            kesnet_with_wine "$arch" ctest --output-on-failure --parallel 2 "$@") || status=1
        kesnet_report_skips "$(kesnet_build_dir "$arch")"
        ran="$ran${ran:+ and }$(kesnet_arch_name "$arch")"
    done
    if ! kesnet_runs_win32; then
        echo "test: the 32-bit (i686) DLL, in build/win32: the checks that run nothing under Wine"
        (cd "$(kesnet_build_dir win32)" && ctest --output-on-failure -L nowine "$@") || status=1
        echo "test: the 32-bit DLL was built and checked, but its run-time tests were not run:" \
             "$KESNET_WIN32_WHY"
    fi
    if [ $status -eq 0 ]; then
        echo "test: passed: the $ran suite(s) ran"
    else
        echo "test: FAILED (the $ran suite(s) ran; see above)"
    fi
    return $status
}
export -f run_suites

if kesnet_can_isolate; then
    echo "test: running inside the private network namespace kesnet-test-$$-host"
    kesnet_in_private_network "kesnet-test-$$" 2 run_suites "$@"
else
    echo "test: not root, so no private network namespace: the cases that need multicast,"
    echo "test: broadcast or a second host are SKIPPED (they say so below)"
    run_suites "$@"
fi
