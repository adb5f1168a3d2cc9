#!/usr/bin/env python3
"""The report of the multicast benchmark (bench/cast_bench.sh): its figures
beside those measured elsewhere on the same set-up, and its targets.

    cast_report.py RESULTS.tsv OUTDIR --file-mib N --arch ARCH --sender COMMAND
                   --limit S --tcp-limit S [--load-before LOAD]

RESULTS.tsv has one line per transfer, tab-separated:
    METHOD STUDENTS LOSS OUTCOME SECONDS WHOLE TOTAL NOTE
OUTCOME is done, timeout or failed; NOTE is "-", or for kesnet "repair P %",
followed by "; the sender gave up on K" when its table had students dropped or
absent.
Writes OUTDIR/cast.md.
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402

REPORT = "cast.md"
METHODS = [("kesnet", "kesnet cast"), ("tcp", "TCP (kesnet tcp-send)"), ("udpcast", "udpcast"),
           ("uftp", "UFTP")]
RIVALS = ("udpcast", "uftp")

# Seconds until every student had the 64 MiB file, measured on another machine
# on this same set-up; None: did not finish in 180 s.
ANCHORS = {
    "udpcast": {(1, 0): 8.1, (8, 0): 8.3, (8, 2): 9.8, (30, 0): 9.8, (30, 2): None},
    "uftp": {(1, 0): 5.8, (8, 0): 5.8, (8, 2): 7.2, (30, 0): 9.2, (30, 2): 13.5},
}
ANCHOR_MIB = 64


class Transfer:
    def __init__(self, fields):
        self.method, students, loss, self.outcome, seconds, whole, total, note = fields
        self.students, self.loss = int(students), int(loss)
        self.seconds, self.whole, self.total = float(seconds), int(whole), int(total)
        self.note = "" if note == "-" else note

    @property
    def done(self):
        return self.outcome == "done"

    def _part(self, lead):
        """The words of the note's part that starts with `lead` (parts are
        separated by "; ")."""
        for part in self.note.split("; "):
            if part.startswith(lead):
                return part[len(lead):].split()
        return []

    def repair(self):
        """The sender's repair share in percent, if it printed one."""
        words = self._part("repair ")
        try:
            return float(words[0])
        except (IndexError, ValueError):
            return None

    def given_up(self):
        """How many students the kesnet sender gave up on (its table says
        dropped or absent)."""
        words = self._part("the sender gave up on ")
        return int(words[0]) if words else 0


def load(path):
    with open(path) as f:
        transfers = [Transfer(line.rstrip("\n").split("\t")) for line in f if line.strip()]
    return {(t.method, t.students, t.loss): t for t in transfers}


def seconds_text(t, limits):
    if t is None:
        return "—"
    if t.done:
        return f"{t.seconds:.1f} s"
    if t.outcome == "timeout":
        return f"did not finish in {limits[t.method]:.0f} s ({t.whole} of {t.total} whole)"
    why = f"; the sender gave up on {t.given_up()}" if t.given_up() else ""
    return f"failed after {t.seconds:.1f} s ({t.whole} of {t.total} whole{why})"


def anchor_text(value, known):
    if not known:
        return "—"
    return f"{value:.1f} s" if value is not None else "did not finish in 180 s"


def faster_than(kesnet, rival):
    """Whether kesnet had every copy whole sooner than the rival did; None
    when either was not measured."""
    if kesnet is None or rival is None:
        return None
    if not kesnet.done:
        return False
    return not rival.done or kesnet.seconds < rival.seconds


def yes_no(flag):
    return "—" if flag is None else ("yes" if flag else "**no**")


def rows_of(results):
    return sorted({(s, l) for (_, s, l) in results})


def figures_table(results, limits):
    out = ["| Students | Loss | " + " | ".join(name for _, name in METHODS) +
           " | kesnet repair | kesnet faster than udpcast and UFTP |",
           "|---|---|" + "---|" * len(METHODS) + "---|---|"]
    for students, loss in rows_of(results):
        cells = [seconds_text(results.get((m, students, loss)), limits) for m, _ in METHODS]
        kesnet = results.get(("kesnet", students, loss))
        repair = kesnet.repair() if kesnet else None
        verdicts = [faster_than(kesnet, results.get((r, students, loss))) for r in RIVALS]
        both = None if None in verdicts else all(verdicts)
        out.append(f"| {students} | {loss} % | " + " | ".join(cells) +
                   f" | {'—' if repair is None else f'{repair:.1f} %'} | {yes_no(both)} |")
    return out


def anchors_table():
    keys = sorted({k for table in ANCHORS.values() for k in table})
    out = ["| Students | Loss | udpcast | UFTP |", "|---|---|---|---|"]
    for students, loss in keys:
        cells = [anchor_text(ANCHORS[m].get((students, loss)), (students, loss) in ANCHORS[m])
                 for m in RIVALS]
        out.append(f"| {students} | {loss} % | " + " | ".join(cells) + " |")
    return out


def ratio(a, b):
    return a.seconds / b.seconds if a and b and a.done and b.done else None


def targets_table(results):
    out = ["| Target | Measured | Met |", "|---|---|---|"]

    slower = [f"{s}/{l} %" for s, l in rows_of(results)
              if False in (faster_than(results.get(("kesnet", s, l)), results.get((r, s, l)))
                           for r in RIVALS)]
    compared = any(faster_than(results.get(("kesnet", s, l)), results.get((r, s, l))) is not None
                   for s, l in rows_of(results) for r in RIVALS)
    out.append("| kesnet faster than udpcast and UFTP at every row | " +
               (f"not at {', '.join(slower)}" if slower else "every row" if compared else "not measured") +
               f" | {yes_no(None if not compared else not slower)} |")

    crowd, alone, idle = (results.get(("kesnet", s, l)) for s, l in ((30, 2), (1, 2), (1, 0)))
    scale = ratio(crowd, alone)
    text = "not measured" if scale is None else f"{crowd.seconds:.1f} s against {alone.seconds:.1f} s: {scale:.2f}x"
    if ratio(crowd, idle) is not None:
        text += f" ({ratio(crowd, idle):.2f}x of 1 student without loss)"
    out.append(f"| 30 students at 2 % loss within 1.3x of 1 student at 2 % | {text} | "
               f"{yes_no(None if scale is None else scale <= 1.3)} |")

    gains = []
    for loss in (0, 2):
        kesnet, tcp = results.get(("kesnet", 30, loss)), results.get(("tcp", 30, loss))
        if kesnet and tcp:
            if kesnet.done and tcp.done:
                gains.append((loss, tcp.seconds / kesnet.seconds, f"{tcp.seconds / kesnet.seconds:.1f}x"))
            elif kesnet.done:
                gains.append((loss, None, f"TCP did not finish; kesnet {kesnet.seconds:.1f} s"))
            else:
                gains.append((loss, 0, "kesnet did not finish"))
    met = None if not gains else all(g is None or g >= 10 for _, g, _ in gains)
    out.append("| at least 10x faster than TCP at 30 students | " +
               ("; ".join(f"{loss} %: {text}" for loss, _, text in gains) or "not measured") +
               f" | {yes_no(met)} |")

    crowd_repair = crowd.repair() if crowd else None
    out.append("| repair at 30 students and 2 % loss at most 5 % of the file | " +
               ("not measured" if crowd_repair is None else f"{crowd_repair:.1f} %") +
               f" | {yes_no(None if crowd_repair is None else crowd_repair <= 5)} |")
    return out


def markdown(results, args):
    machine = report.machine_facts()
    payload = args.file_mib * (1 << 20) * 8 / 100e6
    limits = {"kesnet": args.limit, "udpcast": args.limit, "uftp": args.limit, "tcp": args.tcp_limit}
    out = [f"# kesnet multicast transfer: a {args.file_mib} MiB file to a classroom", ""]
    out.append(f"Measured {machine['date']} on {machine['cpu']} ({machine['cores']} cores), Linux "
               f"{machine['kernel']}, {machine['wine']}. Load average (1, 5, 15 min) before "
               f"{args.load_before}, after {machine['load_before']}; the students' processes and the "
               "bridge share the machine's cores with whatever else it runs.")
    out.append("")
    out.append(f"One teacher gives a file of {args.file_mib} MiB of random bytes to 1, 8 and 30 "
               "students at once. One Linux bridge (multicast snooping off) in a network namespace of "
               "its own; the teacher and every student each in a namespace of their own with one link "
               "to it; the teacher's side of its link shaped to 100 Mbit/s (`tc qdisc add dev eth0 "
               "root tbf rate 100mbit burst 32kbit latency 50ms`); the loss made on every student's "
               "input by nftables (`ip saddr TEACHER numgen random mod 100 lt 2 drop`), for every "
               "packet from the teacher, UDP and TCP alike. Each figure is the time from the "
               "sender's start until every student holds the whole file (for TCP: until the last "
               "sender and the last receiver ended), one run each; every copy's sha256 is checked. "
               f"The payload alone needs {payload:.1f} s at 100 Mbit/s.")
    out.append("")
    out.append("- *kesnet cast*: `" + args.sender + " FILE --group GROUP:PORT --from TEACHER "
               "--seconds S --expect ID...` to `kesnet-cast receive` (native, without sanitizers); "
               "*kesnet repair* is the sender's count of repair packets as a share of its data "
               "packets.")
    out.append(f"- *TCP*: the library's TCP sender, `kesnet tcp-send STUDENT:PORT @FILE --from TEACHER` "
               f"under Wine ({args.arch}, {report.ARCHS.get(args.arch, '?')}), one process per student, all "
               "started at once, to plain TCP receivers (bench/tcp_sink.py); the time includes Wine's "
               "start of every process.")
    out.append("- *udpcast*: `udp-sender --interface eth0 --mcast-data-address GROUP --min-receivers N "
               "--nokbd` to `udp-receiver --interface eth0 --nokbd` (both with --portbase), defaults "
               "otherwise.")
    out.append("- *UFTP*: `uftp -I eth0 -M GROUP -P GROUP -R 100000 -H ID,...` (closed group, rate "
               "100 Mbit/s) to `uftpd -d -q -I eth0 -M GROUP -U ID`.")
    out.append("")
    out.extend(figures_table(results, limits))
    out.append("")
    out.append("The output of the kesnet sender of every row, and of every program of a transfer that "
               "did not end well, is in cast-logs/ beside this report. udpcast, with its defaults, "
               "does not repeat its announcement: a student that misses it, or the answer to its "
               "connection request, is never part of the transfer, and the sender waits for it to "
               "the end (its log "
               "stops at the connections it had, or repeats `Timeout notAnswered=[...]`); with 2 % "
               "loss that happens by chance, the more often the more students there are.")
    out.append("")
    out.append("## Targets")
    out.append("")
    out.extend(targets_table(results))
    out.append("")
    out.append(f"## Measured elsewhere on this set-up ({ANCHOR_MIB} MiB)")
    out.append("")
    out.append("For comparison. The payload alone needs 5.4 s at 100 Mbit/s.")
    out.append("")
    out.extend(anchors_table())
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("results")
    parser.add_argument("out_dir")
    parser.add_argument("--file-mib", type=int, required=True)
    parser.add_argument("--arch", required=True)
    parser.add_argument("--sender", required=True)
    parser.add_argument("--limit", type=float, required=True)
    parser.add_argument("--tcp-limit", type=float, required=True)
    parser.add_argument("--load-before", default="?")
    args = parser.parse_args()
    with open(os.path.join(args.out_dir, REPORT), "w") as f:
        f.write(markdown(load(args.results), args))


if __name__ == "__main__":
    main()
