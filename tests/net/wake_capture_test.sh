#!/usr/bin/env bash
# kesnet wake through several interfaces (KesWakeUp), as the second host of the
# private network sees it on the wire. A capture on both of its links (tshark,
# inside the private network, filtered on the test's ports) must hold each
# magic packet once per round on the link of the interface it was meant for,
# from that interface, to that link's directed broadcast address (and to
# 255.255.255.255 when asked), with its password, and nothing else; Wireshark's
# Wake-on-LAN dissector must recognise every one of them. The tool must say
# what it sent, where, from which interface.
#   wake_capture_test.sh PATH/TO/kesnet.exe
set -euo pipefail

tool=$1
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run.sh

if [ -z "${KESNET_NETNS_PEER:-}" ]; then
    echo "SKIPPED: needs the private network namespace of the test command (run as root): wake-ups are broadcasts"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-wake-capture.XXXXXX")
source "$here/../support/script_support.sh"
trap 'stop_started; rm -rf "$work"' EXIT
kesnet() { "$wine_run" "$tool" "$@"; }

first=02:00:5e:10:00:01
second=a0:b1:c2:d3:e4:f5
# link: interface on the peer, this host's address there, the directed broadcast address
links=("veth0 10.77.1.1 10.77.1.255" "veth1 10.77.2.1 10.77.2.255")

# expect LINK PORT DESTINATION UDP_LENGTH MAC [PASSWORD]: one line as tshark
# prints it below, for a packet sent through LINK (one of $links).
expect() {
    local link=($1) port=$2 to=$3 length=$4 mac=$5 password=${6:-}
    printf '%s\t%s\t%s\t%s\t%s\tWOL\tMagicPacket for %s (%s)%s\n' "${link[0]}" "${link[1]}" "$to" "$port" "$length" \
        "$mac" "$mac" "${password:+, password $password}"
}

# A class key, and the SecureOn password that goes with it: the wake-up
# carries it as it stands, not sealed (the network card reads the packet).
check "kesnet key new makes a class key" exit_code 0 kesnet key new "Z:${work//\//\\}\\keys"
class_key="Z:${work//\//\\}\\keys\\class.key"
key_password=$(python3 -c 'import hashlib, hmac, sys
key = bytes.fromhex(open(sys.argv[1]).read().split()[-1])
print(":".join("%02x" % b for b in hmac.new(key, b"kesnet wake-on-lan secureon", hashlib.sha256).digest()[:6]))' \
    "$work/keys/class.key")

# What the capture must hold, run by run.
for link in "${links[@]}"; do
    l=($link)
    for round in 1 2; do
        for mac in "$first" "$second"; do
            expect "$link" 9 "${l[2]}" 116 "$mac" 01:02:03:04:05:06
        done
    done
    expect "$link" 7 "${l[2]}" 110 "$second"
done >"$work/expected"
expect "${links[1]}" 7 10.77.2.255 114 "$first" 192.168.1.2 >>"$work/expected"
expect "${links[0]}" 9 10.77.1.255 116 "$first" "$key_password" >>"$work/expected"
expect "${links[1]}" 7 255.255.255.255 114 "$first" 192.168.1.2 >>"$work/expected"
sort -o "$work/expected" "$work/expected"

# The capture ends by itself once it has as many packets as were sent (so
# that none is still on its way when it ends); a packet too many takes the
# place of one expected.
capture=$work/wake.pcapng
start_and_wait "$work/tshark" "Capturing on" ip netns exec "$KESNET_NETNS_PEER" \
    tshark -f "udp and (port 9 or port 7)" -i veth0 -i veth1 -c "$(wc -l <"$work/expected")" -w "$capture" -q

echo "== every interface, two machines, a 6-byte password, two rounds (port 9, the default)"
check "wake exits 0" exit_code 0 kesnet wake "$first" "$second" --all-interfaces --password 01:02:03:04:05:06 \
    --repeat 2
for link in "${links[@]}"; do
    l=($link)
    for mac in "$first" "$second"; do
        check "says it sent $mac to ${l[2]}:9 from ${l[1]}" out_has \
            "sent 2 magic packets (108 bytes, with a password) for $mac to ${l[2]}:9 from ${l[1]} (${l[2]%255}0/24)"
    done
done
check "and how many in all" out_has "8 magic packets through 2 interfaces, in 2 rounds 50 ms apart"

echo "== the second interface only, a 4-byte password, 255.255.255.255 too (port 7)"
check "wake exits 0" exit_code 0 kesnet wake "$first" --from 10.77.2.1 --port 7 --password c0a80102 --limited
check "says it sent to 10.77.2.255:7 from 10.77.2.1" out_has \
    "sent a magic packet (106 bytes, with a password) for $first to 10.77.2.255:7 from 10.77.2.1 (10.77.2.0/24)"
check "and to 255.255.255.255:7 from 10.77.2.1" out_has \
    "sent a magic packet (106 bytes, with a password) for $first to 255.255.255.255:7 from 10.77.2.1"
check "nothing through the first interface" bash -c "! grep -q 'from 10.77.1.1' '$work/out'"

echo "== every interface, no password (port 7)"
check "wake exits 0" exit_code 0 kesnet wake "$second" --all-interfaces --port 7
check "two packets in all" out_has "2 magic packets through 2 interfaces"

echo "== the first interface, the password that goes with the class key"
check "wake exits 0" exit_code 0 kesnet wake "$first" --from 10.77.1.1 --password key --key "$class_key"
check "one packet, with a password" \
    out_has "sent a magic packet (108 bytes, with a password) for $first to 10.77.1.255:9 from 10.77.1.1"

echo "== what the second host captured"
check "the capture got every packet" wait_last
# Port 7 is the echo protocol's: let the dissectors that look at the bytes
# have the first go, as a capture of wake-ups would be read.
tshark -r "$capture" -o udp.try_heuristic_first:TRUE -T fields -e frame.interface_name -e ip.src -e ip.dst \
    -e udp.dstport -e udp.length -e _ws.col.Protocol -e _ws.col.Info 2>/dev/null | sort >"$work/captured"
check "every packet on the link it was meant for, recognised as a wake-up, and nothing else" \
    diff -u "$work/expected" "$work/captured"

finish
