#!/usr/bin/env bash
# The kesnet tool end to end, through the DLL:
#   - ping against `listen --echo` (acknowledged) and a listener without echo;
#   - listen and send on two interfaces at once;
#   - inside the private network, one datagram (unicast, then multicast) sent
#     through both links arrives at the peer host once through each link;
#   - tcp-send's progress on a terminal, and none in a pipe;
#   - the argument limits of the new options.
#   kesnet_tool_test.sh PATH/TO/kesnet.exe
set -euo pipefail

tool=$1
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run.sh
work=$(mktemp -d)
source "$here/../support/script_support.sh"
trap 'stop_started; rm -rf "$work"' EXIT

kesnet() { "$wine_run" "$tool" "$@"; }

echo "== ping against a listener that echoes"
port=$(free_port)
start_and_wait "$work/echoing" "listening on" kesnet listen "$port" --echo --from 127.0.0.1 --count 3
check "ping exits 0" exit_code 0 kesnet ping "127.0.0.1:$port" --count 3 --timeout $((2000 * scale)) --size 100
check "every send acknowledged" out_has "3 sent, 3 acknowledged, 0% loss"
check "one line per send" out_has "\[3\] acknowledged in"
check "round trip summary" out_has "round trip min/median/max = "
check "the listener ended after its 3 datagrams" wait_last
check "the listener got 3 datagrams of 100 bytes" grep -q "\[3\] from 127.0.0.1:[0-9]*, 100 bytes" "$work/echoing"

echo "== ping against a listener that does not echo"
port=$(free_port)
start_and_wait "$work/silent" "listening on" kesnet listen "$port" --from 127.0.0.1 --count 2
check "ping exits 1" exit_code 1 kesnet ping "127.0.0.1:$port" --count 2 --timeout 300
check "no send acknowledged" out_has "2 sent, 0 acknowledged, 100% loss"
check "each send reported" out_has "\[2\] not acknowledged: no echo within 300 ms"
check "the listener still got both" wait_last
check "the listener printed both" grep -q "2 datagrams received" "$work/silent"

echo "== listen and send on two interfaces"
port=$(free_port)
start_and_wait "$work/two" "listening on" kesnet listen "$port" --from 127.0.0.1 --from 127.0.0.2 --count 2
check "listening on both, one thread each" grep -q "port $port of 127.0.0.1, 127.0.0.2 (one receive thread each)" "$work/two"
check "send through both" exit_code 0 kesnet send "127.0.0.1:$port" "twice" --from 127.0.0.1 --from 127.0.0.2
check "send names both interfaces" out_has "through each of 127.0.0.1, 127.0.0.2"
check "the listener ended after 2 datagrams" wait_last
check "one copy per socket arrived" grep -q "2 datagrams received" "$work/two"

echo "== tcp-send shows how far a file has gone on a terminal, and only there"
head -c 3000000 /dev/urandom >"$work/lesson.bin"
# The receiver takes a port of the system's choice and keeps it from the
# start, and counts the two files (a test that probes ports may connect too).
start_and_wait "$work/tcp" "ready" python3 -c 'import socket
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(2)
print("ready", server.getsockname()[1], flush=True)
files = 0
while files < 2:
    client, _ = server.accept()
    received = sum(iter(lambda: len(client.recv(65536)), 0))
    if received:
        files += 1
        print("received", received, "bytes", flush=True)'
port=$(sed -n 's/^ready //p' "$work/tcp")
# script(1) gives the tool a terminal of its own; Wine makes it the console,
# which it draws with cursor movements: read them as the terminal would.
check "tcp-send on a terminal exits 0" exit_code 0 \
    script -q -e -c "$(printf '%q ' "$wine_run" "$tool" tcp-send "127.0.0.1:$port" "@$work/lesson.bin")" /dev/null
python3 -c 'import re, sys
text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
text = re.sub(r"\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), text)
text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)
print(text.replace("\r", "\n"))' "$work/out" >"$work/terminal"
check "the terminal showed the bytes, the percent and the rate" \
    grep -Eq "2.9 MiB of 2.9 MiB \(100%\), [0-9.]+ (bytes|KiB|MiB|GiB)/s" "$work/terminal"
check "then the closing line" grep -q "sent 3000000 bytes to 127.0.0.1:$port in 46 blocks" "$work/terminal"
check "tcp-send into a pipe exits 0" exit_code 0 kesnet tcp-send "127.0.0.1:$port" "@$work/lesson.bin"
check "the pipe got the closing line and nothing else" \
    test "$(tr -d '\r' <"$work/out")" = "sent 3000000 bytes to 127.0.0.1:$port in 46 blocks"
check "the receiver got both files whole" wait_last
check "  every byte each time" test "$(grep -c "received 3000000 bytes" "$work/tcp")" -eq 2

echo "== argument limits"
check "ping takes one --from" exit_code 2 kesnet ping 127.0.0.1:9 --from 127.0.0.1 --from 127.0.0.2
check "--echo takes one --from" exit_code 2 kesnet listen 9 --echo --from 127.0.0.1 --from 127.0.0.2
nine=()
for i in 1 2 3 4 5 6 7 8 9; do nine+=(--from "127.0.0.$i"); done
check "send takes eight --from at most" exit_code 2 kesnet send 127.0.0.1:9 x "${nine[@]}"
check "listen takes eight --from at most" exit_code 2 kesnet listen 9 "${nine[@]}"

if [ -n "${KESNET_NETNS_PEER:-}" ]; then
    for kind in unicast multicast; do
        echo "== one $kind datagram through both links arrives at the peer through each"
        port=$(free_port)
        if [ "$kind" = unicast ]; then
            dest=10.77.1.2 receiver_args=("$port" 2) send_args=()
        else
            dest=239.77.9.1 receiver_args=("$port" 2 "$dest") send_args=(--multicast)
        fi
        start_and_wait "$work/peer" "ready" ip netns exec "$KESNET_NETNS_PEER" \
            python3 "$here/peer_receiver.py" "${receiver_args[@]}"
        check "send through both links" exit_code 0 kesnet send "$dest:$port" "$kind" "${send_args[@]}" \
            --from 10.77.1.1 --from 10.77.2.1
        check "the peer got its copies" wait_last
        check "one copy came from 10.77.1.1 over link 0" grep -qx "10.77.1.1 veth0 $kind" "$work/peer"
        check "one copy came from 10.77.2.1 over link 1" grep -qx "10.77.2.1 veth1 $kind" "$work/peer"
    done
else
    echo "SKIPPED the peer cases: they need the private network namespace of the test command (run as root)"
fi

finish
