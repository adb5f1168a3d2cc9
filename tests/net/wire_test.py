#!/usr/bin/env python3
"""Datagrams of the library as a second host sees them on the wire: multicast
goes out with time-to-live 10, and a sender bound to a local interface shows
that interface's address as the source.

    wire_test.py WINE_RUN KESNET_EXE

Needs the private network of the test command (KESNET_NETNS=1 and the peer
namespace in KESNET_NETNS_PEER); skipped without it.
"""
import json
import os
import subprocess
import sys

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))


def peer_receive(port, extra):
    peer = os.environ["KESNET_NETNS_PEER"]
    process = subprocess.Popen(
        ["ip", "netns", "exec", peer, sys.executable, os.path.join(HERE, "udp_peer.py"), str(port)] + extra,
        stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline().strip() == "ready"
    return process


def run_tool(tool, *args):
    result = subprocess.run(tool + list(args), capture_output=True, text=True, timeout=120)
    print("  kesnet " + " ".join(args) + " -> " + (result.stdout.strip() or result.stderr.strip()))
    return result.returncode


def send_and_capture(tool, port, peer_args, send_args):
    receiver = peer_receive(port, peer_args)
    try:
        code = run_tool(tool, "send", *send_args)
        line = receiver.stdout.readline()
    finally:
        receiver.wait(timeout=60)
    return code, json.loads(line)


def main():
    if os.environ.get("KESNET_NETNS") != "1" or not os.environ.get("KESNET_NETNS_PEER"):
        print("SKIPPED: needs the private network namespace of the test command (run as root)")
        return SKIP
    tool = sys.argv[1:3]
    failures = []

    def expect(what, ok):
        print(("  ok   " if ok else "  FAIL ") + what)
        if not ok:
            failures.append(what)

    # Multicast from 10.77.1.1 to a member on the peer.
    code, seen = send_and_capture(tool, 47101, ["--group", "239.77.0.5", "--iface", "10.77.1.2"],
                                  ["239.77.0.5:47101", "to the group", "--multicast", "--from", "10.77.1.1"])
    expect("multicast send succeeded", code == 0)
    expect("the member received it", bytes.fromhex(seen.get("data", "")) == b"to the group")
    expect("time-to-live 10 on the wire (saw %s)" % seen.get("ttl"), seen.get("ttl") == 10)
    expect("source 10.77.1.1 (saw %s)" % seen.get("source"), seen.get("source") == "10.77.1.1")

    # Unicast to the peer from each local interface: the route alone would pick 10.77.1.1.
    for local in ["10.77.1.1", "10.77.2.1"]:
        code, seen = send_and_capture(tool, 47102, [], ["10.77.1.2:47102", "from " + local, "--from", local])
        expect("unicast from %s succeeded" % local, code == 0)
        expect("the peer saw source %s (saw %s)" % (local, seen.get("source")), seen.get("source") == local)
        expect("payload intact", bytes.fromhex(seen.get("data", "")) == ("from " + local).encode())

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
