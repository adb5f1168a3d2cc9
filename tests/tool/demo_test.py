#!/usr/bin/env python3
"""kesnet demo runs every step to the end and reports each as worked: inside
the private network of the test command with multicast and Wake-on-LAN (the
second host's wake-up receiver reports the magic packet to the demo), on
loopback without them.

    demo_test.py WINE_RUN KESNET_EXE
"""
import os
import re
import subprocess
import sys

TOOL = sys.argv[1:3]
PRIVATE = os.environ.get("KESNET_NETNS") == "1"


def main():
    env = dict(os.environ)
    if PRIVATE:
        # The addresses that scripts/netns.sh gives the two hosts.
        env.update(KESNET_DEMO_PRIVATE="1", KESNET_DEMO_LOCAL="10.77.1.1", KESNET_DEMO_SECOND="10.77.2.1",
                   KESNET_DEMO_PEER="10.77.1.2", KESNET_DEMO_PEER_NS=os.environ.get("KESNET_NETNS_PEER", ""))
    else:
        print("NOTE: not in the private network of the test command (run as root): the demo runs on")
        print("      loopback and leaves out multicast and Wake-on-LAN")
    result = subprocess.run(TOOL + ["demo"], capture_output=True, text=True, env=env, timeout=600)
    print(result.stdout + result.stderr)
    failures = []
    steps = re.findall(r"^== \d+\. (.*) ==$", result.stdout, re.M)
    finished = re.search(r"^demo finished: (\d+) of (\d+) steps worked$", result.stdout, re.M)
    if result.returncode != 0:
        failures.append("exit %d" % result.returncode)
    if not finished or finished.group(1) != finished.group(2) or int(finished.group(2)) != len(steps):
        failures.append("not every step worked")
    if "FAILED" in result.stdout:
        failures.append("a check FAILED")
    skipped = result.stdout.count("  skipped ")
    if PRIVATE and skipped:
        failures.append("%d steps skipped inside the private network" % skipped)
    for failure in failures:
        print("FAIL " + failure)
    if not failures:
        print("ok: %d steps worked%s" % (len(steps), "" if PRIVATE else ", %d of them skipped on loopback" % skipped))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
