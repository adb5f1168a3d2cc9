#!/usr/bin/env bash
# Builds the library and its benchmarks, runs them all and writes the report:
#   build/bench-report/benchmarks.md   every figure beside its baselines, with ratios
#   build/bench-report/benchmarks.png  the ratios as a chart (linked from the report)
#   build/bench-report/results.tsv     every sample (bench/report.py remakes the report)
#
#   scripts/bench.sh [--reps N] [--quick]
#
# --quick runs everything once with tiny volumes: a check that the benchmarks
# work, not a measurement. As root the run happens inside a private network
# namespace with eight links to a peer namespace (see netns.sh), from which the
# multi-address benchmark sends; otherwise on loopback, without that benchmark.
# Takes a few minutes; run it on a quiet machine.
set -euo pipefail
source "$(dirname "$0")/common.sh"

cmake -S "$KESNET_ROOT" -B "$KESNET_BUILD" -G Ninja -DKESNET_BUILD_BENCH=ON >/dev/null
kesnet_build

# The native ceiling and the traffic generators, built for this machine.
native_dir=$KESNET_BUILD/bench-native
mkdir -p "$native_dir"
gcc -O2 -Wall -Wextra -Werror -pthread -o "$native_dir/bench_native" "$KESNET_ROOT"/bench/native/*.c

run=(python3 "$KESNET_ROOT/bench/run.py" --bin "$KESNET_BUILD/bin" --native "$native_dir/bench_native"
     --out "$KESNET_BUILD/bench-report" "$@")
export -f kesnet_with_wine
export KESNET_ROOT

if kesnet_can_isolate; then
    net="kesnet-bench-$$"
    trap 'kesnet_stop_wine; "$KESNET_ROOT/scripts/netns.sh" down "$net"' EXIT
    "$KESNET_ROOT/scripts/netns.sh" up "$net" 8
    kesnet_stop_wine
    echo "bench: running inside the private network namespace $net-host"
    ip netns exec "$net-host" bash -c 'kesnet_with_wine "$@"' _ "${run[@]}" --peer-ns "$net-peer" --links 8
else
    echo "bench: not root, so no private network: running on loopback, without the"
    echo "bench: multi-address benchmark"
    kesnet_with_wine "${run[@]}"
fi
