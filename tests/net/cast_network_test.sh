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

source "$here/../support/classroom.sh"
classroom_can_run
work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-cast.XXXXXX")
source "$here/../support/script_support.sh"
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

# in_order COPY MESSAGES: COPY is whole messages of the stream (blocks of
# $message bytes of $work/stream.bin), each once, in order, and as many as
# the receiver said it delivered.
message=24000
in_order() {
    python3 - "$work/stream.bin" "$1" "$message" "$2" <<'PY'
import sys
sent, got, size, said = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read(), int(sys.argv[3]), sys.argv[4]
messages = [sent[i:i + size] for i in range(0, len(sent), size)]
index, last = {m: i for i, m in enumerate(messages)}, -1
chunks = [got[i:i + size] for i in range(0, len(got), size)]
for chunk in chunks:
    if index.get(chunk, -1) <= last:
        sys.exit("a message broken, repeated or out of order after message %d" % last)
    last = index[chunk]
if str(len(chunks)) != said:
    sys.exit("%d messages written, %s said" % (len(chunks), said))
print("%d of %d messages, in order, the first %d" % (len(chunks), len(messages), index[chunks[0]] if chunks else -1))
PY
}

echo "== a live stream at 30 messages a second, 2 % loss on each student's input"
drop_on_students "$name" "$receivers" 2 "$port"
head -c $((message * 150)) /dev/urandom >"$work/stream.bin"
for ((i = 1; i <= receivers; i++)); do
    start_and_wait "$work/stream$i.log" "waiting on" ip netns exec "$name-r$i" "$cast" catch-stream \
        "$work/stream$i.out" --group "$group" --from "$(student_addr "$i")" --seconds $((120 * scale))
done
ip netns exec "$name-s" "$cast" cast-stream "$work/stream.bin" --group "$group" --from "$classroom_teacher" \
    --message "$message" --every 33 2>"$work/sender.log" &
sender=$!
# The sixth joins once the stream is under way: on the first student's host,
# as a second receiver there.
wait_for_line "$work/stream1.out" "" 2>/dev/null || true
start_and_wait "$work/stream-late.log" "waiting on" ip netns exec "$name-r1" "$cast" catch-stream \
    "$work/stream-late.out" --group "$group" --from "$(student_addr 1)" --id 99 --seconds $((120 * scale))
check "the stream's sender ends" ended_ok "$sender"
for ((i = 1; i <= receivers + 1; i++)); do
    log=$work/stream$i.log out=$work/stream$i.out who="student $i"
    if ((i > receivers)); then log=$work/stream-late.log out=$work/stream-late.out who="the late joiner"; fi
    check "$who ends" ended_ok "${started[$((i - 1))]}"
    said=$(sed -n 's/^\([0-9]*\) messages whole and in order, \([0-9]*\) skipped$/\1/p' "$log")
    tail -1 "$log"
    check "$who: every message written is whole, once and in order" in_order "$out" "${said:-none}"
done
first_is_0() {  # first_is_0 LOG OUT: the receiver's first message was the stream's first
    in_order "$2" "$(sed -n 's/^\([0-9]*\) messages whole.*/\1/p' "$1")" | grep -q "the first 0$"
}
for ((i = 1; i <= receivers; i++)); do
    check "student $i, there from the start, began with the first message" first_is_0 "$work/stream$i.log" "$work/stream$i.out"
done
finish
