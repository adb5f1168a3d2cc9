#!/usr/bin/env python3
"""The benchmark results and the report made from them.

    report.py RESULTS.tsv OUTDIR    writes OUTDIR/benchmarks.md and benchmarks.png
                                    again from saved results

Results are lines of tab-separated fields:
    figure  ID  BENCH  UNIT  BETTER  TARGETS  LIMIT  RATIO  TITLE  NOTE
    sample  ID  VARIANT  VALUE
    missing ID  VARIANT  REASON
    note    ID  TEXT
    machine KEY VALUE       (where and how the figures were measured)
The variant "kesnet" is the library; "native" is the native Linux ceiling;
every other variant is a baseline measured under the same Wine.
"""
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys

LIBRARY, CEILING = "kesnet", "native"


class Figure:
    def __init__(self, fid, bench, title, unit, better, targets, limit=None, note=None, ratio=True):
        self.id, self.bench, self.title, self.unit = fid, int(bench), title, unit
        self.better, self.targets, self.limit = better, targets, limit
        self.note, self.ratio = note, ratio


class Results:
    def __init__(self):
        self.figures = {}
        self.samples = {}   # (figure, variant) -> [values]
        self.missing = {}   # (figure, variant) -> reason
        self.notes = []     # (figure, text)
        self.machine = {}

    def declare(self, fid, bench, title, unit, better, targets, limit=None, note=None, ratio=True):
        self.figures[fid] = Figure(fid, bench, title, unit, better, targets, limit, note, ratio)

    def add(self, fid, variant, value):
        self.samples.setdefault((fid, variant), []).append(value)

    def missing_variant(self, fid, variant, reason):
        self.missing[(fid, variant)] = reason

    def note(self, fid, text):
        self.notes.append((fid, text))

    def absorb(self, text):
        """Takes the sample lines of a benchmark program's output."""
        for line in text.splitlines():
            fields = line.split("\t")
            if fields[0] == "sample":
                self.add(fields[1], fields[2], float(fields[3]))
            elif fields[0] == "missing":
                self.missing_variant(fields[1], fields[2], fields[3])
            elif fields[0] == "error":
                raise RuntimeError(fields[1])

    def median(self, fid, variant):
        values = self.samples.get((fid, variant))
        return statistics.median(values) if values else None

    def variants(self, fid):
        found = {v for (f, v) in list(self.samples) + list(self.missing) if f == fid}
        return sorted(found - {LIBRARY, CEILING})

    def save(self, path):
        with open(path, "w") as out:
            for f in self.figures.values():
                targets = ",".join(f"{b}:{t}" for b, t in f.targets.items())
                out.write("\t".join(["figure", f.id, str(f.bench), f.unit, f.better, targets or "-",
                                     "-" if f.limit is None else str(f.limit), str(int(f.ratio)),
                                     f.title, f.note or "-"]) + "\n")
            for (fid, variant), values in self.samples.items():
                for v in values:
                    out.write(f"sample\t{fid}\t{variant}\t{v:.6g}\n")
            for (fid, variant), reason in self.missing.items():
                out.write(f"missing\t{fid}\t{variant}\t{reason}\n")
            for fid, text in self.notes:
                out.write(f"note\t{fid}\t{text}\n")
            for key, value in self.machine.items():
                out.write(f"machine\t{key}\t{value}\n")

    @staticmethod
    def load(path):
        r = Results()
        with open(path) as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if fields[0] == "figure":
                    targets = {} if fields[5] == "-" else {
                        b: float(t) for b, t in (x.rsplit(":", 1) for x in fields[5].split(","))}
                    r.declare(fields[1], fields[2], fields[8], fields[3], fields[4], targets,
                              None if fields[6] == "-" else float(fields[6]),
                              None if fields[9] == "-" else fields[9], fields[7] == "1")
                elif fields[0] == "note":
                    r.note(fields[1], fields[2])
                elif fields[0] == "machine":
                    r.machine[fields[1]] = fields[2]
                else:
                    r.absorb(line)
        return r


# The architectures a run measures: the library and its baselines are built
# for one of them and run under the Wine of that architecture.
ARCHS = {"win32": "32-bit (i686)", "win64": "64-bit (x86_64)"}


def arch_text(machine):
    arch = machine.get("arch", "?")
    return f"{arch}, {ARCHS.get(arch, 'architecture not recorded')}"


def load_average():
    return "%.2f %.2f %.2f" % os.getloadavg()


def machine_facts():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    try:
        wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True).stdout.strip()
    except OSError:
        wine = "not found"
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu,
        "cores": str(os.cpu_count()),
        "kernel": platform.release(),
        "wine": wine,
        "load_before": load_average(),
    }


def fmt(value):
    if value is None:
        return "—"
    if value == 0:
        return "0"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    if abs(value) >= 1:
        return f"{value:.2f}"
    if abs(value) >= 0.1:
        return f"{value:.3f}"
    return f"{value:.3g}"


def target_text(fig, baseline):
    if baseline in fig.targets:
        return ("≥ " if fig.better == "higher" else "≤ ") + f"{fig.targets[baseline]:g}"
    return ""


def meets(fig, ratio, baseline):
    if ratio is None or baseline not in fig.targets:
        return ""
    t = fig.targets[baseline]
    return "yes" if (ratio >= t if fig.better == "higher" else ratio <= t) else "**no**"


# The report and its chart; the report links the chart by name, so the two may
# be copied elsewhere together.
REPORT, CHART = "benchmarks.md", "benchmarks.png"

# Figures of benchmark number 0 explain others: the cost of single calls.
CALLS = 0


def rows(results):
    """One row per figure and baseline: (figure, baseline, lib, base, ratio)."""
    for fig in sorted(results.figures.values(), key=lambda f: f.bench):
        if fig.bench == CALLS:
            continue
        lib = results.median(fig.id, LIBRARY)
        baselines = results.variants(fig.id) or [None]
        for baseline in baselines:
            base = results.median(fig.id, baseline) if baseline else None
            ratio = lib / base if fig.ratio and lib is not None and base else None
            yield fig, baseline, lib, base, ratio


def relative(fig, ratio):
    """The ratio turned so that above 1 is always better for the library."""
    return ratio if fig.better == "higher" else 1 / ratio


def markdown(results):
    machine = results.machine
    arch = machine.get("arch", "?")
    out = ["# kesnet benchmarks", ""]
    out.append(f"Architecture: **{arch_text(machine)}**: every figure below (the library and its "
               f"Wine baselines) was measured with programs built for {arch}, under the Wine of that "
               f"architecture.")
    out.append("")
    out.append(f"Measured {machine.get('date', '?')} on {machine.get('cpu', '?')} "
               f"({machine.get('cores', '?')} cores), Linux {machine.get('kernel', '?')}, "
               f"{machine.get('wine', '?')}; {machine.get('mode', '')}; the run took "
               f"{machine.get('duration', '?')}. Load average (1, 5, 15 min) before "
               f"{machine.get('load_before', '?')}, after {machine.get('load_after', '?')}.")
    out.append("")
    out.append("Every value is the median of the repetitions. *kesnet* is the library (the DLL, "
               "under Wine); the baselines do the same job with raw Winsock (or Asio) under the same "
               "Wine in the same run; the ratio is kesnet / baseline. *native* is the same raw job "
               "on Linux without Wine: the platform's ceiling.")
    out.append("")
    out.append("| # | Figure | Arch | Unit | kesnet | Baseline | Baseline value | Ratio | Target | Met | Native |")
    out.append("|---|---|---|---|---|---|---|---|---|---|---|")
    for fig, baseline, lib, base, ratio in rows(results):
        lib_text = fmt(lib)
        if lib is None:
            lib_text = "pending" if (fig.id, LIBRARY) in results.missing else "—"
        target, met = target_text(fig, baseline), meets(fig, ratio, baseline)
        if fig.limit is not None and baseline == results.variants(fig.id)[0]:
            target = ("< " if fig.better == "lower" else "> ") + f"{fig.limit:g} {fig.unit}"
            if lib is not None:
                met = "yes" if (lib < fig.limit if fig.better == "lower" else lib > fig.limit) else "**no**"
        out.append(f"| {fig.bench} | {fig.title} | {arch} | {fig.unit} | {lib_text} | {baseline or '—'} | "
                   f"{fmt(base)} | {fmt(ratio) if ratio is not None else '—'} | {target} | {met} | "
                   f"{fmt(results.median(fig.id, CEILING))} |")
    out.append("")
    out.append(f"![Ratios]({CHART})")
    out.append("")
    calls = [f for f in results.figures.values() if f.bench == CALLS]
    if calls:
        out.append(f"## What single calls cost under this Wine ({arch})")
        out.append("")
        out.append("Medians, microseconds per call, each timed in a loop. Under Wine most socket calls "
                   "are a round trip to the Wine server, so a receive path costs roughly the sum of "
                   "the calls it makes per datagram.")
        out.append("")
        out.append("| Call | µs |")
        out.append("|---|---|")
        for fig in calls:
            out.append(f"| {fig.title} | {fmt(results.median(fig.id, 'wine'))} |")
        out.append("")
    out.append("## Notes")
    out.append("")
    seen = set()
    for fig in sorted(results.figures.values(), key=lambda f: f.bench):
        if fig.note and fig.note not in seen:
            seen.add(fig.note)
            out.append(f"- {fig.bench}: {fig.note}.")
    missing = {}
    for (fid, variant), reason in sorted(results.missing.items()):
        missing.setdefault((variant, reason), []).append(f"`{fid}`")
    for (variant, reason), fids in missing.items():
        out.append(f"- Not measured, {variant}: {reason}: {', '.join(fids)}.")
    for fid, text in results.notes:
        out.append(f"- `{fid}`: {text}.")
    out.append("")
    out.append("## Every sample")
    out.append("")
    out.append("| Figure | Variant | n | Median | Min | Max |")
    out.append("|---|---|---|---|---|---|")
    for (fid, variant), values in sorted(results.samples.items()):
        out.append(f"| `{fid}` | {variant} | {len(values)} | {fmt(statistics.median(values))} | "
                   f"{fmt(min(values))} | {fmt(max(values))} |")
    return "\n".join(out) + "\n"


def chart(results, out_dir):
    """A bar per figure and baseline: the library's performance relative to
    the baseline, higher is better; lines at 1 and at 0.9."""
    if shutil.which("gnuplot") is None:
        return False
    data = os.path.join(out_dir, "ratios.dat")
    count = 0
    with open(data, "w") as f:
        for fig, baseline, lib, base, ratio in rows(results):
            if ratio is None:
                continue
            label = f"{fig.bench}: {fig.id} / {baseline}"
            color = 0x3a6ea5 if baseline in fig.targets else 0x9aa5b1  # with a target: blue
            f.write(f'"{label}" {relative(fig, ratio):.4f} {color}\n')
            count += 1
    if count == 0:
        return False
    script = f"""
set terminal pngcairo size {max(900, 40 * count + 250)},760 font "sans,9"
set output "{os.path.join(out_dir, CHART)}"
set title "kesnet ({results.machine.get('arch', '?')}) relative to its baselines under the same Wine (above 1: kesnet better; blue: figures with a target)"
set style fill solid 0.6 border -1
set boxwidth 0.7
set xtics rotate by -60 left noenhanced
set ylabel "relative performance"
set yrange [0:*]
set grid ytics
set bmargin 20
set rmargin 16
plot "{data}" using 0:2:3:xticlabels(1) with boxes notitle lc rgb variable, \\
     1.0 with lines lw 2 lc rgb "#2b8a3e" title "baseline", \\
     0.9 with lines dt 2 lw 2 lc rgb "#c92a2a" title "target (within 10%)"
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return True


# The multicast benchmark's report (bench/cast_bench.sh), when there is one.
CAST_REPORT = "cast.md"


def write(results, out_dir):
    text = markdown(results)
    if os.path.exists(os.path.join(out_dir, CAST_REPORT)):
        text = text.replace("\n## Notes\n", f"\n## Multicast transfer\n\nThe multicast transfer against TCP, "
                            f"udpcast and UFTP on a shaped classroom link: [{CAST_REPORT}]({CAST_REPORT}).\n"
                            "\n## Notes\n", 1)
    if not chart(results, out_dir):
        text = text.replace(f"![Ratios]({CHART})", "(no chart: gnuplot is missing or no ratio was measured)")
    with open(os.path.join(out_dir, REPORT), "w") as f:
        f.write(text)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    write(Results.load(sys.argv[1]), sys.argv[2])
