#!/usr/bin/env bash
# Builds the library and runs the kesnet tool's demonstration. Installs what
# is missing first. As root it runs inside a private network of two hosts, so
# that nothing it sends leaves the machine; otherwise on loopback.
set -euo pipefail
source "$(dirname "$0")/common.sh"

kesnet_build
tool=("$KESNET_ROOT/scripts/wine-run.sh" "$KESNET_BUILD/bin/kesnet.exe" demo)

if kesnet_can_isolate; then
    net="kesnet-demo-$$"
    trap 'kesnet_stop_wine; kill "${KESNET_WAKE_RECEIVER_PID:-}" 2>/dev/null || true; "$KESNET_ROOT/scripts/netns.sh" down "$net"' EXIT
    "$KESNET_ROOT/scripts/netns.sh" up "$net"
    kesnet_stop_wine
    export -f kesnet_with_wine
    export KESNET_ROOT
    kesnet_start_wake_receiver "$net-peer"
    ip netns exec "$net-host" env KESNET_DEMO_PRIVATE=1 KESNET_DEMO_LOCAL=10.77.1.1 \
        KESNET_DEMO_SECOND=10.77.2.1 KESNET_DEMO_PEER=10.77.1.2 KESNET_DEMO_PEER_NS="$net-peer" \
        bash -c 'kesnet_with_wine "$@"' _ "${tool[@]}"
else
    kesnet_with_wine "${tool[@]}"
fi
