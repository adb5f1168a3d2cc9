# A classroom of network namespaces for the multicast transfers' tests: the
# teacher's host holds a bridge, the classroom's switch (multicast snooping
# off: every port hears the group, as on a switch that does not snoop), and
# each student's host has one link to it. Source it (as root); it expects
# `set -euo pipefail`.
#
#   classroom_can_run                 skips the test (exit 77) when not root, fails
#                                     it when nftables is missing
#   classroom_up NAME STUDENTS        the teacher's host NAME-s (10.78.0.1) and
#                                     the students' NAME-r1 ... (10.78.0.11 ...)
#   classroom_down NAME STUDENTS      removes them
#   student_addr I                    the address of student I
#   drop_on_students NAME STUDENTS PERCENT PORT
#                                     each student's input loses that share of
#                                     the datagrams to PORT, on its own (nftables)
#   classroom_wine ARCH TOOL          readies the kesnet tool TOOL of a build;
#                                     then on_classroom_host NAMESPACE ARGS... runs
#                                     it under Wine on that host (needs $work),
#                                     and classroom_wine_stop stops every Wine of it
#   windows_path PATH                 the Windows path of a Unix one (Z:...)
classroom_teacher=10.78.0.1

classroom_can_run() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIPPED: needs root, for network namespaces of its own"
        exit 77
    fi
    if ! command -v nft >/dev/null; then
        echo "FAILED: nft is missing (scripts/setup.sh installs nftables)"
        exit 1
    fi
}
student_addr() { echo "10.78.0.$((10 + $1))"; }

classroom_up() {
    local name=$1 students=$2 i ns
    ip netns add "$name-s"
    ip -n "$name-s" link set lo up
    ip -n "$name-s" link add br0 type bridge
    ip -n "$name-s" link set br0 type bridge mcast_snooping 0
    ip -n "$name-s" addr add "$classroom_teacher/24" dev br0
    ip -n "$name-s" link set br0 up
    ip -n "$name-s" route add 224.0.0.0/4 dev br0
    for ((i = 1; i <= students; i++)); do
        ns=$name-r$i
        ip netns add "$ns"
        ip -n "$ns" link set lo up
        ip link add "kcs$i-$$" type veth peer name "kcr$i-$$"
        ip link set "kcs$i-$$" netns "$name-s"
        ip link set "kcr$i-$$" netns "$ns"
        ip -n "$name-s" link set "kcs$i-$$" master br0 up
        ip -n "$ns" link set "kcr$i-$$" name eth0
        ip -n "$ns" addr add "$(student_addr "$i")/24" dev eth0
        ip -n "$ns" link set eth0 up multicast on
        ip -n "$ns" route add 224.0.0.0/4 dev eth0
    done
}

classroom_down() {
    local name=$1 students=$2 i
    ip netns del "$name-s" 2>/dev/null || true
    for ((i = 1; i <= students; i++)); do ip netns del "$name-r$i" 2>/dev/null || true; done
}

drop_on_students() {
    local name=$1 students=$2 percent=$3 port=$4 i ns
    for ((i = 1; i <= students; i++)); do
        ns=$name-r$i
        ip netns exec "$ns" nft delete table inet loss 2>/dev/null || true
        ip netns exec "$ns" nft add table inet loss
        ip netns exec "$ns" nft add chain inet loss in '{ type filter hook input priority 0; }'
        ip netns exec "$ns" nft add rule inet loss in udp dport "$port" numgen random mod 100 lt "$percent" drop
    done
}

# Wine's sockets and network service live in the namespace of its server:
# each host runs Wine from a copy of the build's prefix, whose server starts
# there.
classroom_tool=
classroom_prefixes=()
classroom_wine() {
    local arch=$1
    classroom_tool=$2
    KESNET_WINEPREFIX=$(cd "$(dirname "$classroom_tool")/.." && pwd)/wineprefix \
        "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-run.sh" --prepare "$arch"
}
on_classroom_host() {
    local ns=$1 prefix=$work/prefix-$1 build_prefix
    shift
    if [ ! -d "$prefix" ]; then
        build_prefix=$(cd "$(dirname "$classroom_tool")/.." && pwd)/wineprefix
        cp -a "$build_prefix" "$prefix"
        classroom_prefixes+=("$prefix")
    fi
    ip netns exec "$ns" env KESNET_WINEPREFIX="$prefix" \
        "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-run.sh" "$classroom_tool" "$@"
}
classroom_wine_stop() {
    local prefix
    for prefix in "${classroom_prefixes[@]}"; do stop_wine_prefix "$prefix"; done
}
windows_path() { echo "Z:${1//\//\\}"; }
