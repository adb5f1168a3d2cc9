#!/usr/bin/env python3
"""The kesnet tool's command line: help, clear errors with exit status 2 for bad
arguments, and a datagram from one kesnet process to another.

    tool_test.py WINE_RUN KESNET_EXE
"""
import socket
import subprocess
import sys

TOOL = sys.argv[1:3]
failures = []


def run(args, timeout=120):
    return subprocess.run(TOOL + args, capture_output=True, text=True, timeout=timeout)


def expect(what, ok, detail=""):
    print(("  ok   " if ok else "  FAIL ") + what + ("" if ok else "\n       " + detail))
    if not ok:
        failures.append(what)


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# (arguments, exit status, text expected in the output)
CASES = [
    ([], 2, "usage: kesnet COMMAND"),
    (["--help"], 0, "commands:"),
    (["--version"], 0, "kesnet 1."),
    (["bogus"], 2, "no command 'bogus'"),
    (["help", "send"], 0, "usage: kesnet send ADDRESS:PORT"),
    (["listen", "--help"], 0, "usage: kesnet listen PORT"),
    (["send"], 2, "expected ADDRESS:PORT"),
    (["send", "1.2.3:5000", "x"], 2, "not an IPv4 address"),
    (["send", "127.0.0.1:70000", "x"], 2, "not a port"),
    (["send", "127.0.0.1:5000", "@/no/such/file"], 2, "cannot read the file"),
    (["send", "127.0.0.1:5000", "x", "--from"], 2, "--from needs a value"),
    (["listen", "port"], 2, "not a port"),
    (["listen", "5000", "--bogus"], 2, "unknown option --bogus"),
    (["listen", "5000", "--count", "0"], 2, "not a number from 1"),
]

for args, status, text in CASES:
    result = run(args)
    output = result.stdout + result.stderr
    expect("kesnet %s -> %d" % (" ".join(args), status), result.returncode == status and text in output,
           "status %d, output: %s" % (result.returncode, output.strip()[:300]))

# One kesnet process listens, another sends.
port = free_udp_port()
listener = subprocess.Popen(TOOL + ["listen", str(port), "--from", "127.0.0.1", "--count", "1", "--seconds", "60"],
                            stdout=subprocess.PIPE, text=True)
first = listener.stdout.readline()
expect("listen announces itself", first.startswith("listening on 127.0.0.1:%d" % port), first)
sent = run(["send", "127.0.0.1:%d" % port, "hello"])
expect("send reports what it sent", sent.returncode == 0 and "sent 5 bytes" in sent.stdout, sent.stdout + sent.stderr)
rest, _ = listener.communicate(timeout=120)
expect("listen prints the datagram and stops after --count",
       listener.returncode == 0 and "5 bytes" in rest and "68 65 6c 6c 6f" in rest and "hello" in rest, rest)

sys.exit(1 if failures else 0)
