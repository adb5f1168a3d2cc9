#!/usr/bin/env python3
"""The example hosts, built from a fresh install of the library and run against
each other, as a host developer would build and run them.

    examples_test.py SOURCE_DIR BUILD_DIR WINE_RUN TOOLCHAIN

TOOLCHAIN is the name of the build's toolchain file (that of its architecture).

1. `cmake --install BUILD_DIR` into a new folder;
2. a separate CMake project (examples/) finds the package there with
   find_package(kesnet) and builds teacher and student against it;
3. the student starts; once it is ready the teacher sends it a message, which
   it must echo, and a file, which it must receive intact; the teacher then
   wakes the second host of the private network, whose receiver
   (scripts/wake-receiver.py) must report the magic packet.
Inside the private network of the test command the message goes by multicast
and the wake-up is broadcast; without it (not root) the message goes by unicast
on loopback and nothing is woken, as the test says.
"""
import os
import queue
import socket
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sdk_support import build_examples, fresh_folder, must  # noqa: E402

SOURCE, BUILD, WINE_RUN, TOOLCHAIN = sys.argv[1:5]
SCALE = float(os.environ.get("KESNET_WAIT_SCALE", "1"))
PRIVATE = os.environ.get("KESNET_NETNS") == "1"
GROUP = "239.77.9.1"
failures = []


def expect(what, ok, detail=""):
    print(("  ok   " if ok else "  FAIL ") + what + ("" if ok else "\n       " + detail))
    if not ok:
        failures.append(what)


def windows_path(path):
    """The path as a program under Wine names it (Z: is the Unix root)."""
    return "Z:" + path.replace("/", "\\")


def free_port_pair(host):
    """A port free for UDP and for TCP on host."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.bind((host, 0))
            port = udp.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
                try:
                    tcp.bind((host, port + 1))
                except OSError:
                    continue
                return port, port + 1
    raise RuntimeError("no free pair of ports")


class WakeReceiver:
    """The line to scripts/wake-receiver.py on the second host of the private
    network: it tells its hardware address and reports every wake-up datagram."""

    def __init__(self, local):
        host, port = os.environ["KESNET_WAKE_RECEIVER"].split(":")
        self.address = (host, int(port))
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((local, 0))
        self.sock.settimeout(30 * SCALE)
        self.sock.sendto(b"report", self.address)
        ready = self.sock.recv(2048)
        if not ready.startswith(b"ready "):
            raise RuntimeError("the wake-up receiver answered %r" % ready)
        self.mac = ready[6:].decode()

    def magic_packet_arrived(self):
        """True once a report of a magic packet for self.mac comes."""
        packet = b"\xff" * 6 + bytes.fromhex(self.mac.replace(":", "")) * 16
        try:
            while True:
                report = self.sock.recv(2048)
                if report[14:] == packet:  # after addresses, ports and link
                    return True
        except socket.timeout:
            return False

    def close(self):
        self.sock.sendto(b"bye", self.address)
        self.sock.close()


def lines_of(process):
    """A queue that gets each line the process prints, then None."""
    lines = queue.Queue()

    def read():
        for line in process.stdout:
            lines.put(line)
        lines.put(None)

    threading.Thread(target=read, daemon=True).start()
    return lines


def main():
    work = fresh_folder(os.path.join(BUILD, "sdk-test", "examples"))
    prefix = os.path.join(work, "install")
    must(["cmake", "--install", BUILD, "--prefix", prefix], "cmake --install into a fresh folder")
    programs = build_examples(os.path.join(SOURCE, "examples"),
                              os.path.join(prefix, "share", "kesnet", TOOLCHAIN), prefix,
                              os.path.join(work, "build"))

    local = "10.77.1.1" if PRIVATE else "127.0.0.1"
    wake = WakeReceiver(local) if PRIVATE and os.environ.get("KESNET_WAKE_RECEIVER") else None
    if not PRIVATE:
        print("NOTE: not in the private network of the test command (run as root): the message goes by")
        print("      unicast on loopback instead of multicast, and no machine is woken")
    message_port, file_port = free_port_pair(local)
    lesson = os.path.join(work, "lesson.bin")
    with open(lesson, "wb") as f:
        f.write(os.urandom(200000) + b"the end of the lesson")
    received = os.path.join(work, "received.bin")

    env = dict(os.environ)
    env.setdefault("KESNET_WINEPREFIX", os.path.join(BUILD, "wineprefix"))
    run = [WINE_RUN]
    ports = ["--port", str(message_port), "--file-port", str(file_port)]
    # A group member listens on every interface; without a group, on loopback only.
    where = ["--group", GROUP] if PRIVATE else ["--from", local]
    student = subprocess.Popen(run + [os.path.join(programs, "student.exe")] + where + ports +
                               ["--save", windows_path(received), "--seconds", str(int(120 * SCALE))],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    student_lines = lines_of(student)
    student_output = []
    try:
        while True:
            line = student_lines.get(timeout=120 * SCALE)
            if line is None:
                break
            student_output.append(line)
            if "ready" in line:
                break
        ready = bool(student_output) and "ready" in student_output[-1]
        expect("the student is ready", ready, "".join(student_output))
        if not ready:
            return 1

        teacher_args = [local, windows_path(lesson), "--from", local] + ports
        if PRIVATE:
            teacher_args += ["--group", GROUP]
        if wake:
            teacher_args += ["--wake", wake.mac]
        teacher = subprocess.run(run + [os.path.join(programs, "teacher.exe")] + teacher_args, capture_output=True,
                                 text=True, env=env, timeout=300 * SCALE)
        print("".join("    " + line + "\n" for line in teacher.stdout.splitlines()) + teacher.stderr, end="")
        student.wait(timeout=300 * SCALE)
    finally:
        if student.poll() is None:
            student.kill()
    while True:
        line = student_lines.get(timeout=60)
        if line is None:
            break
        student_output.append(line)
    print("".join("    " + line for line in student_output), end="")

    expect("the teacher's message was echoed, its file sent%s: exit 0" % (", a machine woken" if wake else ""),
           teacher.returncode == 0, "exit %d" % teacher.returncode)
    expect("the student got the message and the file intact: exit 0", student.returncode == 0,
           "exit %d" % student.returncode)
    with open(lesson, "rb") as a:
        sent = a.read()
    got = open(received, "rb").read() if os.path.exists(received) else b""
    expect("the file the student saved is the teacher's, byte for byte", got == sent,
           "%d bytes saved of %d" % (len(got), len(sent)))
    if wake:
        expect("the second host got the magic packet for %s" % wake.mac, wake.magic_packet_arrived())
        wake.close()
    elif PRIVATE:
        expect("the wake-up receiver of the test command is running (KESNET_WAKE_RECEIVER)", False)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
