#!/usr/bin/env python3
"""A hostile machine of the classroom, for the authentication test: it is not
built with the library, and it does to a keyed classroom what such a machine
can. Run as root inside the test's network namespaces.

    hostile_peer.py record --iface IF --out FILE --stop FILE
        captures every UDP datagram on IF (the classroom's switch) as JSON lines
        until FILE exists: what a machine on the LAN can record.
    hostile_peer.py attack --records FILE --student ADDR --port N --class-key FILE
        sends ADDR:N what it can make without the teacher's key: forgeries
        without the class key, recordings replayed, each field of a recorded
        teacher's datagram with a bit flipped, cut short, and (holding the
        class key, as any student machine does) datagrams posing as the
        teacher's, signed with a key of its own. Prints the number sent.
    hostile_peer.py spoof-echoes --records FILE --teacher ADDR --as ADDR,... --seconds S
        sends the teacher's echo port recorded echoes and plain "Echo"s that
        claim to come from each ADDR, again and again for S seconds.
    hostile_peer.py streams --student ADDR --port N --count C --hold S
        opens C connections to a stream listener, sends each junk, and prints
        how many the listener kept (sent its challenge on) and how many it
        turned away; holds them S seconds.
"""
import argparse
import hashlib
import hmac
import json
import os
import random
import socket
import struct
import sys
import time

ECHO_PORT = 37102
CLASS_KIND, TEACHER_KIND = 0xC1, 0xC2
# Every protocol: a socket of one protocol sees only what comes in, not what
# the switch's own host sends.
ETH_P_ALL = 0x0003


def record(args):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((args.iface, 0))
    s.settimeout(0.2)
    print("recording", flush=True)
    with open(args.out, "w") as out:
        while not os.path.exists(args.stop):
            try:
                frame = s.recv(65535)
            except socket.timeout:
                continue
            if frame[12:14] != b"\x08\x00":
                continue
            ip = frame[14:]
            if len(ip) < 28 or ip[0] >> 4 != 4 or ip[9] != socket.IPPROTO_UDP:
                continue
            ihl = (ip[0] & 15) * 4
            sport, dport, length = struct.unpack("!HHH", ip[ihl:ihl + 6])
            payload = ip[ihl + 8:ihl + length]
            out.write(json.dumps({"src": socket.inet_ntoa(ip[12:16]), "dst": socket.inet_ntoa(ip[16:20]),
                                  "sport": sport, "dport": dport, "payload": payload.hex()}) + "\n")
            out.flush()


def load_records(path):
    with open(path) as f:
        return [dict(r, payload=bytes.fromhex(r["payload"])) for r in map(json.loads, f)]


def class_key(path):
    lines = [l.strip() for l in open(path) if l.strip() and not l.startswith("#")]
    assert lines[0] == "kesnet class key", lines[0]
    return bytes.fromhex(lines[1])


def seal(key, payload, port, teacher_signer=None, sender=0x0BAD0BAD):
    """A trailer as a holder of the class key makes it; signed with
    teacher_signer (a private key that is not the teacher's) if given."""
    key_id = hmac.new(key, b"kesnet key id", hashlib.sha256).digest()[:4]
    seq = int(time.time() * 1e6)
    ids = key_id + struct.pack("!IQ", sender, seq)
    kind = bytes([TEACHER_KIND if teacher_signer else CLASS_KIND])
    signature = b""
    if teacher_signer:
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.asymmetric import ec, utils
        digest = hashlib.sha256(payload + ids + struct.pack("!H", port) + kind).digest()
        der = teacher_signer.sign(digest, ec.ECDSA(utils.Prehashed(hashes.SHA256())))
        r, s = utils.decode_dss_signature(der)
        signature = r.to_bytes(32, "big") + s.to_bytes(32, "big")
    covered = payload + ids + signature
    tag = hmac.new(key, covered + struct.pack("!H", port) + kind, hashlib.sha256).digest()[:16]
    return covered + tag + kind


def field_flips(datagram):
    """The datagram with one bit flipped in each field of its trailer, and in
    its payload."""
    kind = datagram[-1]
    trailer = 33 + (64 if kind == TEACHER_KIND else 0)
    start = len(datagram) - trailer
    fields = {"payload": 0, "key id": start, "sender id": start + 4, "sequence number": start + 15,
              "tag": len(datagram) - 2, "kind": len(datagram) - 1}
    if kind == TEACHER_KIND:
        fields["signature"] = start + 16 + 10
    for name, at in fields.items():
        changed = bytearray(datagram)
        changed[at] ^= 1
        yield name, bytes(changed)


def attack(args):
    key = class_key(args.class_key)
    records = load_records(args.records)
    to_student = [r["payload"] for r in records if r["dst"] == args.student and r["dport"] == args.port]
    if not to_student:
        sys.exit("no recorded datagram to %s:%d" % (args.student, args.port))
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sent = {}

    def send(what, payload):
        s.sendto(payload, (args.student, args.port))
        sent[what] = sent.get(what, 0) + 1
        time.sleep(0.002)  # the receiver's buffer is no part of the test

    for i in range(20):
        send("forged without the key", os.urandom(random.randint(1, 200)))
    for i in range(10):
        fake = os.urandom(40) + bytes([CLASS_KIND])
        send("a made-up trailer", fake)
    for payload in to_student:
        send("a recording replayed", payload)
    for name, changed in field_flips(to_student[0]):
        send("a bit flipped in the " + name, changed)
    for cut in (1, 16, 33, len(to_student[0]) - 1):
        send("cut short", to_student[0][:-cut])
    from cryptography.hazmat.primitives.asymmetric import ec
    impostor = ec.generate_private_key(ec.SECP256R1())
    for i in range(3):
        send("posing as the teacher with a key of its own", seal(key, b"unlock all screens", args.port, impostor))
        send("a student's own datagram", seal(key, b"unlock all screens", args.port))
    print(json.dumps({"sent": sum(sent.values()), "by kind": sent}), flush=True)


def udp_packet(src, dst, sport, dport, payload):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    total = 20 + len(udp)
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, random.randint(0, 65535), 0, 64, socket.IPPROTO_UDP, 0,
                         socket.inet_aton(src), socket.inet_aton(dst))
    checksum = 0
    for i in range(0, 20, 2):
        checksum += (header[i] << 8) + header[i + 1]
    while checksum >> 16:
        checksum = (checksum & 0xFFFF) + (checksum >> 16)
    header = header[:10] + struct.pack("!H", ~checksum & 0xFFFF) + header[12:]
    return header + udp


def spoof_echoes(args):
    records = load_records(args.records)
    echoes = [r for r in records if r["dport"] == ECHO_PORT and r["dst"] == args.teacher]
    if not echoes:
        sys.exit("no recorded echo to %s" % args.teacher)
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    sent = 0
    end = time.time() + args.seconds
    print("spoofing", flush=True)
    while time.time() < end:
        for claimed in args.as_.split(","):
            for echo in echoes:
                raw.sendto(udp_packet(claimed, args.teacher, echo["sport"], ECHO_PORT, echo["payload"]),
                           (args.teacher, 0))
                sent += 1
            raw.sendto(udp_packet(claimed, args.teacher, 40000, ECHO_PORT, b"Echo"), (args.teacher, 0))
            sent += 1
        time.sleep(0.05)
    print(json.dumps({"spoofed echoes": sent}), flush=True)


def streams(args):
    kept, turned_away = [], 0
    for i in range(args.count):
        c = socket.create_connection((args.student, args.port), timeout=10)
        kept.append(c)
    live = []
    for c in kept:
        try:
            c.settimeout(3)
            challenge = c.recv(20)
            if challenge.startswith(b"KSA1"):
                live.append(c)
                c.sendall(b"GET / junk that proves nothing " * 4)
            else:
                turned_away += 1
        except (ConnectionResetError, socket.timeout, OSError):
            turned_away += 1
    print(json.dumps({"kept": len(live), "turned away": turned_away}), flush=True)
    time.sleep(args.hold)
    for c in kept:
        c.close()


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("record")
    p.add_argument("--iface", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--stop", required=True)
    p = sub.add_parser("attack")
    p.add_argument("--records", required=True)
    p.add_argument("--student", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--class-key", required=True)
    p = sub.add_parser("spoof-echoes")
    p.add_argument("--records", required=True)
    p.add_argument("--teacher", required=True)
    p.add_argument("--as", dest="as_", required=True)
    p.add_argument("--seconds", type=float, required=True)
    p = sub.add_parser("streams")
    p.add_argument("--student", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--count", type=int, required=True)
    p.add_argument("--hold", type=float, default=0)
    args = parser.parse_args()
    {"record": record, "attack": attack, "spoof-echoes": spoof_echoes, "streams": streams}[args.command](args)


if __name__ == "__main__":
    main()
