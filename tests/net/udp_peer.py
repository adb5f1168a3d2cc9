#!/usr/bin/env python3
"""A second host for the network tests: receives UDP datagrams and reports each
one as a JSON line with its source, time-to-live and payload.

    udp_peer.py PORT [--group GROUP --iface ADDRESS] [--count N] [--timeout SECONDS]

Prints "ready" once it listens, then one line per datagram, and exits after N
datagrams or when the time-out passes.
"""
import argparse
import json
import socket
import struct
import sys

# Linux option numbers; the socket module does not name all of them.
IP_TTL = 2
IP_RECVTTL = 12


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--group")
    parser.add_argument("--iface", default="0.0.0.0")
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=20)
    args = parser.parse_args()

    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
    s.bind(("0.0.0.0", args.port))
    if args.group:
        request = socket.inet_aton(args.group) + socket.inet_aton(args.iface)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, request)
    s.settimeout(args.timeout)
    print("ready", flush=True)
    for _ in range(args.count):
        try:
            data, ancillary, _, source = s.recvmsg(65536, socket.CMSG_SPACE(4))
        except socket.timeout:
            print(json.dumps({"timeout": True}), flush=True)
            return 1
        ttl = None
        for level, kind, value in ancillary:
            if level == socket.IPPROTO_IP and kind == IP_TTL:
                ttl = struct.unpack("i", value[:4])[0]
        print(json.dumps({"source": source[0], "port": source[1], "ttl": ttl,
                          "data": data.hex()}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
