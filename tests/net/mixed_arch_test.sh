#!/usr/bin/env bash
# A 64-bit and a 32-bit program of the library talk to each other across the
# private network, each on its own host: the 64-bit kesnet tool on this host
# (10.77.1.1), the 32-bit one on the second host (10.77.1.2). Both ways:
#   - datagrams to a listener that answers with "Echo", sent with acknowledged
#     sends (ping) and a plain one (send);
#   - a TCP stream to a stream listener;
#   - a file cast by multicast to a receiver into a folder;
# then all of it again with the same class and teacher key files on both
# hosts, so that each DLL opens what the other sealed.
# The wire carries the same bytes whichever DLL made them.
#   mixed_arch_test.sh PATH/TO/64-bit/kesnet.exe PATH/TO/32-bit/kesnet.exe
set -euo pipefail

tool64=$1
tool32=$2
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run.sh

if [ -z "${KESNET_NETNS_PEER:-}" ]; then
    echo "SKIPPED: needs the private network namespace of the test command (run as root), for the second host"
    exit 77
fi
if [ "${KESNET_WIN32_RUNS:-yes}" != yes ]; then
    echo "SKIPPED: the 32-bit program cannot run here: ${KESNET_WIN32_WHY:-32-bit programs do not run}"
    exit 77
fi
if [ ! -f "$tool32" ]; then
    echo "FAILED: no 32-bit tool at $tool32 (the 32-bit build is made before the 64-bit one)"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-mixed.XXXXXX")
source "$here/../support/script_support.sh"
# The second host runs Wine from a prefix of its own, a copy of the 32-bit
# build's, whose server is stopped first so that the copy is whole (the
# 32-bit suite has ended).
build_prefix32=$(cd "$(dirname "$tool32")/.." && pwd)/wineprefix
stop_wine_prefix "$build_prefix32"
own_wine_prefix "$build_prefix32"
trap 'stop_started; stop_own_wine; rm -rf "$work"' EXIT

host=10.77.1.1
peer=10.77.1.2
# The key files of the keyed legs, given to every command of both hosts.
key_args=()
on_host() { "$wine_run" "$tool64" "$@" "${key_args[@]}"; }
on_peer() {
    ip netns exec "$KESNET_NETNS_PEER" env KESNET_WINEPREFIX="$own_prefix" "$wine_run" "$tool32" "$@" "${key_args[@]}"
}

# datagrams LISTENER SENDER LISTEN_ADDR SENDER_ADDR: LISTENER echoes, SENDER
# makes three acknowledged sends and one plain one.
datagrams() {
    local listener=$1 sender=$2 to=$3 from=$4 port
    port=$(free_port)
    start_and_wait "$work/listen" "listening on" "$listener" listen "$port" --echo --from "$to" --count 4
    check "acknowledged sends: ping exits 0" exit_code 0 \
        "$sender" ping "$to:$port" --count 3 --timeout $((2000 * scale)) --size 500 --from "$from"
    check "every send was acknowledged by the echo" out_has "3 sent, 3 acknowledged, 0% loss"
    check "a plain datagram went out" exit_code 0 "$sender" send "$to:$port" "across the wire" --from "$from"
    check "the listener ended after its 4 datagrams" wait_last
    check "it got the 3 acknowledged ones, 500 bytes each, from $from" \
        grep -q "\[3\] from $from:[0-9]*, 500 bytes" "$work/listen"
    check "and the plain one, intact" grep -q "across the wire" "$work/listen"
}

# stream LISTENER SENDER LISTEN_ADDR SENDER_ADDR
stream() {
    local listener=$1 sender=$2 to=$3 from=$4 port text="a stream between a 32-bit and a 64-bit DLL"
    port=$(free_port)
    start_and_wait "$work/tcp" "listening on" "$listener" tcp-listen "$port" --from "$to" --count 1
    check "tcp-send connects and sends" exit_code 0 "$sender" tcp-send "$to:$port" "$text" --from "$from"
    check "the stream listener ended after the read" wait_last
    check "it read the ${#text} bytes from $from" grep -q "$from:[0-9]*: ${#text} bytes" "$work/tcp"
}

# cast RECEIVER SENDER RECEIVER_ADDR SENDER_ADDR: SENDER casts a file to the
# group, RECEIVER catches it into a folder; the sender expects the receiver
# by its address (a receiver's id).
cast() {
    local receiver=$1 sender=$2 to=$3 from=$4 port folder id
    port=$(free_port)
    folder=$work/caught-$port
    mkdir "$folder"
    id=$(python3 -c 'import socket, struct, sys; print(struct.unpack("<I", socket.inet_aton(sys.argv[1]))[0])' "$to")
    start_and_wait "$work/catch" "waiting on" "$receiver" catch "Z:${folder//\//\\}" --group "239.77.9.1:$port" \
        --from "$to" --seconds $((120 * scale))
    check "cast exits 0: the receiver has the file" exit_code 0 "$sender" cast "Z:${work//\//\\}\\lesson.bin" \
        --group "239.77.9.1:$port" --from "$from" --expect "$id" --seconds $((120 * scale))
    check "the catch ended" wait_last
    check "its copy, named as the file, has the file's bytes" cmp "$work/lesson.bin" "$folder/lesson.bin"
}

echo "== datagrams: the 32-bit tool on $peer to the 64-bit listener on $host"
datagrams on_host on_peer "$host" "$peer"
echo "== datagrams: the 64-bit tool on $host to the 32-bit listener on $peer"
datagrams on_peer on_host "$peer" "$host"
echo "== a TCP stream from the 32-bit tool to the 64-bit listener"
stream on_host on_peer "$host" "$peer"
echo "== a TCP stream from the 64-bit tool to the 32-bit listener"
stream on_peer on_host "$peer" "$host"
head -c $((3 * 1024 * 1024 + 17)) /dev/urandom >"$work/lesson.bin"
echo "== a multicast transfer from the 32-bit tool to the 64-bit one"
cast on_host on_peer "$host" "$peer"
echo "== a multicast transfer from the 64-bit tool to the 32-bit one"
cast on_peer on_host "$peer" "$host"

# The same with the keys of one classroom: the 64-bit tool makes them.
check "kesnet key new makes a classroom's keys" exit_code 0 on_host key new "Z:${work//\//\\}\\keys"
key_args=(--key "Z:${work//\//\\}\\keys\\class.key" --key "Z:${work//\//\\}\\keys\\teacher.key")
echo "== with the class and teacher keys: datagrams both ways"
datagrams on_host on_peer "$host" "$peer"
datagrams on_peer on_host "$peer" "$host"
echo "== with the keys: a TCP stream both ways"
stream on_host on_peer "$host" "$peer"
stream on_peer on_host "$peer" "$host"
echo "== with the keys: a multicast transfer both ways"
cast on_host on_peer "$host" "$peer"
cast on_peer on_host "$peer" "$host"
finish
