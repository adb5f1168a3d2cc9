#!/usr/bin/env python3
"""A second host's view of Wake-on-LAN, for the tests and the demo.

Run inside the peer namespace of the private network (scripts/netns.sh):

    wake-receiver.py CONTROL_ADDRESS

It listens for wake-up datagrams on UDP port 2304 of every interface, and for
control datagrams on CONTROL_ADDRESS at a port of the system's choice, which it
prints on stdout as one line. Control datagrams:

    "report"  the sender becomes the one to whom every wake-up datagram is
              reported; it gets "ready MAC" (the hardware address of the
              interface that holds CONTROL_ADDRESS), then the reports of the
              datagrams that came while no one was listening
    "bye"     no one is reported to; datagrams wait for the next "report"
    "quit"    the receiver ends

A report is one datagram: destination address (4 bytes), source address (4),
source port (2), destination port (2), all in network order, then the
datagram's bytes. The receiver ends by itself after LIFETIME seconds.
"""
import argparse
import select
import socket
import struct
import subprocess
import sys
import time

WAKE_PORT = 2304
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)  # Linux's number; older Pythons lack the name


def hardware_address(address):
    """The hardware address of the interface that holds address."""
    out = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) > 3 and fields[3].split("/")[0] == address:
            with open(f"/sys/class/net/{fields[1]}/address") as f:
                return f.read().strip()
    return "unknown"


def receive_wake(sock):
    data, ancillary, _, (source, sport) = sock.recvmsg(65536, socket.CMSG_SPACE(12))
    destination = "0.0.0.0"
    for level, kind, value in ancillary:
        if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
            destination = socket.inet_ntoa(value[8:12])  # in_pktinfo.ipi_addr
    return (socket.inet_aton(destination) + socket.inet_aton(source)
            + struct.pack("!HH", sport, WAKE_PORT) + data)


def main():
    parser = argparse.ArgumentParser(description="Reports Wake-on-LAN datagrams.")
    parser.add_argument("control_address")
    parser.add_argument("--lifetime", type=float, default=7200)
    args = parser.parse_args()

    wake = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    wake.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    wake.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    wake.bind(("0.0.0.0", WAKE_PORT))
    control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    control.bind((args.control_address, 0))
    print(control.getsockname()[1], flush=True)

    mac = hardware_address(args.control_address)
    reporter = None
    waiting = []
    end = time.monotonic() + args.lifetime
    while time.monotonic() < end:
        readable, _, _ = select.select([wake, control], [], [], end - time.monotonic())
        if control in readable:
            message, sender = control.recvfrom(64)
            if message == b"quit":
                break
            if message == b"bye":
                reporter = None
            elif message == b"report":
                # Whatever is already queued came before this request.
                while select.select([wake], [], [], 0)[0]:
                    waiting.append(receive_wake(wake))
                reporter = sender
                control.sendto(b"ready " + mac.encode(), reporter)
                for report in waiting:
                    control.sendto(report, reporter)
                waiting = []
        elif wake in readable:
            report = receive_wake(wake)
            if reporter is None:
                waiting.append(report)
            else:
                control.sendto(report, reporter)
    return 0


if __name__ == "__main__":
    sys.exit(main())
