#!/usr/bin/env bash
# Runs a test program while a Wake-on-LAN receiver (scripts/wake-receiver.py)
# runs on the second host of the private network, when the test command made
# one (KESNET_NETNS_PEER). The program finds the receiver's control address in
# KESNET_WAKE_RECEIVER. Without the private network the program runs alone and
# skips what needs the receiver: broadcasts never leave the machine.
#   with-wake-receiver.sh PROGRAM [ARGUMENTS...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

if [ -n "${KESNET_NETNS_PEER:-}" ]; then
    coproc RECEIVER { exec ip netns exec "$KESNET_NETNS_PEER" python3 "$root/scripts/wake-receiver.py" 10.77.1.2; }
    receiver=$RECEIVER_PID
    trap 'kill "$receiver" 2>/dev/null || true' EXIT
    read -r -t 60 port <&"${RECEIVER[0]}" || { echo "the wake-up receiver did not start" >&2; exit 1; }
    export KESNET_WAKE_RECEIVER="10.77.1.2:$port"
fi
"$root/scripts/wine-run.sh" "$@"
