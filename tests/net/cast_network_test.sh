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
source "$here/../support/classroom.sh"
name=kcast-$$
receivers=5
cleanup() {
    stop_started
    classroom_down "$name" "$receivers"
    rm -rf "$work"
}
trap cleanup EXIT
classroom_up "$name" "$receivers"

head -c $((6 * 1024 * 1024 + 4321)) /dev/urandom >"$work/lesson.bin"
want=$(sha256sum <"$work/lesson.bin" | cut -d' ' -f1)
port=47200
group=239.78.0.1:$port

same_hash() { [ "$(sha256sum <"$1" | cut -d' ' -f1)" = "$want" ]; }

for loss in 2 10; do
    echo "== $loss % loss on each student's input"
    drop_on_students "$name" "$receivers" "$loss" "$port"
    expect=()
    for ((i = 1; i <= receivers; i++)); do
        rm -f "$work/copy$i"
        start_and_wait "$work/receiver$i.log" "waiting on" ip netns exec "$name-r$i" "$cast" catch \
            "$work/copy$i" --group "$group" --from "$(student_addr "$i")" --id "$i" --seconds $((120 * scale))
        expect+=(--expect "$i")
    done
    check "the sender says every receiver has it" exit_code 0 ip netns exec "$name-s" "$cast" cast \
        "$work/lesson.bin" --group "$group" --from "$classroom_teacher" "${expect[@]}" --seconds $((120 * scale))
    cat "$work/out"
    for ((i = 1; i <= receivers; i++)); do
        check "receiver $i ends whole" ended_ok "${started[$((i - 1))]}"
        check "receiver $i's copy has the file's hash" same_hash "$work/copy$i"
    done
    started=()
done
finish
