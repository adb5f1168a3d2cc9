#!/bin/bash
# private_loopback.sh PROGRAM [ARGS...]: runs PROGRAM in a network namespace
# of its own whose only interface is loopback, with multicast on it, so that
# its group datagrams cannot leave the machine. Without root there is no such
# namespace: PROGRAM runs as it is, and its multicast cases skip themselves.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
    echo "private_loopback.sh: not root, so no network namespace: multicast cases are skipped" >&2
    exec "$@"
fi
exec unshare --net -- bash -c '
    ip link set lo up
    ip link set lo multicast on
    ip route add 224.0.0.0/4 dev lo
    KESNET_PRIVATE_LOOPBACK=1 exec "$@"' private_loopback "$@"
