#!/usr/bin/env bash
# A keyed classroom against a hostile machine of its own: the teacher's host
# and a student's run the kesnet tool under Wine with the classroom's keys (the
# student with the teacher's public key and --teacher-only); a second student's
# host runs hostile_peer.py, which is not built with the library. It records
# the classroom's datagrams on the switch while the teacher sends a lesson and
# pings, then forges, replays, flips a bit in each field, cuts short, poses as
# the teacher with a key of its own, spoofs recorded echoes to the teacher while
# it pings and calls the roll, and opens 62 stream connections. Nothing of it
# may reach a callback, acknowledge a send, mark a machine present or take more
# than the places one address has; every datagram of it is counted as refused;
# the honest traffic around it arrives whole.
#   auth_hostile_test.sh ARCH PATH/TO/kesnet.exe
set -euo pipefail

arch=$1
tool=$2
here=$(cd "$(dirname "$0")" && pwd)
hostile="/usr/bin/python3 $here/hostile_peer.py"

source "$here/../support/classroom.sh"
classroom_can_run
if ! /usr/bin/python3 -c "import cryptography" 2>/dev/null; then
    echo "FAILED: Debian's python3-cryptography is missing (scripts/setup.sh installs it)"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-hostile.XXXXXX")
source "$here/../support/script_support.sh"
name=kha-$$
cleanup() {
    stop_started
    classroom_wine_stop
    classroom_down "$name" 2
    rm -rf "$work"
}
trap cleanup EXIT
classroom_up "$name" 2
classroom_wine "$arch" "$tool"

teacher=$classroom_teacher
student=$(student_addr 1)
ghost=$(student_addr 2)  # the hostile host: it runs no listener of the library
port=47300
stream_port=47310
silent_port=47301  # nothing listens there
keys=$work/keys
on_teacher() { on_classroom_host "$name-s" "$@" --key "$(windows_path "$keys/class.key")" --key "$(windows_path "$keys/teacher.key")"; }
on_student() { on_classroom_host "$name-r1" "$@" --key "$(windows_path "$keys/class.key")" --key "$(windows_path "$keys/teacher.pub")"; }
in_hostile() { ip netns exec "$name-r2" $hostile "$@"; }
# The refusals a tool's error output reports, summed.
refused() { sed -n 's/^kesnet: refused: //p' "$1" | grep -o '[0-9]\+' | awk '{ s += $1 } END { print s + 0 }'; }

check "kesnet key new makes the classroom's keys" exit_code 0 on_classroom_host "$name-s" key new "$(windows_path "$keys")"

echo "== the teacher gives a lesson and pings; the switch is recorded"
# The student's listener ends after the teacher's 4 datagrams (two lessons,
# two pings): one of the hostile host's would end it early, and show.
run_seconds=$((300 * scale))
start_and_wait "$work/student.log" "listening on" \
    on_student listen "$port" --from "$student" --echo --teacher-only --count 4 --seconds "$run_seconds"
pid_student=${started[-1]}
start_and_wait "$work/tcp.log" "listening on" \
    on_classroom_host "$name-r1" tcp-listen "$stream_port" --from "$student" --backlog 62 --count 1 --seconds "$run_seconds" \
    --key "$(windows_path "$keys/class.key")"
pid_tcp=${started[-1]}
start_and_wait "$work/recorder.log" "recording" \
    ip netns exec "$name-s" $hostile record --iface br0 --out "$work/records.jsonl" --stop "$work/stop-recording"
pid_recorder=${started[-1]}
check "the teacher's first lesson goes out" exit_code 0 on_teacher send "$student:$port" "lesson one"
check "the teacher's ping is acknowledged" exit_code 0 on_teacher ping "$student:$port" --count 2 --timeout $((3000 * scale))
check "both pings were" out_has "2 sent, 2 acknowledged"
touch "$work/stop-recording"
check "the recorder ended" ended_ok "$pid_recorder"

echo "== the hostile host attacks the student's listener"
check "it sends its forgeries, recordings and changed copies" exit_code 0 \
    in_hostile attack --records "$work/records.jsonl" --student "$student" --port "$port" --class-key "$keys/class.key"
cp "$work/out" "$work/attack.json"
cat "$work/attack.json"

echo "== it spoofs recorded echoes while the teacher pings a port where no one listens, and calls the roll"
printf 'pc01  %s  52:54:00:00:00:01\npc02  %s  52:54:00:00:00:02\n' "$student" "$ghost" >"$work/class.txt"
start_and_wait "$work/spoof.log" "spoofing" \
    in_hostile spoof-echoes --records "$work/records.jsonl" --teacher "$teacher" --as "$student,$ghost" \
    --seconds $((20 * scale))
pid_spoof=${started[-1]}
check "no spoofed echo acknowledges a ping: ping fails" exit_code 1 \
    on_teacher ping "$student:$silent_port" --count 3 --timeout 1500
check "all 3 went unanswered" out_has "3 sent, 0 acknowledged"
cp "$work/out" "$work/ping.log"
check "no spoofed echo marks a machine present: the roll call fails" exit_code 1 \
    on_teacher rollcall "$(windows_path "$work/class.txt")" --port "$silent_port" --timeout 2000 --json
check "both machines are absent" out_has '"absent": 2'
check "  and none present" out_has '"present": 0'
cp "$work/out" "$work/rollcall.log"
check "the spoofing ended" ended_ok "$pid_spoof"
check "the pinging teacher counted refused echoes" test "$(refused "$work/ping.log")" -gt 0
check "so did the roll call" test "$(refused "$work/rollcall.log")" -gt 0

echo "== it opens 62 stream connections; the teacher streams a lesson"
check "the hostile host's connections" exit_code 0 \
    in_hostile streams --student "$student" --port "$stream_port" --count 62 --hold 1
cat "$work/out"
check "the listener kept 8 of them, and turned the other 54 away" out_has '{"kept": 8, "turned away": 54}'
check "the teacher's keyed stream gets through" exit_code 0 \
    on_classroom_host "$name-s" tcp-send "$student:$stream_port" "stream lesson" --key "$(windows_path "$keys/class.key")"
check "the teacher's second lesson goes out" exit_code 0 on_teacher send "$student:$port" "lesson two"

echo "== what the student's programs took and refused"
check "the student's listener ran to its end" ended_ok "$pid_student"
check "the stream listener ran to its end" ended_ok "$pid_tcp"
cat "$work/student.log"
sent=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["sent"])' "$work/attack.json")
check "the listener took 4 datagrams: two lessons and two pings, all from the teacher" \
    test "$(grep -c '^\[[0-9]*\] from ' "$work/student.log")" -eq 4 -a \
    "$(grep -c "^\[[0-9]*\] from $teacher:" "$work/student.log")" -eq 4
check "the lessons are whole" grep -q "lesson one" "$work/student.log"
check "  and the second" grep -q "lesson two" "$work/student.log"
check "nothing of the hostile host's reached it" test "$(grep -c "from $ghost" "$work/student.log")" -eq 0
check "it counted every one of the $sent datagrams it refused" test "$(refused "$work/student.log")" -eq "$sent"
grep "refused" "$work/student.log" || true
cat "$work/tcp.log" | tail -5
check "the stream listener read the teacher's 13 bytes and none of the junk" \
    grep -q "13 bytes from 1 clients" "$work/tcp.log"
check "it counted the 54 connections turned away and the 8 unproven" \
    grep -q "refused: 8 unknown sender, 54 too many connections from one address" "$work/tcp.log"
finish
