#!/usr/bin/env bash
# Builds everything and runs every test. Installs what is missing first.
# As root the tests run inside a private network namespace (see netns.sh);
# otherwise the cases that need it are skipped, and say so.
set -euo pipefail
source "$(dirname "$0")/common.sh"

kesnet_build
cd "$KESNET_BUILD"
ctest_args=(--output-on-failure --parallel 2 "$@")

if kesnet_can_isolate; then
    net="kesnet-test-$$"
    trap 'kesnet_stop_wine; kill "${KESNET_WAKE_RECEIVER_PID:-}" 2>/dev/null || true; "$KESNET_ROOT/scripts/netns.sh" down "$net"' EXIT
    "$KESNET_ROOT/scripts/netns.sh" up "$net"
    kesnet_stop_wine
    kesnet_start_wake_receiver "$net-peer"
    echo "test: running inside the private network namespace $net-host"
    export -f kesnet_with_wine
    export KESNET_ROOT
    ip netns exec "$net-host" env KESNET_NETNS=1 KESNET_NETNS_PEER="$net-peer" \
        bash -c 'kesnet_with_wine ctest "$@"' _ "${ctest_args[@]}"
else
    echo "test: not root, so no private network namespace: the cases that need multicast,"
    echo "test: broadcast or a second host are SKIPPED (they say so below)"
    kesnet_with_wine ctest "${ctest_args[@]}"
fi
