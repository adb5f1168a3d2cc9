#!/usr/bin/env python3
"""The kesnet tool's command line: help in one layout for every command, as
docs/tool.md shows it, clear errors with exit status 2 for bad arguments, and a
datagram from one kesnet process to another.

    tool_test.py WINE_RUN KESNET_EXE
"""
import os
import shutil
import tempfile
import socket
import subprocess
import sys

TOOL = sys.argv[1:3]
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "tool.md")) as doc:
    TOOL_DOC = doc.read()
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
    (["--version"], 0, "(kesnet.dll 1."),
    (["help", "bogus"], 2, "no command 'bogus'"),
    (["bogus"], 2, "no command 'bogus'"),
    (["help", "send"], 0, "usage: kesnet send ADDRESS:PORT"),
    (["listen", "--help"], 0, "usage: kesnet listen PORT"),
    (["send"], 2, "expected ADDRESS:PORT"),
    (["send", "1.2.3:5000", "x"], 2, "not an IPv4 address"),
    (["send", "010.1.1.1:5000", "x"], 2, "not an IPv4 address"),
    (["send", "1.2.3.4 :5000", "x"], 2, "not an IPv4 address"),
    (["send", "1.2.3.256:5000", "x"], 2, "not an IPv4 address"),
    (["send", "127.0.0.1:70000", "x"], 2, "not a port"),
    (["send", "127.0.0.1:5000", "@/no/such/file"], 2, "cannot read the file"),
    (["send", "127.0.0.1:5000", "x", "--from"], 2, "--from needs a value"),
    (["listen", "port"], 2, "not a port"),
    (["listen", "5000", "--bogus"], 2, "unknown option --bogus"),
    (["listen", "5000", "--count", "0"], 2, "not a number from 1"),
    (["cast", "x.bin", "--group", "10.0.0.1:5000"], 2, "is not a multicast group"),
    (["cast", "x.bin", "--rate", "0"], 2, "not a number from 1"),
    (["catch"], 2, "expected one FOLDER"),
    (["cast-stream", "-", "--message", "355601"], 2, "not a number from 1"),
    (["key"], 2, "expected: key new DIR, or key show FILE..."),
    (["wake", "02:00:5e:10:00:01", "--password", "key"], 2, "--password key needs the class key"),
    (["key", "show", "/no/such.key"], 1, "/no/such.key: cannot be read"),
    (["send", "127.0.0.1:9", "x", "--key"], 2, "--key needs a FILE"),
    (["send", "127.0.0.1:9", "x", "--key", "/no/such.key"], 2, "not a kesnet key file"),
    # A path from the root is an argument, not an option.
    (["isbmp", "/no/such/file.bmp"], 1, "/no/such/file.bmp: not a bitmap"),
    # So is a text that begins with one '-'.
    (["send", "127.0.0.1:9", "-x", "--from", "127.0.0.2"], 0, "sent 2 bytes"),
]

for args, status, text in CASES:
    result = run(args)
    output = result.stdout + result.stderr
    expect("kesnet %s -> %d, '%s'" % (" ".join(args), status, text), result.returncode == status and text in output,
           "status %d, output: %s" % (result.returncode, output.strip()[:300]))

# Every command's help has the same sections, the same from "help NAME" as from
# "NAME --help", and no line ends in blanks.
listing = run(["--help"]).stdout
names = [line.split()[0] for line in listing.split("commands:\n", 1)[1].split("\n\n", 1)[0].splitlines()]
expect("the command list names the commands", len(names) >= 10, listing)
for name in names:
    help_text = run(["help", name])
    flag_text = run([name, "--help"])
    text = help_text.stdout
    sections = ["usage: kesnet " + name, "\n\noptions:\n", "  --help  ", "\n\nexit codes:\n  0  ", "\n  1  ",
                "\n  2  bad arguments"]
    missing = [s for s in sections if s not in text]
    trailing = [line for line in text.splitlines() if line != line.rstrip()]
    expect("kesnet help %s has every section" % name,
           help_text.returncode == 0 and text.startswith("usage: kesnet " + name) and not missing and not trailing,
           "status %d, missing %s, lines ending in blanks %s:\n%s" % (help_text.returncode, missing, trailing, text))
    expect("kesnet %s --help says the same" % name, flag_text.returncode == 0 and flag_text.stdout == text,
           flag_text.stdout)
    expect("docs/tool.md shows kesnet help %s as it is" % name, "```\n" + text + "```\n" in TOOL_DOC,
           "update the command's section in docs/tool.md to:\n" + text)

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

# With a class key: the listener takes the sealed datagram and counts the
# plain one; the keys are shown by the same fingerprints as when made.
keys = tempfile.mkdtemp(prefix="kesnet-keys-")
try:
    made = run(["key", "new", keys + "/room"])
    class_key = keys + "/room/class.key"
    shown = run(["key", "show", class_key, keys + "/room/teacher.pub"])
    fingerprint = made.stdout.split("\n")[0].split("  ")[-1].split(" (")[0] if made.returncode == 0 else "?"
    expect("key new writes the keys and key show gives the same fingerprint",
           made.returncode == 0 and shown.returncode == 0 and fingerprint in shown.stdout
           and "class key, fingerprint" in shown.stdout and "teacher public key" in shown.stdout,
           made.stdout + made.stderr + shown.stdout + shown.stderr)
    again = run(["key", "new", keys + "/room"])
    expect("key new never writes over keys", again.returncode == 1 and "exists already" in again.stderr, again.stderr)
    port = free_udp_port()
    listener = subprocess.Popen(TOOL + ["listen", str(port), "--from", "127.0.0.1", "--count", "1", "--seconds", "60",
                                        "--key", class_key], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = listener.stdout.readline()
    plain = run(["send", "127.0.0.1:%d" % port, "plain"])
    sealed = run(["send", "127.0.0.1:%d" % port, "sealed", "--key", class_key])
    rest, errors = listener.communicate(timeout=120)
    expect("with --key, listen takes the sealed datagram only and says what it refused",
           plain.returncode == 0 and sealed.returncode == 0 and listener.returncode == 0 and "6 bytes" in rest
           and "sealed" in rest and "plain" not in rest and "refused: 1 unknown sender" in errors,
           first + rest + errors)
finally:
    shutil.rmtree(keys, ignore_errors=True)

sys.exit(1 if failures else 0)
