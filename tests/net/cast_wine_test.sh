#!/usr/bin/env bash
# The DLL's multicast transfer across a classroom of its own, with real loss:
# the kesnet tool under Wine on the teacher's host casts a file to five
# students, each on a host of its own on one bridge: two run the kesnet tool's
# catch under Wine (the DLL's receiver), three the Linux kesnet-cast; then
# the Linux kesnet-cast sends to the same five, so that the DLL and the
# native program each send to the other. Each student's input drops the
# group's datagrams at random (nftables), on its own: 2 % and then 10 % of
# them. The sender, given the class, must say that every student has the
# file, and every copy must have its name and hash.
#   cast_wine_test.sh ARCH PATH/TO/kesnet.exe PATH/TO/kesnet-cast
set -euo pipefail

arch=$1
tool=$2
native=$3
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run.sh

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
build_prefix=$(cd "$(dirname "$tool")/.." && pwd)/wineprefix
prefixes=()
cleanup() {
    stop_started
    local prefix
    for prefix in "${prefixes[@]}"; do stop_wine_prefix "$prefix"; done
    classroom_down "$name" "$students"
    rm -rf "$work"
}
trap cleanup EXIT
classroom_up "$name" "$students"

# Wine's sockets and network service live in the namespace of its server:
# each host runs Wine from a copy of the build's prefix, whose server starts
# there.
KESNET_WINEPREFIX=$build_prefix "$wine_run" --prepare "$arch"
on_host() {  # on_host NAMESPACE COMMAND...: the kesnet tool under Wine on that host
    local ns=$1 prefix=$work/prefix-$1
    shift
    if [ ! -d "$prefix" ]; then
        cp -a "$build_prefix" "$prefix"
        prefixes+=("$prefix")
    fi
    ip netns exec "$ns" env KESNET_WINEPREFIX="$prefix" "$wine_run" "$tool" "$@"
}
windows_path() { echo "Z:${1//\//\\}"; }

port=47210
group=239.78.0.2:$port
for ((i = 1; i <= students; i++)); do
    printf 'pc%02d %s 52:54:00:78:00:%02x\n' "$i" "$(student_addr "$i")" "$i"
done >"$work/class.txt"
head -c $((4 * 1024 * 1024 + 999)) /dev/urandom >"$work/lesson.bin"
want=$(sha256sum <"$work/lesson.bin" | cut -d' ' -f1)
same_hash() { [ -f "$1" ] && [ "$(sha256sum <"$1" | cut -d' ' -f1)" = "$want" ]; }

# The receivers' ids, as kesnet-cast takes them: each address as a 32-bit
# number in network byte order.
expect=()
for ((i = 1; i <= students; i++)); do
    expect+=(--expect "$(python3 -c 'import socket, struct, sys; print(struct.unpack("<I", socket.inet_aton(sys.argv[1]))[0])' "$(student_addr "$i")")")
done

# send_with dll|native: the DLL's sender under Wine, or kesnet-cast's, to the
# five students; both must say every student has the file.
send_with() {
    if [ "$1" = dll ]; then
        on_host "$name-s" cast "$(windows_path "$work/lesson.bin")" --group "$group" --from "$classroom_teacher" \
            --class "$(windows_path "$work/class.txt")" --seconds $((120 * scale))
    else
        ip netns exec "$name-s" "$native" cast "$work/lesson.bin" --group "$group" --from "$classroom_teacher" \
            "${expect[@]}" --seconds $((120 * scale))
    fi
}

for loss in 2 10; do
    drop_on_students "$name" "$students" "$loss" "$port"
    for sender in dll native; do
        echo "== $loss % loss on each student's input; the sender: $( [ "$sender" = dll ] && echo "the DLL's" || echo "kesnet-cast's")"
        for ((i = 1; i <= students; i++)); do
            rm -rf "$work/in$i"
            mkdir "$work/in$i"
            if ((i <= dll_students)); then
                start_and_wait "$work/student$i.log" "waiting on" on_host "$name-r$i" catch \
                    "$(windows_path "$work/in$i")" --group "$group" --from "$(student_addr "$i")" --seconds $((120 * scale))
            else
                start_and_wait "$work/student$i.log" "waiting on" ip netns exec "$name-r$i" "$native" catch \
                    "$work/in$i" --group "$group" --from "$(student_addr "$i")" --seconds $((120 * scale))
            fi
        done
        check "the sender says every student has it" exit_code 0 send_with "$sender"
        cat "$work/out"
        check "its table names all five as having it" [ "$(grep -c ' has it ' "$work/out")" -eq "$students" ]
        for ((i = 1; i <= students; i++)); do
            kind=$( ((i <= dll_students)) && echo "the DLL's" || echo "kesnet-cast's")
            check "student $i ($kind receiver) ends whole" ended_ok "${started[$((i - 1))]}"
            check "student $i's copy has the file's name and hash" same_hash "$work/in$i/lesson.bin"
        done
        started=()
    done
done
finish
