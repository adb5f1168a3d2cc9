#!/usr/bin/env bash
# kesnet rollcall end to end:
#   - on loopback: a class of an echoing `kesnet listen` and a machine that is
#     not there; the table, the JSON and the exit codes; bad class lists;
#   - inside the private network: student machines on the second host, on both
#     links (tests/tool/student_machines.py, at addresses the test adds to the
#     second host): some answer, one starts its listener only when a magic
#     packet for its hardware address arrives, one never answers. Without
#     --wake the sleeper is absent; with --wake it woke up.
#   rollcall_test.sh PATH/TO/kesnet.exe
set -euo pipefail

tool=$1
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run.sh
work=$(mktemp -d)
source "$here/../support/script_support.sh"
added=()
remove_added() {
    local address
    for address in "${added[@]}"; do ip -n "$KESNET_NETNS_PEER" addr del $address 2>/dev/null || true; done
}
trap 'stop_started; remove_added; rm -rf "$work"' EXIT

kesnet() { "$wine_run" "$tool" "$@"; }

# json_status FILE NAME: the status of machine NAME in the JSON in FILE.
json_status() {
    python3 -c 'import json, sys
doc = json.load(open(sys.argv[1]))
print([m["status"] for m in doc["machines"] if m["name"] == sys.argv[2]][0])' "$1" "$2"
}
status_is() { [ "$(json_status "$work/out" "$1")" = "$2" ] || { cat "$work/out" >&2; return 1; }; }
# row NAME ADDRESS STATUS: the table has that row.
row() { out_has "^$1 *$2 *[0-9a-f:]* *$3 "; }

echo "== on loopback: one machine answers, one is not there"
port=$(free_port)
start_and_wait "$work/student" "listening on" kesnet listen "$port" --echo --from 127.0.0.1 --seconds $((60 * scale))
cat >"$work/two.txt" <<'EOF'
# two machines
here     127.0.0.1  52:54:00:00:01:01
missing  127.0.0.9  52:54:00:00:01:09   # nothing listens there
EOF
check "rollcall exits 1: one is absent" exit_code 1 kesnet rollcall "$work/two.txt" --port "$port" --timeout 500
check "the table says who is present" row here 127.0.0.1 present
check "with its round trip" out_has "^here .* present *[0-9.]* ms"
check "and who is absent" row missing 127.0.0.9 absent
check "and counts them" out_has "2 machines: 1 present, 0 woke up, 1 absent"
check "--json exits 1 too" exit_code 1 kesnet rollcall "$work/two.txt" --port "$port" --timeout 500 --json
check "the JSON says present" status_is here present
check "and absent" status_is missing absent
check "and counts them" python3 -c 'import json, sys
doc = json.load(open(sys.argv[1]))
sys.exit(not (doc["present"], doc["woke_up"], doc["absent"]) == (1, 0, 1)
         or doc["machines"][1]["round_trip_ms"] is not None or doc["machines"][0]["round_trip_ms"] <= 0)' "$work/out"
grep -v missing "$work/two.txt" >"$work/one.txt"
check "a class that is all there: exit 0" exit_code 0 kesnet rollcall "$work/one.txt" --port "$port"
check "all present" out_has "1 machine: 1 present, 0 woke up, 0 absent"

echo "== class lists and options it refuses"
# file contents, then the message expected
bad_lists=(
    "pc01 10.0.0.1|expected NAME ADDRESS MAC"
    "pc01 10.0.0.1 52:54:00:00:01:01 extra|expected NAME ADDRESS MAC"
    "pc01 10.0.0.256 52:54:00:00:01:01|not an IPv4 address"
    "pc01 10.0.0.1 52:54:00:00:01|not a hardware address"
    "pc01 255.255.255.255 52:54:00:00:01:01|is not the address of one machine"
    "pc01 239.1.2.3 52:54:00:00:01:01|is not the address of one machine"
    "pc01 10.0.0.1 52:54:00:00:01:01\npc02 10.0.0.1 52:54:00:00:01:02|is on line 1 already"
    "# only a comment\n\n|names no machine"
)
for case in "${bad_lists[@]}"; do
    printf "${case%%|*}\n" >"$work/bad.txt"
    check "refused: ${case%%|*} ($(echo "${case#*|}"))" exit_code 2 kesnet rollcall "$work/bad.txt"
    check "  saying so" out_has "${case#*|}"
done
check "a missing list" exit_code 2 kesnet rollcall "$work/no-such-list.txt"
check "--wait without --wake" exit_code 2 kesnet rollcall "$work/one.txt" --wait 5
check "--timeout 0" exit_code 2 kesnet rollcall "$work/one.txt" --timeout 0
check "the student listener ends" kill "${started[-1]}"

if [ -z "${KESNET_NETNS_PEER:-}" ]; then
    echo "SKIPPED the cases of student machines on the second host and their wake-up: they need the private"
    echo "network namespace of the test command (run as root)"
    finish
    exit $?
fi

echo "== a class on the second host, on both links"
students=(10.77.1.11/24:veth0 10.77.1.12/24:veth0 10.77.2.11/24:veth1 10.77.1.13/24:veth0 10.77.1.14/24:veth0)
for s in "${students[@]}"; do
    ip -n "$KESNET_NETNS_PEER" addr replace "${s%%:*}" dev "${s##*:}"
    added+=("${s%%:*} dev ${s##*:}")
done
cat >"$work/class.txt" <<'EOF'
# NAME   ADDRESS     MAC
alice    10.77.1.11  02:00:5e:00:01:11
bob      10.77.1.12  02:00:5e:00:01:12
carol    10.77.2.11  02:00:5e:00:02:11   # on the second link
dave     10.77.1.13  02:00:5e:00:01:13   # asleep until woken
eve      10.77.1.14  02:00:5e:00:01:14   # away
EOF
grep -v eve "$work/class.txt" >"$work/four.txt"
port=$(free_port)
# start_students: the class's machines on the second host, dave asleep.
start_students() {
    start_and_wait "$work/students" "ready" ip netns exec "$KESNET_NETNS_PEER" python3 "$here/student_machines.py" \
        "$port" --answer 10.77.1.11 --answer 10.77.1.12 --answer 10.77.2.11 --asleep 10.77.1.13 02:00:5e:00:01:13
}
start_students
wait_seconds=$((10 * scale))

check "without --wake: exit 1" exit_code 1 kesnet rollcall "$work/class.txt" --port "$port"
for present in "alice 10.77.1.11" "bob 10.77.1.12" "carol 10.77.2.11"; do
    check "$present is present" row $present present
done
check "dave is absent: asleep" row dave 10.77.1.13 absent
check "eve is absent" row eve 10.77.1.14 absent
check "3 present, 2 absent" out_has "5 machines: 3 present, 0 woke up, 2 absent"
check "nothing woke dave" bash -c "! grep -q woken '$work/students'"

check "with --wake: exit 1, as eve stays away" exit_code 1 kesnet rollcall "$work/class.txt" --port "$port" --wake \
    --wait "$wait_seconds"
check "it says it woke the two silent machines" out_has "woke the 2 silent machines with KesWakeUp: 12 magic packets"
check "dave woke up" row dave 10.77.1.13 "woke up"
check "alice is present" row alice 10.77.1.11 present
check "eve is absent" row eve 10.77.1.14 absent
check "3 present, 1 woke up, 1 absent" out_has "5 machines: 3 present, 1 woke up, 1 absent"
check "dave's machine got its magic packet by directed broadcast" \
    grep -Eq "woken 10.77.1.13 by 10.77.(1.1 to 10.77.1.255 via veth0|2.1 to 10.77.2.255 via veth1)" "$work/students"
check "and was asked again" grep -q "asked 10.77.1.13 by 10.77.1.1" "$work/students"

check "the students stop" kill "${started[-1]}"
start_students
check "--wake --json, all four answer: exit 0" exit_code 0 kesnet rollcall "$work/four.txt" --port "$port" --wake \
    --wait "$wait_seconds" --json
check "alice present" status_is alice present
check "carol present" status_is carol present
check "dave woke up" status_is dave "woke up"
check "the JSON counts them, and the magic packets" python3 -c 'import json, sys
doc = json.load(open(sys.argv[1]))
sys.exit((doc["present"], doc["woke_up"], doc["absent"], doc["wake_packets"]) != (3, 1, 0, 6))' "$work/out"

echo "== a machine that is there but answers late"
check "the students stop" kill "${started[-1]}"
# frank answers 1 s after each question: after the 500 ms time-out, but before
# the roll-call asks again (a round after the wake-up).
ip -n "$KESNET_NETNS_PEER" addr replace 10.77.1.15/24 dev veth0
added+=("10.77.1.15/24 dev veth0")
printf 'alice 10.77.1.11 02:00:5e:00:01:11\nfrank 10.77.1.15 02:00:5e:00:01:15\n' >"$work/late.txt"
start_and_wait "$work/students" "ready" ip netns exec "$KESNET_NETNS_PEER" python3 "$here/student_machines.py" \
    "$port" --answer 10.77.1.11 --late 10.77.1.15 1
check "--wake --json, frank late: exit 0" exit_code 0 kesnet rollcall "$work/late.txt" --port "$port" --timeout 500 \
    --wake --wait "$wait_seconds" --json
check "frank is present, not woken" status_is frank present
check "his round trip is from the first question: at least the second he took" python3 -c 'import json, sys
doc = json.load(open(sys.argv[1]))
sys.exit(not [m for m in doc["machines"] if m["name"] == "frank"][0]["round_trip_ms"] >= 1000)' "$work/out"
check "he was asked once only" test "$(grep -c "asked 10.77.1.15" "$work/students")" = 1
finish
