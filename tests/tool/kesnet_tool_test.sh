#!/usr/bin/env bash
# The kesnet tool end to end, through the DLL:
#   - ping against `listen --echo` (acknowledged) and a listener without echo;
#   - listen and send on two interfaces at once;
#   - inside the private network, one datagram (unicast, then multicast) sent
#     through both links arrives at the peer host once through each link;
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
