#!/usr/bin/env bash
# The private network in which tests and the demo run, so that fixed ports
# never clash with the machine and multicast and broadcast never leave it.
#
#   scripts/netns.sh up NAME [LINKS]   make namespaces NAME-host and NAME-peer
#   scripts/netns.sh down NAME         remove them
#
# NAME-host: loopback (multicast on, 224.0.0.0/4 routed to it) and LINKS links
# (default 2, at most 8) to NAME-peer, link i being veth<i> on both sides:
#   link 0: 10.77.1.1/24 (host) <-> 10.77.1.2/24 (peer), the default route
#   link 1: 10.77.2.1/24 (host) <-> 10.77.2.2/24 (peer)
#   link i: 10.77.<i+1>.1/24     <-> 10.77.<i+1>.2/24
# Needs root.
set -euo pipefail

cmd=${1:-}
name=${2:-}
links=${3:-2}
usage() { echo "usage: $0 up NAME [LINKS] | down NAME" >&2; exit 2; }
[ -n "$cmd" ] && [ -n "$name" ] || usage
case "$links" in [1-8]) ;; *) usage ;; esac
host="$name-host"
peer="$name-peer"

down() {
    ip netns del "$host" 2>/dev/null || true
    ip netns del "$peer" 2>/dev/null || true
}

up() {
    down
    ip netns add "$host"
    ip netns add "$peer"
    for ns in "$host" "$peer"; do
        ip -n "$ns" link set lo up
        ip -n "$ns" link set lo multicast on
    done
    ip -n "$host" route add 224.0.0.0/4 dev lo
    for ((i = 0; i < links; i++)); do
        # Interface names are per namespace, so short fixed names are fine.
        ip link add "kh$i-$$" type veth peer name "kp$i-$$"
        ip link set "kh$i-$$" netns "$host"
        ip link set "kp$i-$$" netns "$peer"
        ip -n "$host" link set "kh$i-$$" name "veth$i"
        ip -n "$peer" link set "kp$i-$$" name "veth$i"
        ip -n "$host" addr add "10.77.$((i + 1)).1/24" dev "veth$i"
        ip -n "$peer" addr add "10.77.$((i + 1)).2/24" dev "veth$i"
        ip -n "$host" link set "veth$i" up multicast on
        ip -n "$peer" link set "veth$i" up multicast on
    done
    ip -n "$host" route add default via 10.77.1.2 dev veth0
    ip -n "$peer" route add default via 10.77.1.1 dev veth0
    ip -n "$peer" route add 224.0.0.0/4 dev veth0
}

case "$cmd" in
    up) up ;;
    down) down ;;
    *) usage ;;
esac
