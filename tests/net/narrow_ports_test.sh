#!/usr/bin/env bash
# Runs test cases of a test program in a network namespace of their own whose
# range of ports of the system's choice (ip_local_port_range) is ten ports
# wide, so that what depends on which port the system hands out is decided at
# once rather than now and then. Wine runs there from a prefix of the test's
# own: its server makes the sockets, in the namespace it started in.
#   narrow_ports_test.sh TEST_PROGRAM GTEST_FILTER
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
program=$1
filter=$2

if [ "$(id -u)" -ne 0 ] || ! unshare --net true 2>/dev/null; then
    echo "SKIPPED: needs root, for a network namespace with a narrow range of ports"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-narrow-ports.XXXXXX")
source "$root/tests/support/script_support.sh"
run_from_own_wine_prefix "$program"

unshare --net bash -c '
    ip link set lo up &&
    echo "40000 40009" >/proc/sys/net/ipv4/ip_local_port_range &&
    "$1" "$2" --gtest_filter="$3"' _ "$root/scripts/wine-run.sh" "$program" "$filter"
