#!/usr/bin/env bash
# The DLL's multicast transfer across a classroom of its own, with real loss:
# the kesnet tool under Wine on the teacher's host casts a file to five
# students, each on a host of its own on one bridge: two run the kesnet tool's
# catch under Wine (the DLL's receiver), three the Linux kesnet-cast; then
# the Linux kesnet-cast sends to the same five, so that the DLL and the
# native program each send to the other. Each student's input drops the
# group's datagrams at random (nftables), on its own: 2 % and then 10 % of
# them. The sender, given the class, must say that every student has the
# file, and every copy must have its name and hash. Then the same both ways,
# with a smaller file, with one classroom's key files (`kesnet key new`) on
# every host: the class key seals every packet, and nothing may be refused;
# and once more with a student of another classroom (a class key of its own)
# among them: it refuses everything, as from an unknown sender, and never has
# the file, while the others do. Keyed, the teacher's casts go attested: every
# student (holding the teacher's public key) says its copy is the teacher's.
# Then a student of the class poses as the teacher (the class key, and a
# teacher's key of its own) to students that take only the teacher's files:
# none takes it, and each counts the attestations it refused. Last, the
# teacher's live stream, from the DLL and from kesnet-cast, to students that
# take only the teacher's messages: each has every message, the teacher's.
#   cast_wine_test.sh ARCH PATH/TO/kesnet.exe PATH/TO/kesnet-cast
set -euo pipefail

arch=$1
tool=$2
native=$3
here=$(cd "$(dirname "$0")" && pwd)

source "$here/../support/classroom.sh"
classroom_can_run
if [ ! -x "$native" ]; then
    echo "FAILED: no Linux kesnet-cast at $native (the test command builds it first: scripts/test.sh)"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-castw.XXXXXX")
source "$here/../support/script_support.sh"
name=kcw-$$
students=5
dll_students=2
cleanup() {
    stop_started
    classroom_wine_stop
    classroom_down "$name" "$students"
    rm -rf "$work"
}
trap cleanup EXIT
classroom_up "$name" "$students"
classroom_wine "$arch" "$tool"

port=47210
group=239.78.0.2:$port
for ((i = 1; i <= students; i++)); do
    printf 'pc%02d %s 52:54:00:78:00:%02x\n' "$i" "$(student_addr "$i")" "$i"
done >"$work/class.txt"
head -c $((4 * 1024 * 1024 + 999)) /dev/urandom >"$work/lesson.bin"
mkdir "$work/small"
head -c $((1024 * 1024 + 999)) /dev/urandom >"$work/small/lesson.bin"
same_hash() { [ -f "$1" ] && [ "$(sha256sum <"$1" | cut -d' ' -f1)" = "$(sha256sum <"$lesson" | cut -d' ' -f1)" ]; }

# The receivers' ids, as kesnet-cast takes them: each address as a 32-bit
# number in network byte order.
receiver_id() {
    python3 -c 'import socket, struct, sys; print(struct.unpack("<I", socket.inet_aton(sys.argv[1]))[0])' "$(student_addr "$1")"
}
expect=()
for ((i = 1; i <= students; i++)); do
    expect+=(--expect "$(receiver_id "$i")")
done

# What a leg sends, and the key files each host's commands get: the
# teacher's, the students', and those of the outsider (student number
# $outsider, 0: none), a student of another classroom. None: no key.
lesson=$work/lesson.bin
teacher_keys=()
student_keys=()
outsider=0
outsider_keys=()
teacher_only=()
# key_args dll|native FILE...: --key for each file, in $keyed, as the DLL's
# tool or kesnet-cast names files.
key_args() {
    local kind=$1 file
    shift
    keyed=()
    for file in "$@"; do
        if [ "$kind" = dll ]; then keyed+=(--key "$(windows_path "$file")"); else keyed+=(--key "$file"); fi
    done
}

# send_with dll|native: the DLL's sender under Wine, or kesnet-cast's, to the
# five students.
send_with() {
    key_args "$1" "${teacher_keys[@]}"
    if [ "$1" = dll ]; then
        on_classroom_host "$name-s" cast "$(windows_path "$lesson")" --group "$group" --from "$classroom_teacher" \
            --class "$(windows_path "$work/class.txt")" --seconds $((120 * scale)) "${keyed[@]}"
    else
        ip netns exec "$name-s" "$native" cast "$lesson" --group "$group" --from "$classroom_teacher" \
            "${expect[@]}" --seconds $((120 * scale)) "${keyed[@]}"
    fi
}

# The outsider never has the file: it gives up after a while, having
# refused every packet it heard, as from an unknown sender.
outsider_seconds=$((20 * scale))
refused_all() {
    grep -Eq '^kesnet(-cast)?: refused: [1-9][0-9]* unknown sender$' "$1" ||
        { echo "no refusals of an unknown sender alone in $1:" >&2; cat "$1" >&2; return 1; }
}
# Keyed, no one of the class refuses anything: the outsider, which never
# hears its own class, sends nothing.
refused_none() { ! grep -q 'refused:' "$1" || { echo "refusals in $1:" >&2; cat "$1" >&2; return 1; }; }

# leg LOSS dll|native: $lesson from that sender to the five students, each
# losing LOSS % of the group's datagrams on its input. The sender must say
# that every student has it, or, with an outsider among them, that every
# student but the outsider has it.
leg() {
    local loss=$1 sender=$2 i kind keys seconds receivers=$students
    drop_on_students "$name" "$students" "$loss" "$port"
    echo "== $loss % loss on each student's input; the sender: $( [ "$sender" = dll ] && echo "the DLL's" || echo "kesnet-cast's")$(
        ((${#teacher_keys[@]})) && echo "; with the class key")$( ((outsider)) && echo "; student $outsider of another class")"
    for ((i = 1; i <= students; i++)); do
        rm -rf "$work/in$i"
        mkdir "$work/in$i"
        kind=$( ((i <= dll_students)) && echo dll || echo native)
        keys=("${student_keys[@]}")
        ((i == outsider)) && keys=("${outsider_keys[@]}")
        key_args "$kind" "${keys[@]}"
        seconds=$((120 * scale))
        ((i == outsider)) && seconds=$outsider_seconds
        if [ "$kind" = dll ]; then
            start_and_wait "$work/student$i.log" "waiting on" on_classroom_host "$name-r$i" catch \
                "$(windows_path "$work/in$i")" --group "$group" --from "$(student_addr "$i")" --seconds "$seconds" "${keyed[@]}"
        else
            start_and_wait "$work/student$i.log" "waiting on" ip netns exec "$name-r$i" "$native" catch \
                "$work/in$i" --group "$group" --from "$(student_addr "$i")" --seconds "$seconds" "${keyed[@]}"
        fi
    done
    if ((outsider)); then
        receivers=$((students - 1))
        check "the sender says not every student has it" exit_code 1 send_with "$sender"
        cat "$work/out"
        check "its table names the outsider as absent" grep -Eq "^$(printf 'pc%02d' "$outsider") .* absent|^$(receiver_id "$outsider") +absent" "$work/out"
    else
        check "the sender says every student has it" exit_code 0 send_with "$sender"
        cat "$work/out"
    fi
    check "its table names all $receivers others as having it" [ "$(grep -c ' has it ' "$work/out")" -eq "$receivers" ]
    ((${#teacher_keys[@]} == 0)) || check "the sender refused nothing" refused_none "$work/out"
    for ((i = 1; i <= students; i++)); do
        kind=$( ((i <= dll_students)) && echo "the DLL's" || echo "kesnet-cast's")
        if ((i == outsider)); then
            check "student $i ($kind receiver, another class) ends without the file" ended_with 1 "${started[$((i - 1))]}"
            check "student $i has no copy" [ ! -e "$work/in$i/lesson.bin" ]
            check "student $i refused every packet as from an unknown sender" refused_all "$work/student$i.log"
            continue
        fi
        check "student $i ($kind receiver) ends whole" ended_ok "${started[$((i - 1))]}"
        check "student $i's copy has the file's name and hash" same_hash "$work/in$i/lesson.bin"
        ((${#student_keys[@]} == 0)) || check "student $i refused nothing" refused_none "$work/student$i.log"
        ((${#student_keys[@]} == 0)) || check "student $i says its copy is the teacher's" \
            grep -q "lesson.bin: [0-9]* bytes, whole, the teacher's" "$work/student$i.log"
    done
    started=()
}

# stream_leg dll|native: the teacher's stream from that sender, 2 % loss.
stream_leg() {
    local sender=$1 i kind messages=60
    drop_on_students "$name" "$students" 2 "$port"
    echo "== the teacher's live stream; the sender: $( [ "$sender" = dll ] && echo "the DLL's" || echo "kesnet-cast's"); the students take only the teacher's"
    head -c $((8192 * messages)) /dev/urandom >"$work/stream.bin"
    for ((i = 1; i <= students; i++)); do
        kind=$( ((i <= dll_students)) && echo dll || echo native)
        key_args "$kind" "${student_keys[@]}"
        if [ "$kind" = dll ]; then
            start_and_wait "$work/stream$i.log" "waiting on" on_classroom_host "$name-r$i" catch-stream \
                "$(windows_path "$work/stream$i.out")" --group "$group" --from "$(student_addr "$i")" \
                --count "$messages" --seconds $((60 * scale)) "${keyed[@]}" --teacher-only
        else
            start_and_wait "$work/stream$i.log" "waiting on" ip netns exec "$name-r$i" "$native" catch-stream \
                "$work/stream$i.out" --group "$group" --from "$(student_addr "$i")" \
                --count "$messages" --seconds $((60 * scale)) "${keyed[@]}" --teacher-only
        fi
    done
    key_args "$sender" "${teacher_keys[@]}"
    if [ "$sender" = dll ]; then
        check "the stream's sender ends" exit_code 0 on_classroom_host "$name-s" cast-stream \
            "$(windows_path "$work/stream.bin")" --group "$group" --from "$classroom_teacher" --message 8192 \
            "${keyed[@]}"
    else
        check "the stream's sender ends" exit_code 0 ip netns exec "$name-s" "$native" cast-stream "$work/stream.bin" \
            --group "$group" --from "$classroom_teacher" --message 8192 "${keyed[@]}"
    fi
    for ((i = 1; i <= students; i++)); do
        kind=$( ((i <= dll_students)) && echo "the DLL's" || echo "kesnet-cast's")
        check "student $i ($kind receiver) ends" ended_ok "${started[$((i - 1))]}"
        check "student $i has every message, the teacher's" \
            grep -q "^$messages messages whole and in order, 0 skipped; $messages of them the teacher's" "$work/stream$i.log"
        check "student $i's messages are the stream" cmp -s "$work/stream.bin" "$work/stream$i.out"
    done
    started=()
}

# poser_leg: a student of the class casts as the teacher, to students that
# take only the teacher's files.
refused_signatures() {
    tr -d '\r' <"$1" | grep -Eq "^kesnet(-cast)?: refused: [1-9][0-9]* no teacher's signature$" ||
        { echo "no refusals of the teacher's signature alone in $1:" >&2; cat "$1" >&2; return 1; }
}
poser_leg() {
    local i kind
    drop_on_students "$name" "$students" 0 "$port"
    echo "== a student with the class key and a teacher's key of its own casts; the students take only the teacher's"
    for ((i = 1; i <= students; i++)); do
        rm -rf "$work/in$i"
        mkdir "$work/in$i"
        kind=$( ((i <= dll_students)) && echo dll || echo native)
        key_args "$kind" "${student_keys[@]}"
        if [ "$kind" = dll ]; then
            start_and_wait "$work/student$i.log" "waiting on" on_classroom_host "$name-r$i" catch \
                "$(windows_path "$work/in$i")" --group "$group" --from "$(student_addr "$i")" --seconds "$outsider_seconds" \
                "${keyed[@]}" --teacher-only
        else
            start_and_wait "$work/student$i.log" "waiting on" ip netns exec "$name-r$i" "$native" catch \
                "$work/in$i" --group "$group" --from "$(student_addr "$i")" --seconds "$outsider_seconds" \
                "${keyed[@]}" --teacher-only
        fi
    done
    key_args native "$work/keys/class.key" "$work/other-keys/teacher.key"
    check "the poser's cast reaches no student" exit_code 1 ip netns exec "$name-s" "$native" cast "$lesson" \
        --group "$group" --from "$classroom_teacher" "${expect[@]}" --seconds $((60 * scale)) "${keyed[@]}"
    cat "$work/out"
    for ((i = 1; i <= students; i++)); do
        kind=$( ((i <= dll_students)) && echo "the DLL's" || echo "kesnet-cast's")
        check "student $i ($kind receiver) ends without the file" ended_with 1 "${started[$((i - 1))]}"
        check "student $i has no copy" [ ! -e "$work/in$i/lesson.bin" ]
        check "student $i refused the poser's attestations" refused_signatures "$work/student$i.log"
    done
    started=()
}

for loss in 2 10; do
    for sender in dll native; do leg "$loss" "$sender"; done
done

# One classroom's keys on every host (the teacher's private key on the
# teacher's, its public key on the students'); the outsider's classroom has
# its own.
check "kesnet key new makes the classroom's keys" exit_code 0 on_classroom_host "$name-s" key new "$(windows_path "$work/keys")"
check "and another classroom's" exit_code 0 on_classroom_host "$name-s" key new "$(windows_path "$work/other-keys")"
lesson=$work/small/lesson.bin
teacher_keys=("$work/keys/class.key" "$work/keys/teacher.key")
student_keys=("$work/keys/class.key" "$work/keys/teacher.pub")
for sender in dll native; do leg 10 "$sender"; done
outsider=$students
outsider_keys=("$work/other-keys/class.key")
leg 10 dll
outsider=0
poser_leg
for sender in dll native; do stream_leg "$sender"; done
finish
