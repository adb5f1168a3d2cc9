#!/usr/bin/env python3
"""Receives datagrams on the peer host of the private network and prints, for
each, its source address, the link it came in on and its text:

    peer_receiver.py PORT COUNT [GROUP]

Prints "ready" once listening (joined to GROUP on every link when given), then
one line "SOURCE LINK TEXT" per datagram, and ends after COUNT datagrams or
after 20 seconds without one."""
import socket
import struct
import sys

IP_PKTINFO = 8  # Linux

port, count = int(sys.argv[1]), int(sys.argv[2])
group = sys.argv[3] if len(sys.argv) > 3 else None
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
s.bind(("0.0.0.0", port))
if group:
    for link in ("10.77.1.2", "10.77.2.2"):
        request = socket.inet_aton(group) + socket.inet_aton(link)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, request)
s.settimeout(20)
print("ready", flush=True)
for _ in range(count):
    try:
        data, ancillary, _, source = s.recvmsg(65536, 256)
    except socket.timeout:
        break
    link = "?"
    for level, kind, value in ancillary:
        if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
            link = socket.if_indextoname(struct.unpack("I", value[:4])[0])
    print(source[0], link, data.decode(errors="replace"), flush=True)
