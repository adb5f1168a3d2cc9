#!/usr/bin/env bash
# Wake-ups through every interface leave out the interfaces that are down. In
# a private network of its own (scripts/netns.sh, two links), whose second link
# this host has set down, kesnet wake --all-interfaces (KesGetInterfaces,
# KesWakeUp) goes through the first link only, and a wake-up through the
# second, named, is refused. The tool runs there under Wine from a prefix of
# its own (own_wine_prefix).
#   wake_interfaces_test.sh PATH/TO/kesnet.exe
set -euo pipefail

tool=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$here/../..
wine_run=$root/scripts/wine-run.sh

if [ "$(id -u)" -ne 0 ] || [ -z "${KESNET_NETNS:-}" ]; then
    echo "SKIPPED: needs root and the private network of the test command, to make a network of its own"
    exit 77
fi

net=kesnet-wakeif-$$
work=$(mktemp -d "${TMPDIR:-/tmp}/kesnet-wake-interfaces.XXXXXX")
source "$here/../support/script_support.sh"
trap 'stop_started; stop_own_wine; "$root/scripts/netns.sh" down "$net"; rm -rf "$work"' EXIT

"$root/scripts/netns.sh" up "$net" 2
ip -n "$net-host" link set veth1 down
own_wine_prefix "$(cd "$(dirname "$tool")/.." && pwd)/wineprefix"
on_host() { ip netns exec "$net-host" env KESNET_WINEPREFIX="$own_prefix" "$wine_run" "$tool" "$@"; }

mac=02:00:5e:10:00:02
echo "== this host's second link is down"
check "wake through every interface: exit 0" exit_code 0 on_host wake "$mac" --all-interfaces
check "through the first link, which is up" out_has "for $mac to 10.77.1.255:9 from 10.77.1.1 (10.77.1.0/24)"
check "not through the second, which is down" bash -c "! grep -q 10.77.2 '$work/out'"
check "one packet in all" out_has "1 magic packet through 1 interface"
check "the second named: exit 1" exit_code 1 on_host wake "$mac" --from 10.77.2.1 --port 9
check "  saying it is not up" out_has "10.77.2.1 is not the address of a network interface of this host that is up"
check "the first named: exit 0" exit_code 0 on_host wake "$mac" --from 10.77.1.1 --port 9
check "  through it" out_has "for $mac to 10.77.1.255:9 from 10.77.1.1"
finish
