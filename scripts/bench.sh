#!/usr/bin/env bash
# Builds the library and its benchmarks, runs them all and writes the report:
#   build/bench-report/benchmarks.md   every figure beside its baselines, with ratios
#   build/bench-report/benchmarks.png  the ratios as a chart (linked from the report)
#   build/bench-report/results.tsv     every sample (bench/report.py remakes the report)
#
#   build/bench-report/cast.md         the multicast transfer against TCP, udpcast
#                                      and UFTP on a shaped classroom link
#                                      (bench/cast_bench.sh), linked from the report
#
#   scripts/bench.sh [--reps N] [--quick] [--only NAME,...]
#
# NAME is one of run.py's benchmarks (send, receive, call_costs, round_trip,
# tcp, idle_and_release, scale, auth: what the class key costs) or cast, the multicast benchmark, which needs
# root (it says SKIPPED otherwise) and takes about a quarter of an hour.
# It measures the 32-bit build (the library's contract) where this kernel runs
# 32-bit programs, else the 64-bit one (KESNET_BENCH_ARCH=win32|win64 chooses);
# the report names the architecture of every figure. --quick runs everything
# once with tiny volumes: a check that the benchmarks work, not a measurement.
# As root the run happens inside a private network namespace with eight links
# to a peer namespace (see netns.sh), from which the multi-address benchmark
# sends; otherwise on loopback, without that benchmark. Takes a few minutes
# (and the multicast benchmark a quarter of an hour more);
# run it on a quiet machine. Installs what is missing first.
set -euo pipefail
source "$(dirname "$0")/common.sh"

only=""
quick=()
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case "${args[i]}" in
        --only) only=${args[i + 1]:-} ;;
        --only=*) only=${args[i]#--only=} ;;
        --quick) quick=(--quick) ;;
    esac
done

# wanted NAME: the run includes the benchmark NAME.
wanted() { [ -z "$only" ] || [[ ",$only," == *",$1,"* ]]; }
# Whether any of run.py's benchmarks is wanted.
others_wanted() { [ -z "$only" ] || [ -n "$(tr ',' '\n' <<<"$only" | grep -vx cast)" ]; }

skip_cast_bench() { echo "bench: cast: SKIPPED: needs root, for network namespaces of its own"; }

if ! others_wanted && [ "$(id -u)" -ne 0 ]; then
    skip_cast_bench
    exit 0
fi

kesnet_build -DKESNET_BUILD_BENCH=ON

arch=${KESNET_BENCH_ARCH:-$(kesnet_main_arch)}
if [ "$arch" = win32 ] && ! kesnet_runs_win32; then
    echo "bench: the 32-bit build cannot run here: $(kesnet_why_no_win32)" >&2
    exit 1
fi
echo "bench: measuring the $(kesnet_arch_name "$arch") build"
build=$(kesnet_build_dir "$arch")

report_dir=$KESNET_BUILD_ROOT/bench-report

# The multicast benchmark makes a network of its own, so it runs before the
# others and outside their private network.
run_cast_bench() {
    local cast status=0
    if [ "$(id -u)" -ne 0 ]; then
        skip_cast_bench
        return 0
    fi
    cast=$(kesnet_build_native_bench_tool kesnet-cast)
    "$KESNET_ROOT/bench/cast_bench.sh" --cast "$cast" --kesnet "$build/bin/kesnet.exe" --out "$report_dir" \
        "${quick[@]}" || status=$?
    [ "$status" -ne 77 ] || status=0
    return $status
}

cast_failed=0
if wanted cast; then
    run_cast_bench || cast_failed=1
fi
if ! others_wanted; then
    # The main report links the multicast one: remake it from its results.
    if [ -f "$report_dir/results.tsv" ]; then
        python3 "$KESNET_ROOT/bench/report.py" "$report_dir/results.tsv" "$report_dir"
    fi
    exit $cast_failed
fi

# The native ceiling and the traffic generators, built for this machine.
native_dir=$KESNET_BUILD_ROOT/bench-native
mkdir -p "$native_dir"
gcc -O2 -Wall -Wextra -Werror -pthread -o "$native_dir/bench_native" "$KESNET_ROOT"/bench/native/*.c

run=(python3 "$KESNET_ROOT/bench/run.py" --bin "$build/bin" --arch "$arch" --native "$native_dir/bench_native"
     --out "$report_dir" "$@")
# The keyed receive benchmark's datagrams are sealed natively by the core.
if wanted auth; then
    run+=(--sealer "$(kesnet_build_native_bench_tool bench_seal)")
fi

run_bench_in_private_network() {
    echo "bench: running inside the private network namespace of $KESNET_NETNS_PEER's host"
    kesnet_with_wine "$BENCH_ARCH" "$@" --peer-ns "$KESNET_NETNS_PEER" --links 8
}
export -f run_bench_in_private_network
export BENCH_ARCH=$arch

status=0
if kesnet_can_isolate; then
    kesnet_in_private_network "kesnet-bench-$$" 8 run_bench_in_private_network "${run[@]}" || status=$?
else
    echo "bench: not root, so no private network: running on loopback, without the"
    echo "bench: multi-address benchmark"
    kesnet_with_wine "$arch" "${run[@]}" || status=$?
fi
[ "$cast_failed" -eq 0 ] || echo "bench: the multicast benchmark failed" >&2
[ "$status" -ne 0 ] || status=$cast_failed
exit $status
