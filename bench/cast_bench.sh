#!/usr/bin/env bash
# How long a classroom waits for a file: one teacher gives a 64 MiB file of
# random bytes to 1, 8 and 30 students at once, with no loss and with 2 % of
# the teacher's packets lost on every student's input, and each row measures
# the time from the sender's start until EVERY student holds the whole file
# (each copy's sha256 is checked; a row that runs out of time, or ends with a
# copy that is not whole, says how many were), for
#   kesnet   kesnet-cast send (or $KESNET_CAST_SENDER) to kesnet-cast receive;
#            the sender's share of repair packets is reported too
#   tcp      the library's TCP sender, `kesnet tcp-send` under Wine, one
#            process per student, all at once, to plain TCP sinks
#   udpcast  udp-sender to udp-receiver (Debian's udpcast)
#   uftp     uftp to uftpd (Debian's uftp)
# all on the same network in the same run. The network: one Linux bridge
# (multicast snooping off) in a namespace of its own, the teacher and every
# student each in a namespace of its own with one link to it; the teacher's
# side of its link shaped to 100 Mbit/s (tbf: this kernel has no netem), the
# loss made by nftables on each student's input, for every packet from the
# teacher (UDP and TCP alike). Students beyond a row's count are unplugged.
#
#   bench/cast_bench.sh --cast PATH/kesnet-cast --kesnet PATH/kesnet.exe [--out DIR] [--quick]
#
# Normally run by `scripts/bench.sh --only cast` (or with every benchmark),
# which builds both programs first. Needs root; says SKIPPED and exits 77
# otherwise. Writes DIR/cast.md (DIR defaults to build/bench-report) and the
# figures in DIR/cast-results.tsv; DIR/cast-logs/ keeps the kesnet sender's
# output of every row, and every program's of a transfer that did not end
# well. Takes about a quarter of an hour, most of it TCP to 30 students (30 x
# 64 MiB at 100 Mbit/s is 160 s) and the rows that run out of time. --quick
# sends 4 MiB instead: a check that it works.
#   KESNET_CAST_SENDER  the sender command, given "FILE --group GROUP:PORT
#                       --from LOCAL --seconds S --expect ID..." and expected to
#                       print the lines of `kesnet-cast send`; it runs in the
#                       teacher's namespace, where the Wine server of this
#                       run's prefix runs (KESNET_WINEPREFIX), so that a
#                       Windows sender can run through scripts/wine-run.sh
#   KESNET_CAST_ROWS     the rows, default "1:0 1:2 8:0 8:2 30:0 30:2"
#                        (students:loss %)
#   KESNET_CAST_METHODS  the methods, default "kesnet udpcast uftp tcp"
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/common.sh"

usage() {
    sed -n '21s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

cast=""
kesnet_exe=""
out=$KESNET_BUILD_ROOT/bench-report
file_mib=64
while [ $# -gt 0 ]; do
    case "$1" in
        --cast) cast=$2; shift 2 ;;
        --kesnet) kesnet_exe=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --quick) file_mib=4; shift ;;
        *) usage ;;
    esac
done
[ -x "$cast" ] && [ -f "$kesnet_exe" ] || usage

if [ "$(id -u)" -ne 0 ]; then
    echo "bench: cast: SKIPPED: needs root, for network namespaces of its own"
    exit 77
fi
for tool in nft tc udp-sender udp-receiver uftp uftpd python3 ss; do
    if ! command -v "$tool" >/dev/null; then
        echo "bench: cast: $tool is missing (scripts/setup.sh installs it)" >&2
        exit 1
    fi
done

rows=${KESNET_CAST_ROWS:-"1:0 1:2 8:0 8:2 30:0 30:2"}
methods=${KESNET_CAST_METHODS:-"kesnet udpcast uftp tcp"}
read -ra cast_sender <<<"${KESNET_CAST_SENDER:-$cast send}"
limit=180      # seconds for each multicast transfer
tcp_limit=600  # TCP to 30 students needs 160 s even without loss
most=30        # students on the bridge

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-cast-bench.XXXXXX")
source "$here/../tests/support/script_support.sh"
results=$work/results.tsv

# Names and addresses of this run only.
net=kcb$$
switch=$net-sw
teacher=$net-t
teacher_ip=10.79.0.1
student_ns() { echo "$net-s$1"; }
student_ip() { echo "10.79.0.$((10 + $1))"; }
student_uid() { printf '0x0a4f00%02x' $((10 + $1)); }  # uftpd's id: its address
copy_of() { echo "$work/s$1/copy"; }
cast_group=239.79.0.1:47901
udpcast_portbase=47920
udpcast_data=239.79.0.2
uftp_port=47930
uftp_announce=239.79.0.3
uftp_data=239.79.0.4
tcp_port=47940

senders=()  # the TCP rows' senders, while they run
cleanup() {
    stop_started
    local pid
    for pid in "${senders[@]}"; do kill "$pid" 2>/dev/null || true; done
    stop_own_wine
    local i
    ip netns del "$teacher" 2>/dev/null || true
    for ((i = 1; i <= most; i++)); do ip netns del "$(student_ns "$i")" 2>/dev/null || true; done
    ip netns del "$switch" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# For the shell's own use: what runs in the background or under timeout is
# started with ip netns exec itself, which becomes the program (one pid).
in_teacher() { ip netns exec "$teacher" "$@"; }
in_student() { local ns; ns=$(student_ns "$1"); shift; ip netns exec "$ns" "$@"; }

# plug_in NS PORT ADDRESS: a host NS with one link, eth0 at ADDRESS, to the
# bridge's port PORT.
plug_in() {
    local ns=$1 port=$2 address=$3
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip -n "$switch" link add "$port" type veth peer name eth0 netns "$ns"
    ip -n "$switch" link set "$port" master br0 up
    ip -n "$ns" addr add "$address/24" brd + dev eth0
    ip -n "$ns" link set eth0 up multicast on
    ip -n "$ns" route add 224.0.0.0/4 dev eth0
}

make_classroom() {
    ip netns add "$switch"
    ip -n "$switch" link set lo up
    ip -n "$switch" link add br0 type bridge
    ip -n "$switch" link set br0 type bridge mcast_snooping 0
    ip -n "$switch" link set br0 up
    plug_in "$teacher" teacher "$teacher_ip"
    in_teacher tc qdisc add dev eth0 root tbf rate 100mbit burst 32kbit latency 50ms
    local i
    for ((i = 1; i <= most; i++)); do
        plug_in "$(student_ns "$i")" "s$i" "$(student_ip "$i")"
        mkdir -p "$work/s$i"
    done
}

# seat_students N: the first N students' links up, the others' down, so that
# the bridge copies the teacher's traffic to those N only.
seat_students() {
    local i state
    for ((i = 1; i <= most; i++)); do
        state=down
        [ "$i" -gt "$1" ] || state=up
        ip -n "$switch" link set "s$i" "$state"
    done
    for ((i = 1; i <= $1; i++)); do
        wait_until "student $i's link is up" link_up "$i"
    done
}

link_up() { in_student "$1" ip -br link show eth0 | grep -qw UP; }

# lose_on_students PERCENT: each student's input drops that share of what the
# teacher sends, at random, on its own.
lose_on_students() {
    local i
    for ((i = 1; i <= most; i++)); do
        in_student "$i" nft delete table inet loss 2>/dev/null || true
        [ "$1" -gt 0 ] || continue
        in_student "$i" nft add table inet loss
        in_student "$i" nft add chain inet loss in '{ type filter hook input priority 0; }'
        in_student "$i" nft add rule inet loss in ip saddr "$teacher_ip" numgen random mod 100 lt "$1" drop
    done
}

# wait_until WHAT COMMAND...: bounded wait for COMMAND to succeed.
wait_until() {
    local what=$1 tries=$((300 * scale))
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.1
    done
    echo "bench: cast: gave up waiting until $what" >&2
    return 1
}

# listening STUDENT udp|tcp PORT: a socket of the student's is bound to PORT.
listening() {
    local flag=-u
    [ "$2" = udp ] || flag=-t
    [ -n "$(in_student "$1" ss -Hln "$flag" "sport = :$3")" ]
}

# The Wine programs of this run use a prefix of their own whose server runs in
# the teacher's namespace: Wine's sockets are made by its server, in the
# server's namespace.
serve_wine_in_teacher() {
    own_wine_prefix "$(dirname "$(dirname "$kesnet_exe")")/wineprefix"
    export KESNET_WINEPREFIX=$own_prefix
    in_teacher "$KESNET_ROOT/scripts/wine-run.sh" --serve "$arch"
}

arch_of_build() { basename "$(dirname "$(dirname "$kesnet_exe")")"; }

# timed_run LOG LIMIT COMMAND...: runs COMMAND, output to LOG, ended after
# LIMIT seconds. Sets took (seconds) and status (its exit status; 124: the
# limit ended it).
timed_run() {
    local log=$1 seconds=$2 t0=$EPOCHREALTIME
    shift 2
    status=0
    timeout -k 5 "$seconds" "$@" >"$log" 2>&1 || status=$?
    took=$(elapsed_since "$t0")
}

elapsed_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }'; }

# end_students GRACE: gives the started students GRACE seconds to end on
# their own, then stops them.
end_students() {
    local pid deadline=$((SECONDS + $1))
    for pid in "${started[@]}"; do
        while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
    done
    stop_started
    for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
    started=()
}

# whole_copies N: how many of the first N students' copies have the file's hash.
whole_copies() {
    local i
    for ((i = 1; i <= $1; i++)); do [ ! -f "$(copy_of "$i")" ] || echo "$(copy_of "$i")"; done |
        xargs -r -P 2 -n 4 sha256sum | awk -v want="$want" '$1 == want { n++ } END { print n + 0 }'
}

clear_copies() { rm -rf "$work"/s*/*; }

# record METHOD N LOSS NOTE: one row of results from took, status and the
# copies; a transfer is done when its sender ended well and every copy is
# whole.
record() {
    local method=$1 n=$2 loss=$3 note=$4 whole outcome=done
    whole=$(whole_copies "$n")
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        outcome=timeout
    elif [ "$status" -ne 0 ] || [ "$whole" -ne "$n" ]; then
        outcome=failed
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$method" "$n" "$loss" "$outcome" "$took" "$whole" "$n" \
        "${note:--}" >>"$results"
    echo "bench: cast: $method, $n students, $loss % loss: $outcome in $took s, $whole of $n whole${note:+ ($note)}"
    [ "$outcome" = done ] || keep_logs "$method-$n-$loss"
    rm -f "$work"/*.log
    clear_copies
}

# keep_logs NAME: the output of every program of a transfer that did not end
# well, kept in the report's folder.
keep_logs() {
    mkdir -p "$out/cast-logs/$1"
    cp "$work"/*.log "$out/cast-logs/$1/"
    echo "bench: cast: its programs' output is in $out/cast-logs/$1"
}

# The methods. Each starts its students, waits until they listen, times the
# sender and records the row.

run_kesnet() {
    local n=$1 loss=$2 i expect=()
    for ((i = 1; i <= n; i++)); do
        start_and_wait "$work/kesnet-s$i.log" "waiting on" ip netns exec "$(student_ns "$i")" "$cast" receive "$(copy_of "$i")" \
            --group "$cast_group" --from "$(student_ip "$i")" --id "$i" --seconds $((limit + 30))
        expect+=(--expect "$i")
    done
    timed_run "$work/kesnet-send.log" "$limit" ip netns exec "$teacher" "${cast_sender[@]}" "$work/lesson.bin" \
        --group "$cast_group" --from "$teacher_ip" --seconds "$limit" "${expect[@]}"
    end_students 5
    local repair given_up
    repair=$(sed -n 's/.*repair packets (\([0-9.]*\) %).*/\1/p' "$work/kesnet-send.log")
    [ -n "$repair" ] || { echo "bench: cast: the sender printed no repair share:" >&2; cat "$work/kesnet-send.log" >&2; }
    # Students that the sender's table says it gave up on (dropped or absent).
    given_up=$(grep -cE '^[0-9]+ +(dropped|absent) ' "$work/kesnet-send.log" || true)
    [ "$given_up" -gt 0 ] || given_up=""
    # Its table, whatever the outcome.
    mkdir -p "$out/cast-logs/kesnet-$n-$loss"
    cp "$work/kesnet-send.log" "$out/cast-logs/kesnet-$n-$loss/"
    record kesnet "$n" "$loss" "repair ${repair:-?} %${given_up:+; the sender gave up on $given_up}"
}

run_udpcast() {
    local n=$1 loss=$2 i
    for ((i = 1; i <= n; i++)); do
        start_and_wait "$work/udpcast-s$i.log" "UDP receiver for" ip netns exec "$(student_ns "$i")" udp-receiver \
            --file "$(copy_of "$i")" --interface eth0 --portbase "$udpcast_portbase" --nokbd
    done
    timed_run "$work/udpcast-send.log" "$limit" ip netns exec "$teacher" udp-sender --file "$work/lesson.bin" \
        --interface eth0 --portbase "$udpcast_portbase" --mcast-data-address "$udpcast_data" \
        --min-receivers "$n" --nokbd
    end_students 5
    record udpcast "$n" "$loss" ""
}

run_uftp() {
    local n=$1 loss=$2 i ids=()
    for ((i = 1; i <= n; i++)); do
        start_and_wait "$work/uftp-s$i.log" "Loaded" ip netns exec "$(student_ns "$i")" uftpd -d -q -I eth0 -p "$uftp_port" \
            -M "$uftp_announce" -U "$(student_uid "$i")" -D "$work/s$i"
        wait_until "uftpd $i listens" listening "$i" udp "$uftp_port"
        ids+=("$(student_uid "$i")")
    done
    timed_run "$work/uftp-send.log" "$limit" ip netns exec "$teacher" uftp -I eth0 -p "$uftp_port" -M "$uftp_announce" \
        -P "$uftp_data" -R 100000 -H "$(IFS=,; echo "${ids[*]}")" -D copy "$work/lesson.bin"
    end_students 0
    record uftp "$n" "$loss" ""
}

run_tcp() {
    local n=$1 loss=$2 i t0 pid
    for ((i = 1; i <= n; i++)); do
        start_and_wait "$work/tcp-s$i.log" "listening" ip netns exec "$(student_ns "$i")" python3 "$here/tcp_sink.py" \
            "$(student_ip "$i")" "$tcp_port" "$(copy_of "$i")"
    done
    t0=$EPOCHREALTIME
    for ((i = 1; i <= n; i++)); do
        timeout -k 5 "$tcp_limit" ip netns exec "$teacher" "$KESNET_ROOT/scripts/wine-run.sh" "$kesnet_exe" \
            tcp-send "$(student_ip "$i"):$tcp_port" "@$work/lesson.bin" --from "$teacher_ip" \
            >"$work/tcp-send$i.log" 2>&1 &
        senders+=($!)
    done
    status=0
    for pid in "${senders[@]}"; do
        local code=0
        wait "$pid" || code=$?
        [ "$status" -ne 0 ] || status=$code
    done
    senders=()
    end_students 10
    took=$(elapsed_since "$t0")
    record tcp "$n" "$loss" ""
}

make_file() {
    head -c $((file_mib << 20)) /dev/urandom >"$work/lesson.bin"
    want=$(sha256sum <"$work/lesson.bin" | cut -d' ' -f1)
}

arch=$(arch_of_build)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rm -rf "$out/cast-logs"
echo "bench: cast: a $file_mib MiB file to $most students' namespaces on one bridge ($net-*)"
mkdir -p "$out"
make_classroom
make_file
if [[ " $methods " == *" tcp "* ]] || [ -n "${KESNET_CAST_SENDER:-}" ]; then
    serve_wine_in_teacher
fi
for row in $rows; do
    n=${row%%:*}
    loss=${row#*:}
    seat_students "$n"
    lose_on_students "$loss"
    for method in $methods; do
        "run_$method" "$n" "$loss"
    done
done

cp "$results" "$out/cast-results.tsv"
python3 "$here/cast_report.py" "$out/cast-results.tsv" "$out" --file-mib "$file_mib" --arch "$arch" \
    --sender "${cast_sender[*]}" --limit "$limit" --tcp-limit "$tcp_limit" --load-before "$load_before"
echo "bench: cast: report in $out/cast.md"
