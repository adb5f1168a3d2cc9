#!/usr/bin/env bash
# Builds the library and its benchmarks, runs them all and writes the report:
#   build/bench-report/benchmarks.md   every figure beside its baselines, with ratios
#   build/bench-report/benchmarks.png  the ratios as a chart (linked from the report)
#   build/bench-report/results.tsv     every sample (bench/report.py remakes the report)
#
#   scripts/bench.sh [--reps N] [--quick] [--only NAME,...]
#
# It measures the 32-bit build (the library's contract) where this kernel runs
# 32-bit programs, else the 64-bit one (KESNET_BENCH_ARCH=win32|win64 chooses);
# the report names the architecture of every figure. --quick runs everything
# once with tiny volumes: a check that the benchmarks work, not a measurement.
# As root the run happens inside a private network namespace with eight links
# to a peer namespace (see netns.sh), from which the multi-address benchmark
# sends; otherwise on loopback, without that benchmark. Takes a few minutes;
# run it on a quiet machine. Installs what is missing first.
set -euo pipefail
source "$(dirname "$0")/common.sh"

kesnet_build -DKESNET_BUILD_BENCH=ON

arch=${KESNET_BENCH_ARCH:-$(kesnet_main_arch)}
if [ "$arch" = win32 ] && ! kesnet_runs_win32; then
    echo "bench: the 32-bit build cannot run here: $(kesnet_why_no_win32)" >&2
    exit 1
fi
echo "bench: measuring the $(kesnet_arch_name "$arch") build"
build=$(kesnet_build_dir "$arch")

# The native ceiling and the traffic generators, built for this machine.
native_dir=$KESNET_BUILD_ROOT/bench-native
mkdir -p "$native_dir"
gcc -O2 -Wall -Wextra -Werror -pthread -o "$native_dir/bench_native" "$KESNET_ROOT"/bench/native/*.c

run=(python3 "$KESNET_ROOT/bench/run.py" --bin "$build/bin" --arch "$arch" --native "$native_dir/bench_native"
     --out "$KESNET_BUILD_ROOT/bench-report" "$@")

run_bench_in_private_network() {
    echo "bench: running inside the private network namespace of $KESNET_NETNS_PEER's host"
    kesnet_with_wine "$BENCH_ARCH" "$@" --peer-ns "$KESNET_NETNS_PEER" --links 8
}
export -f run_bench_in_private_network
export BENCH_ARCH=$arch

if kesnet_can_isolate; then
    kesnet_in_private_network "kesnet-bench-$$" 8 run_bench_in_private_network "${run[@]}"
else
    echo "bench: not root, so no private network: running on loopback, without the"
    echo "bench: multi-address benchmark"
    kesnet_with_wine "$arch" "${run[@]}"
fi
