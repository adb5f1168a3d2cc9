#!/usr/bin/env bash
# The multicast transfer across the private network, with real loss: a
# kesnet-cast sender on this host (10.77.1.1) gives a file to three kesnet-cast
# receivers on the second host (10.77.1.2), whose input drops the group's
# datagrams at random (nftables), 2 % and then 10 % of them. Every copy must
# have the file's hash, and the sender must say that every receiver has it.
# (The three receivers share one host, so they lose the same datagrams.)
#   cast_network_test.sh PATH/TO/kesnet-cast
set -euo pipefail

cast=$1
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "${KESNET_NETNS_PEER:-}" ]; then
    echo "SKIPPED: needs the private network namespace of the test command (run as root), for the second host"
    exit 77
fi
if ! command -v nft >/dev/null; then
    echo "FAILED: nft is missing (scripts/setup.sh installs nftables)"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-cast.XXXXXX")
source "$here/../support/script_support.sh"
peer=$KESNET_NETNS_PEER
table=kesnet_cast_loss
trap 'stop_started; ip netns exec "$peer" nft delete table inet $table 2>/dev/null || true; rm -rf "$work"' EXIT

head -c $((6 * 1024 * 1024 + 4321)) /dev/urandom >"$work/lesson.bin"
want=$(sha256sum <"$work/lesson.bin" | cut -d' ' -f1)
port=$(free_port)
group=239.77.0.1:$port

# drop_on_peer PERCENT: the second host's input loses that share of the group's datagrams.
drop_on_peer() {
    ip netns exec "$peer" nft delete table inet $table 2>/dev/null || true
    ip netns exec "$peer" nft add table inet $table
    ip netns exec "$peer" nft add chain inet $table in '{ type filter hook input priority 0; }'
    ip netns exec "$peer" nft add rule inet $table in udp dport "$port" numgen random mod 100 lt "$1" drop
}

# ended_ok PID: waits (bounded) for the process to end; true if it exited with 0.
ended_ok() {
    local pid=$1 tries=$((600 * scale))
    for _ in $(seq "$tries"); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            return $?
        fi
        sleep 0.1
    done
    return 1
}

same_hash() { [ "$(sha256sum <"$1" | cut -d' ' -f1)" = "$want" ]; }

for loss in 2 10; do
    echo "== $loss % loss on the second host's input"
    drop_on_peer "$loss"
    for id in 1 2 3; do
        rm -f "$work/copy$id"
        start_and_wait "$work/receiver$id.log" "waiting on" ip netns exec "$peer" "$cast" receive \
            "$work/copy$id" --group "$group" --from 10.77.1.2 --id "$id" --seconds $((120 * scale))
    done
    check "the sender says every receiver has it" exit_code 0 "$cast" send "$work/lesson.bin" --group "$group" \
        --from 10.77.1.1 --expect 1 --expect 2 --expect 3 --seconds $((120 * scale))
    cat "$work/out"
    for id in 1 2 3; do
        check "receiver $id ends whole" ended_ok "${started[-$((4 - id))]}"
        check "receiver $id's copy has the file's hash" same_hash "$work/copy$id"
    done
    started=()
done
finish
