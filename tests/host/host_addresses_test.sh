#!/usr/bin/env bash
# Runs host_addresses_test once per resolver answer: each run in private
# network, UTS and mount namespaces with loopback alone, a host name of its own
# and a hosts file (and nsswitch.conf) bind-mounted over the machine's, so that
# the machine's own name resolves to exactly the addresses chosen here. Wine
# runs there from a prefix of the test's own, whose server is stopped before
# and after each run.
#   host_addresses_test.sh TEST_PROGRAM
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
program=$1

if [ "$(id -u)" -ne 0 ] || ! unshare --net --uts --mount true 2>/dev/null; then
    echo "SKIPPED: needs root, to give the resolver a host name and hosts file of its own in private namespaces"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-host-addresses.XXXXXX")
source "$root/tests/support/script_support.sh"
run_from_own_wine_prefix "$program"
printf 'hosts: files\n' >"$work/nsswitch.conf"

# run SUITE NAME [ADDRESS...]: the suite (and Resolver) where NAME has these addresses.
failed=0
run() {
    local suite=$1 name=$2
    shift 2
    { echo "127.0.0.1 localhost"; for a in "$@"; do echo "$a $name"; done; } >"$work/hosts"
    echo "== $suite: host name '$name', $# address(es) in the hosts file"
    stop_own_wine
    KESNET_HOST_NAME=$name KESNET_HOST_ADDRESSES=$(IFS=,; echo "$*") \
        unshare --net --uts --mount --propagation private bash -c '
            ip link set lo up &&
            echo "$KESNET_HOST_NAME" >/proc/sys/kernel/hostname &&
            mount --bind "$1/hosts" /etc/hosts &&
            mount --bind "$1/nsswitch.conf" /etc/nsswitch.conf &&
            "$2" "$3" --gtest_filter="Resolver.*:$4.*"' \
        _ "$work" "$root/scripts/wine-run.sh" "$program" "$suite" || failed=1
    stop_own_wine
}

# The first address ends in 201 so that its debug-line number is negative.
run NoAddress kesnet-hosts
run OneAddress kesnet-hosts 10.9.0.201
run TwoAddresses kesnet-hosts 10.9.0.201 10.9.0.2
run ThreeAddresses kesnet-hosts 10.9.0.201 10.9.0.2 10.9.0.3
run ManyAddresses kesnet-hosts $(for i in $(seq 1 20); do echo "10.9.1.$i"; done)
run OneAddress "kesnet-$(printf 'h%.0s' $(seq 1 57))" 10.9.0.201
exit $failed
