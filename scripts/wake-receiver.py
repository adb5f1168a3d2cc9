#!/usr/bin/env python3
"""A second host's view of Wake-on-LAN, for the tests and the demo.

Run inside the peer namespace of the private network (scripts/netns.sh):

    wake-receiver.py CONTROL_ADDRESS

It listens for wake-up datagrams on UDP port 2304 of every interface, and for
control datagrams on CONTROL_ADDRESS at a port of the system's choice, which it
prints on stdout as one line. Control datagrams:

    "report"       the sender becomes the one to whom every wake-up datagram is
                   reported; it gets "ready MAC" (the hardware address of the
                   interface that holds CONTROL_ADDRESS), then the reports of
                   the datagrams that came while no one was listening
    "listen PORT"  the receiver listens on UDP port PORT of every interface
                   too, until "bye" or the next "report"; the sender gets
                   "listening PORT"
    "bye"          no one is reported to; datagrams wait for the next "report"
    "quit"         the receiver ends

A report is one datagram: destination address (4 bytes), source address (4),
source port (2), destination port (2), the link it came in on (2: N for the
interface vethN, 65535 for any other), all in network order, then the
datagram's bytes. Datagrams that wait on several ports at once are reported in
the order in which they arrived. The receiver ends by itself after LIFETIME
seconds.
"""
import argparse
import select
import socket
import struct
import subprocess
import sys
import time

WAKE_PORT = 2304
NO_LINK = 0xFFFF
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)  # Linux's numbers; older Pythons lack the names
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def hardware_address(address):
    """The hardware address of the interface that holds address."""
    out = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) > 3 and fields[3].split("/")[0] == address:
            with open(f"/sys/class/net/{fields[1]}/address") as f:
                return f.read().strip()
    return "unknown"


def wake_socket(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    sock.bind(("0.0.0.0", port))
    return sock


def link_number(index):
    try:
        name = socket.if_indextoname(index)
    except OSError:
        return NO_LINK
    return int(name[4:]) if name.startswith("veth") and name[4:].isdigit() else NO_LINK


def receive_wake(sock, port):
    """(arrival time, report) of the next datagram on sock."""
    space = socket.CMSG_SPACE(12) + socket.CMSG_SPACE(16)
    data, ancillary, _, (source, sport) = sock.recvmsg(65536, space)
    destination, link, arrival = "0.0.0.0", NO_LINK, 0
    for level, kind, value in ancillary:
        if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
            index = struct.unpack("I", value[:4])[0]  # in_pktinfo.ipi_ifindex
            link = link_number(index)
            destination = socket.inet_ntoa(value[8:12])  # in_pktinfo.ipi_addr
        elif level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
            seconds, nanoseconds = struct.unpack("qq", value[:16])
            arrival = seconds * 10**9 + nanoseconds
    return arrival, (socket.inet_aton(destination) + socket.inet_aton(source)
                     + struct.pack("!HHH", sport, port, link) + data)


def receive_waiting(sockets):
    """Every datagram already waiting on any of sockets, in order of arrival."""
    arrived = []
    while True:
        readable, _, _ = select.select(list(sockets), [], [], 0)
        if not readable:
            break
        for sock in readable:
            arrived.append(receive_wake(sock, sockets[sock]))
    return [report for _, report in sorted(arrived, key=lambda item: item[0])]


def main():
    parser = argparse.ArgumentParser(description="Reports Wake-on-LAN datagrams.")
    parser.add_argument("control_address")
    parser.add_argument("--lifetime", type=float, default=7200)
    args = parser.parse_args()

    wake = {wake_socket(WAKE_PORT): WAKE_PORT}
    asked = {}  # the ports a reporter asked for, port -> socket
    control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    control.bind((args.control_address, 0))
    print(control.getsockname()[1], flush=True)

    def close_asked():
        for sock in asked.values():
            del wake[sock]
            sock.close()
        asked.clear()

    mac = hardware_address(args.control_address)
    reporter = None
    waiting = []
    end = time.monotonic() + args.lifetime
    while time.monotonic() < end:
        readable, _, _ = select.select(list(wake) + [control], [], [], end - time.monotonic())
        if control in readable:
            message, sender = control.recvfrom(64)
            words = message.split()
            if message == b"quit":
                break
            if message == b"bye":
                reporter = None
                close_asked()
            elif message == b"report":
                # Whatever is already queued came before this request.
                waiting += receive_waiting(wake)
                close_asked()
                reporter = sender
                control.sendto(b"ready " + mac.encode(), reporter)
                for report in waiting:
                    control.sendto(report, reporter)
                waiting = []
            elif (len(words) == 2 and words[0] == b"listen" and words[1].isdigit() and sender == reporter
                  and 1 <= int(words[1]) <= 65535):
                port = int(words[1])
                if port != WAKE_PORT and port not in asked:
                    asked[port] = wake_socket(port)
                    wake[asked[port]] = port
                control.sendto(b"listening " + words[1], reporter)
        elif readable:
            for report in receive_waiting(wake):
                if reporter is None:
                    waiting.append(report)
                else:
                    control.sendto(report, reporter)
    return 0


if __name__ == "__main__":
    sys.exit(main())
