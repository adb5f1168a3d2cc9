#!/usr/bin/env bash
# The multicast transfer across a network of its own, with real loss: a
# kesnet-cast sender gives a file to five kesnet-cast receivers, each on a host
# of its own (a network namespace), all on one bridge, as a classroom's
# machines are on one switch. Each receiver's input drops the group's
# datagrams at random (nftables), on its own: 2 % and then 10 % of them. Every
# copy must have the file's hash, and the sender must say that every receiver
# has it.
#   cast_network_test.sh PATH/TO/kesnet-cast
set -euo pipefail

cast=$1
here=$(cd "$(dirname "$0")" && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: needs root, for network namespaces of its own"
    exit 77
fi
if ! command -v nft >/dev/null; then
    echo "FAILED: nft is missing (scripts/setup.sh installs nftables)"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-cast.XXXXXX")
source "$here/../support/script_support.sh"
name=kcast-$$
receivers=5
teacher=10.78.0.1
student() { echo "10.78.0.$((10 + $1))"; }
cleanup() {
    stop_started
    ip netns del "$name-s" 2>/dev/null || true
    for ((i = 1; i <= receivers; i++)); do ip netns del "$name-r$i" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# The teacher's host holds the bridge (multicast snooping off: every port hears
# the group, as on a switch that does not snoop); each student's host has one
# link to it.
ip netns add "$name-s"
ip -n "$name-s" link set lo up
ip -n "$name-s" link add br0 type bridge
ip -n "$name-s" link set br0 type bridge mcast_snooping 0
ip -n "$name-s" addr add "$teacher/24" dev br0
ip -n "$name-s" link set br0 up
for ((i = 1; i <= receivers; i++)); do
    ns=$name-r$i
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip link add "kcs$i-$$" type veth peer name "kcr$i-$$"
    ip link set "kcs$i-$$" netns "$name-s"
    ip link set "kcr$i-$$" netns "$ns"
    ip -n "$name-s" link set "kcs$i-$$" master br0 up
    ip -n "$ns" link set "kcr$i-$$" name eth0
    ip -n "$ns" addr add "$(student "$i")/24" dev eth0
    ip -n "$ns" link set eth0 up multicast on
    ip -n "$ns" route add 224.0.0.0/4 dev eth0
done

head -c $((6 * 1024 * 1024 + 4321)) /dev/urandom >"$work/lesson.bin"
want=$(sha256sum <"$work/lesson.bin" | cut -d' ' -f1)
port=47200
group=239.78.0.1:$port

# drop_on_students PERCENT: each student's input loses that share of the group's datagrams, on its own.
drop_on_students() {
    local i
    for ((i = 1; i <= receivers; i++)); do
        ip netns exec "$name-r$i" nft delete table inet loss 2>/dev/null || true
        ip netns exec "$name-r$i" nft add table inet loss
        ip netns exec "$name-r$i" nft add chain inet loss in '{ type filter hook input priority 0; }'
        ip netns exec "$name-r$i" nft add rule inet loss in udp dport "$port" numgen random mod 100 lt "$1" drop
    done
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
    echo "== $loss % loss on each student's input"
    drop_on_students "$loss"
    expect=()
    for ((i = 1; i <= receivers; i++)); do
        rm -f "$work/copy$i"
        start_and_wait "$work/receiver$i.log" "waiting on" ip netns exec "$name-r$i" "$cast" receive \
            "$work/copy$i" --group "$group" --from "$(student "$i")" --id "$i" --seconds $((120 * scale))
        expect+=(--expect "$i")
    done
    check "the sender says every receiver has it" exit_code 0 ip netns exec "$name-s" "$cast" send \
        "$work/lesson.bin" --group "$group" --from "$teacher" "${expect[@]}" --seconds $((120 * scale))
    cat "$work/out"
    for ((i = 1; i <= receivers; i++)); do
        check "receiver $i ends whole" ended_ok "${started[$((i - 1))]}"
        check "receiver $i's copy has the file's hash" same_hash "$work/copy$i"
    done
    started=()
done
finish
