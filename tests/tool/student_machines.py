#!/usr/bin/env python3
"""Student machines of a class on the peer host of the private network, each
with an echoing listener as `kesnet listen PORT --echo` has one:

    student_machines.py PORT [--answer ADDRESS]... [--asleep ADDRESS MAC]...
                        [--late ADDRESS SECONDS]...

Every --answer ADDRESS listens on ADDRESS:PORT at once. An --asleep one starts
to listen only when a Wake-on-LAN magic packet for MAC reaches UDP port 9 of
this host. A --late one listens at once but answers each question SECONDS
after it came (a machine that is there, but slow). A listener answers each datagram (unless it came from port 37102)
with the 4 bytes "Echo" from its address to the sender's address, port 37102.

Prints "ready" when listening, then a line per event:
    asked ADDRESS by SOURCE
    woken ADDRESS by SOURCE to DESTINATION via LINK
It ends after LIFETIME seconds, or when stopped.
"""
import argparse
import heapq
import select
import socket
import struct
import sys
import time

ECHO_PORT = 37102
WAKE_PORT = 9
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)


def listener(address, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, port))
    return sock


def answer(address, source):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 0))
    sock.sendto(b"Echo", (source, ECHO_PORT))
    sock.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--answer", action="append", default=[])
    parser.add_argument("--asleep", nargs=2, action="append", default=[], metavar=("ADDRESS", "MAC"))
    parser.add_argument("--late", nargs=2, action="append", default=[], metavar=("ADDRESS", "SECONDS"))
    parser.add_argument("--lifetime", type=float, default=300)
    args = parser.parse_args()

    listening = {listener(a, args.port): a for a in args.answer + [a for a, _ in args.late]}
    delay = {a: float(seconds) for a, seconds in args.late}
    due = []  # (when, address, source) of the answers still to send
    asleep = {bytes.fromhex(mac.replace(":", "").replace("-", "")): address for address, mac in args.asleep}
    wake = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    wake.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    wake.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    wake.bind(("0.0.0.0", WAKE_PORT))
    print("ready", flush=True)

    end = time.monotonic() + args.lifetime
    while time.monotonic() < end:
        while due and due[0][0] <= time.monotonic():
            _, address, source = heapq.heappop(due)
            answer(address, source)
        wait = min([end] + [when for when, _, _ in due[:1]]) - time.monotonic()
        readable, _, _ = select.select(list(listening) + [wake], [], [], max(wait, 0))
        for sock in readable:
            if sock is wake:
                data, ancillary, _, (source, _) = wake.recvmsg(2048, socket.CMSG_SPACE(12))
                hardware = data[6:12]
                address = asleep.pop(hardware, None) if data[:6] == b"\xff" * 6 and data[6:102] == hardware * 16 else None
                if address is None:
                    continue
                link, destination = "?", "?"
                for level, kind, value in ancillary:
                    if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
                        link = socket.if_indextoname(struct.unpack("I", value[:4])[0])
                        destination = socket.inet_ntoa(value[8:12])
                listening[listener(address, args.port)] = address
                print("woken %s by %s to %s via %s" % (address, source, destination, link), flush=True)
                continue
            data, (source, sport) = sock.recvfrom(65536)
            address = listening[sock]
            print("asked %s by %s" % (address, source), flush=True)
            if sport != ECHO_PORT:
                heapq.heappush(due, (time.monotonic() + delay.get(address, 0), address, source))
    return 0


if __name__ == "__main__":
    sys.exit(main())
