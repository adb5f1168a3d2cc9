#!/usr/bin/env bash
# Builds the library and runs the kesnet tool's demonstration. Installs what
# is missing first. The demo runs the 32-bit tool (the library's contract)
# where this kernel runs 32-bit programs, else the 64-bit one, and says which.
# As root it runs inside a private network of two hosts, so that nothing it
# sends leaves the machine; otherwise on loopback.
set -euo pipefail
source "$(dirname "$0")/common.sh"

kesnet_build

run_demo() {
    local arch
    arch=$(kesnet_main_arch)
    echo "demo: the $(kesnet_arch_name "$arch") kesnet tool and DLL, from build/$arch"
    kesnet_runs_win32 || echo "demo: (not the 32-bit one: $(kesnet_why_no_win32))"
    kesnet_with_wine "$arch" "$KESNET_ROOT/scripts/wine-run.sh" "$(kesnet_build_dir "$arch")/bin/kesnet.exe" demo
}

# The demo's private network: this host with two links, the second host at
# the far end of the first.
run_demo_in_private_network() {
    KESNET_DEMO_PRIVATE=1 KESNET_DEMO_LOCAL=10.77.1.1 KESNET_DEMO_SECOND=10.77.2.1 \
        KESNET_DEMO_PEER=10.77.1.2 KESNET_DEMO_PEER_NS=$KESNET_NETNS_PEER run_demo
}
export -f run_demo run_demo_in_private_network

if kesnet_can_isolate; then
    kesnet_in_private_network "kesnet-demo-$$" 2 run_demo_in_private_network
else
    run_demo
fi
