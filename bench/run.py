#!/usr/bin/env python3
"""The bench driver: runs every benchmark program, sends the traffic that the
receivers under Wine are measured with, and writes the results and the report.

    run.py --bin BUILD/bin --arch win32|win64 --native BUILD/bench-native/bench_native
           --out DIR [--reps N] [--quick] [--peer-ns NAME --links N] [--sealer BENCH_SEAL]

Every figure is measured for the library ("kesnet") and its baselines in the
same run, repetition by repetition, alternating which goes first. The native
Linux figures ("native") are the platform's ceiling. --arch names the
architecture of the programs in --bin (the library and the baselines alike). With --peer-ns the
multi-address benchmark sends from that namespace to the links 10.77.<i>.1. --sealer is the
native bench_seal, which seals the datagrams of the keyed receive benchmark.
"""
import argparse
import os
import select
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402

LOOPBACK = "127.0.0.1"

# Volumes: (normal, quick). Under Wine every socket call costs tens of
# microseconds, so the volumes keep each repetition near one second.
VOLUMES = {
    "udp_saturation_rate": (80000, 4000),   # datagrams/s sent at the Wine receivers
    "udp_saturation_count": (80000, 800),
    "udp_native_count": (300000, 5000),     # sent flat out at the native receiver
    "udp_scale_rate": (100000, 4000),       # over all eight addresses
    "udp_scale_count": (100000, 800),
    "udp_paced_rate": (2000, 2000),
    "udp_paced_count": (2000, 200),
    # Streamed by each TCP load, over all clients: to a server that reads 1536
    # bytes at a time, and to the others.
    "tcp_bytes": (4 << 20, 256 << 10),
    "tcp_bulk_bytes": (64 << 20, 1 << 20),
    "tcp_native_bytes": (64 << 20, 1 << 20),
    "idle_settle": (0.2, 0.05),             # seconds before and during the idle window
    "idle_window": (0.5, 0.1),
    "release_cycles_per_rep": (3, 1),
}
TCP_CLIENTS = (1, 8, 62)


class BenchError(Exception):
    pass


class Unavailable(Exception):
    """A receiver that this build or this machine cannot run."""


def volume(ctx, name):
    return VOLUMES[name][1 if ctx.quick else 0]


def cpu_seconds(pid):
    """CPU time of every live thread of a process, in seconds (nanosecond
    resolution, unlike the clock ticks of /proc/PID/stat)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / 1e9


def wineserver_pid(prefix):
    """The Wine server of the prefix: its working folder is named after the
    prefix's device and inode."""
    st = os.stat(prefix)
    name = "server-%x-%x" % (st.st_dev, st.st_ino)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.path.basename(os.readlink(f"/proc/{pid}/cwd")) == name:
                return int(pid)
        except OSError:
            pass
    return None


def free_port(kind=socket.SOCK_DGRAM, addr=LOOPBACK):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((addr, 0))
        return s.getsockname()[1]


class Agent:
    """A listen agent (under Wine, or the native one), driven line by line."""

    def __init__(self, argv, name, wineserver=None):
        self.name = name
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        self.pending = b""  # read from the agent, not yet taken as lines
        self.wineserver = wineserver
        self.kinds = {}
        self.send("kinds")
        while True:
            words = self.receive().split()
            if words[0] == "end":
                break
            self.kinds[words[1]] = {"proto": words[2], "max_addrs": int(words[3]),
                                    "baseline": None if words[4] == "-" else words[4]}

    def send(self, line):
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
        except OSError as error:
            raise BenchError(f"{self.name} has gone ({error})")

    def receive(self, timeout=60):
        # Reads the pipe itself: a buffered reader could hold lines that
        # select() no longer sees.
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            chunk = os.read(fd, 4096) if ready else b""
            if not chunk:
                raise BenchError(f"{self.name} did not answer")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode().strip()

    def ask(self, line):
        self.send(line)
        return self.receive()

    def start(self, kind, port, addrs, clients=62):
        if kind not in self.kinds:
            raise Unavailable(f"{kind} is not built")
        answer = self.ask(f"start {kind} {port} {','.join(addrs)} {clients}")
        if answer != "ready":
            raise Unavailable(answer)

    def tally(self):
        words = self.ask("tally").split()
        return int(words[1]), int(words[2]), float(words[3]), float(words[4])

    def stop(self):
        return float(self.ask("stop").split()[1])

    def cpu(self, with_server=True):
        """CPU seconds of the agent, and of the Wine server, which does much of
        the work of every socket call. The server also serves Wine's own
        service processes, a steady few milliseconds a second."""
        total = cpu_seconds(self.proc.pid)
        if with_server and self.wineserver:
            total += cpu_seconds(self.wineserver)
        return total

    def close(self):
        try:
            self.send("quit")
            self.proc.wait(timeout=30)
        except (BenchError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


class Context:
    def __init__(self, args):
        self.bin = args.bin
        self.native = args.native
        self.quick = args.quick
        self.reps = 1 if args.quick else args.reps
        self.peer_ns = args.peer_ns
        self.links = args.links
        self.sealer = args.sealer
        self.class_key = os.urandom(32).hex()  # the authentication benchmark's
        self.results = report.Results()
        self.wine_run = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                     "scripts", "wine-run.sh")
        self.start_agents()

    def start_agents(self):
        prefix = os.environ.get("KESNET_WINEPREFIX")
        self.wine = Agent([self.wine_run, self.exe("bench_listen_agent")], "the Wine agent",
                          wineserver_pid(prefix) if prefix else None)
        self.native_agent = Agent([self.native, "agent"], "the native agent")

    def restart_agents(self):
        """After a failure: the agents may have died or be in any state."""
        self.close()
        self.start_agents()

    def exe(self, name):
        return os.path.join(self.bin, name + ".exe")

    def agent_for(self, kind):
        return self.native_agent if kind.startswith("native") else self.wine

    def run_program(self, argv, peer=False):
        """Runs a program to its end; its standard output."""
        if peer:
            argv = ["ip", "netns", "exec", self.peer_ns] + argv
        done = subprocess.run(argv, stdout=subprocess.PIPE, text=True, timeout=600)
        if done.returncode != 0:
            raise BenchError(f"{' '.join(argv)} failed ({done.returncode}):\n{done.stdout}")
        return done.stdout

    def wine_program(self, name, *args):
        argv = [self.wine_run, self.exe(name), "--reps", str(self.reps)] + list(args)
        if self.quick:
            argv.append("--quick")
        return self.run_program(argv)

    def link_addrs(self):
        return [f"10.77.{i + 1}.1" for i in range(self.links)]

    def close(self):
        self.wine.close()
        self.native_agent.close()


def alternate(items, rep):
    return list(items) if rep % 2 == 0 else list(reversed(items))


def run_variants(ctx, variants, measure):
    """Calls measure(variant, kind) for every repetition, alternating the
    order; a kind that cannot run is reported once as missing."""
    missing = set()
    for rep in range(ctx.reps):
        for variant, kind in alternate(variants, rep):
            if variant in missing:
                continue
            try:
                measure(variant, kind)
            except Unavailable as why:
                missing.add(variant)
                yield variant, str(why)


# 1 and 2 ---------------------------------------------------------------------

def bench_send(ctx):
    r = ctx.results
    for size in (64, 1400):
        r.declare(f"send_rate.{size}", 1, f"CKesSend::Send, {size}-byte datagrams", "datagrams/s",
                  "higher", {"raw": 0.9})
    r.declare("oneshot_rate", 2, "KesSend, a socket per datagram (64 bytes)", "datagrams/s", "higher",
              {}, note="raw: socket, bind, sendto, closesocket; raw-same-setup adds the two "
                       "options every library sender sets (SO_REUSEADDR, SO_SNDBUF 64 KiB); "
                       "raw-same-setup-events also makes and closes the two events that every "
                       "library socket object holds from construction")
    r.absorb(ctx.wine_program("bench_send_rate"))
    count = 20000 if ctx.quick else 300000
    for size in (64, 1400):
        r.absorb(ctx.run_program([ctx.native, "send-rate", str(size), str(count), str(ctx.reps)]))


# 3 ---------------------------------------------------------------------------

def blast(ctx, dests, count, rate, peer=False):
    out = ctx.run_program([ctx.native, "blast", "64", str(count), str(rate)] + dests, peer)
    return int(out.split()[1])


def sealed_datagrams(ctx, port, count):
    """A file of `count` datagrams of 64 payload bytes for `port`, sealed with
    the class key; dated now, so the receiver must take them soon."""
    fd, path = tempfile.mkstemp(prefix="kesnet-sealed-")
    os.close(fd)
    ctx.run_program([ctx.sealer, ctx.class_key, str(port), "64", str(count), path])
    return path


def replay(ctx, path, dests, rate):
    out = ctx.run_program([ctx.native, "replay", path, str(rate)] + dests)
    return int(out.split()[1])


def wait_quiet(agent, quiet=0.3, limit=20):
    """The tally once nothing more has arrived for `quiet` seconds."""
    last = agent.tally()
    still_since = time.monotonic()
    deadline = still_since + limit
    while time.monotonic() < deadline:
        time.sleep(0.05)
        now = agent.tally()
        if now[0] != last[0]:
            last, still_since = now, time.monotonic()
        elif time.monotonic() - still_since >= quiet:
            break
    return last


def receive_run(ctx, kind, addrs, rate, count, peer=False, sealed=False):
    """Starts a receiver, blasts it (with datagrams sealed with the class key
    if `sealed`), returns (delivered, sent, rate, cpu/datagram)."""
    agent = ctx.agent_for(kind)
    port = free_port()
    path = sealed_datagrams(ctx, port, count) if sealed else None
    agent.start(kind, port, addrs)
    try:
        cpu0 = agent.cpu()
        dests = [f"{a}:{port}" for a in addrs]
        sent = replay(ctx, path, dests, rate) if sealed else blast(ctx, dests, count, rate, peer)
        delivered, _, first, last = wait_quiet(agent)
        cpu = agent.cpu() - cpu0
    finally:
        agent.stop()
        if path:
            os.unlink(path)
    speed = (delivered - 1) / (last - first) if delivered > 1 and last > first else 0
    return delivered, sent, speed, cpu / max(delivered, 1)


def check_saturated(ctx, figure, baseline, rate):
    """A rate at saturation means something only if the sender outran the
    receivers: the baseline must have lost datagrams."""
    loss = ctx.results.median(f"{figure}.loss", baseline)
    if loss is not None and loss < 10 and not ctx.quick:
        ctx.results.note(f"{figure}.rate", f"{baseline} lost only {loss:.1f} %: the sender hardly "
                         f"outran the receivers; raise {rate} in bench/run.py")


def bench_receive(ctx):
    r = ctx.results
    raw_note = ("raw-recvfrom: a blocking recvfrom loop; raw-event-udp: a raw thread that waits on "
                "the socket's event and reads one datagram per wake-up, as the listener does")
    r.declare("recv_saturated.rate", 3, "CKesListen delivery rate at saturation (64 bytes)",
              "datagrams/s", "higher", {"raw-recvfrom": 0.95}, note=raw_note)
    r.declare("recv_saturated.loss", 3, "CKesListen loss at saturation", "%", "lower", {},
              ratio=False,
              note="before a receive the listener clears its whole 64 KiB buffer whenever it was "
                   "handed to the host (or written by a receive) since the last clear, so that the "
                   "bytes after a datagram read as zero whatever the host's callback wrote there; "
                   "the clear is a string store of about a microsecond, and the same loop without "
                   "any clear delivered no faster at saturation: the rates differ from run to run "
                   "far more than that")
    r.declare("recv_saturated.cpu", 3, "CKesListen CPU per datagram at saturation (process and "
              "Wine server)", "us", "lower", {},
              note="CPU per datagram counts the Wine server's work for the process too; it depends "
                   "less than the rates on what else the machine runs")
    r.declare("recv_paced.loss", 3, "CKesListen loss at a paced %d datagrams/s"
              % volume(ctx, "udp_paced_rate"), "%", "lower", {}, ratio=False)
    r.declare("recv_paced.cpu", 3, "CKesListen CPU per datagram at the paced rate (process and "
              "Wine server)", "us", "lower", {},
              note="once woken, the listener reads until the socket is empty: under load a datagram "
                   "costs one receive, as in the blocking loop, but each wake-up ends with one "
                   "receive that finds nothing, so at low rates it spends more per datagram than "
                   "the event loop that reads once per wake-up")
    variants = [("kesnet", "CKesListen"), ("raw-recvfrom", "raw-recvfrom"),
                ("raw-event-udp", "raw-event-udp"), ("native", "native-recvfrom")]

    def saturated(variant, kind):
        native = variant == "native"
        count = volume(ctx, "udp_native_count" if native else "udp_saturation_count")
        rate = 0 if native else volume(ctx, "udp_saturation_rate")
        delivered, sent, speed, cpu = receive_run(ctx, kind, [LOOPBACK], rate, count)
        r.add("recv_saturated.rate", variant, speed)
        r.add("recv_saturated.loss", variant, 100.0 * (sent - delivered) / sent)
        r.add("recv_saturated.cpu", variant, cpu * 1e6)

    def paced(variant, kind):
        delivered, sent, _, cpu = receive_run(ctx, kind, [LOOPBACK], volume(ctx, "udp_paced_rate"),
                                              volume(ctx, "udp_paced_count"))
        r.add("recv_paced.loss", variant, 100.0 * (sent - delivered) / sent)
        r.add("recv_paced.cpu", variant, cpu * 1e6)

    for variant, why in run_variants(ctx, variants, saturated):
        r.missing_variant("recv_saturated.rate", variant, why)
    check_saturated(ctx, "recv_saturated", "raw-recvfrom", "udp_saturation_rate")
    for variant, why in run_variants(ctx, variants[:3], paced):
        r.missing_variant("recv_paced.loss", variant, why)


# 5 and the TCP half of 8 -----------------------------------------------------

def jain(values):
    return sum(values) ** 2 / (len(values) * sum(v * v for v in values))


def tcp_load(ctx, clients, total, dests, peer=False):
    """Runs the load generator; (aggregate bytes/s, Jain's index of the
    clients' completion times)."""
    out = ctx.run_program([ctx.native, "load", str(clients), str(total)] + dests, peer)
    times = [float(line.split()[3]) for line in out.splitlines() if line.startswith("client ")]
    return total / max(times), jain(times)


# The Wine servers that read 1536 bytes at a time; the others read far more
# per call and take a larger volume, so that a load lasts long enough to time.
SMALL_READERS = ("raw-tcp", "asio-1536")


def tcp_volume(ctx, variant):
    if variant == "native":
        return volume(ctx, "tcp_native_bytes")
    return volume(ctx, "tcp_bytes" if variant in SMALL_READERS else "tcp_bulk_bytes")


def tcp_runs(ctx, figure, variants, addrs, clients_list, peer=False):
    """For every repetition and variant: starts the server, runs one load per
    client count, and checks that every byte reached the server."""
    r = ctx.results

    def measure(variant, kind):
        total = tcp_volume(ctx, variant)
        agent = ctx.agent_for(kind)
        port = free_port(socket.SOCK_STREAM)
        agent.start(kind, port, addrs, max(clients_list) // len(addrs))
        try:
            for clients in clients_list:
                before = agent.tally()[1]
                speed, fairness = tcp_load(ctx, clients, total, [f"{a}:{port}" for a in addrs], peer)
                got = agent.tally()[1] - before
                if got != total:
                    r.note(f"{figure}.c{clients}", f"{variant} received {got} of {total} bytes")
                r.add(f"{figure}.c{clients}", variant, speed / 1e6)
                r.add(f"{figure}_fairness.c{clients}", variant, fairness)
        finally:
            agent.stop()

    for variant, why in run_variants(ctx, variants, measure):
        for clients in clients_list:
            r.missing_variant(f"{figure}.c{clients}", variant, why)
            r.missing_variant(f"{figure}_fairness.c{clients}", variant, why)


def bench_tcp(ctx):
    r = ctx.results
    for clients in TCP_CLIENTS:
        r.declare(f"tcp.c{clients}", 5, f"CTcpListen throughput, {clients} client(s)", "MB/s", "higher",
                  {"raw-tcp": 0.9, "asio-65536": 1.0},
                  note="raw-tcp: one thread, WSAEventSelect and WSAWaitForMultipleEvents, "
                       "1536-byte reads, as the library read before it read in large blocks; "
                       "asio-1536 and asio-65536: a standalone Asio server reading 1536 bytes or "
                       "64 KiB at a time with overlapped receives. The library's TCP listener "
                       "makes, for each read, a wait over all its clients' events, an event query "
                       "(the only way to see a client's close) and the read, each a round trip to "
                       "the Wine server; it reads up to 256 KiB at once and hands the bytes to the "
                       "callback in pieces of at most 1536 bytes, so those three calls are spent "
                       "on up to 256 KiB instead of 1536 bytes (reads of 64 KiB left it behind "
                       "Asio's 64 KiB reads; larger than 256 KiB helped a few clients and hurt 62); "
                       "the callbacks, 171 for 256 KiB, are the host's share. The library reads "
                       "its clients in turn, one read each, and the raw server lowest place "
                       "first: serving in turn buys fairness (index 1.00 against 0.77), so that "
                       "no client waits behind one that never pauses. The servers reading 1536 "
                       "bytes at a time stream 4 MiB per load, the others 64 MiB")
        r.declare(f"tcp_fairness.c{clients}", 5, f"CTcpListen fairness, {clients} client(s) "
                  "(Jain's index of the completion times)", "index", "higher", {})
    variants = [("kesnet", "CTcpListen"), ("raw-tcp", "raw-tcp"), ("asio-1536", "asio-1536"),
                ("asio-65536", "asio-65536"), ("native", "native-tcp")]
    tcp_runs(ctx, "tcp", variants, [LOOPBACK], TCP_CLIENTS)


# 6 and 7 ---------------------------------------------------------------------

def listener_addrs(ctx, kind):
    """The addresses a listener of that kind serves in 6 and 7: every link for
    the multi-address kinds when there are links, else loopback addresses."""
    if ctx.wine.kinds[kind]["max_addrs"] == 1:
        return [LOOPBACK]
    if ctx.links >= 2:
        return ctx.link_addrs()
    return [f"127.0.0.{i + 1}" for i in range(8)]


def library_listeners(ctx):
    return [(k, v["baseline"]) for k, v in ctx.wine.kinds.items() if v["baseline"]]


def bench_idle_and_release(ctx):
    r = ctx.results
    settle, window = volume(ctx, "idle_settle"), volume(ctx, "idle_window")

    def idle(figure, addrs):
        def measure(variant, kind):
            agent = ctx.agent_for(kind)
            proto = ctx.wine.kinds[kind]["proto"]
            agent.start(kind, free_port(socket.SOCK_STREAM if proto == "tcp" else socket.SOCK_DGRAM), addrs)
            try:
                time.sleep(settle)
                cpu0 = agent.cpu(with_server=False)
                time.sleep(window)
                r.add(figure, variant, (agent.cpu(with_server=False) - cpu0) / window * 1000)
            finally:
                agent.stop()
        return measure

    def release(figure, addrs):
        def measure(variant, kind):
            agent = ctx.agent_for(kind)
            proto = ctx.wine.kinds[kind]["proto"]
            for _ in range(volume(ctx, "release_cycles_per_rep")):
                agent.start(kind, free_port(socket.SOCK_STREAM if proto == "tcp" else socket.SOCK_DGRAM), addrs)
                time.sleep(0.1)  # the receive thread is asleep in its wait by now
                r.add(figure, variant, agent.stop() * 1000)
        return measure

    for kind, baseline in library_listeners(ctx):
        addrs = listener_addrs(ctx, kind)
        where = f" on {len(addrs)} addresses" if len(addrs) > 1 else ""
        variants = [("kesnet", kind), ("raw", baseline)]
        idle_id, release_id = f"idle_cpu.{kind}", f"release.{kind}"
        r.declare(idle_id, 6, f"{kind} idle{where}: CPU per idle second of the process",
                  "ms/s", "lower", {}, limit=1.0,
                  note=f"raw: {baseline}, the same wait written with raw Winsock")
        r.declare(release_id, 7, f"{kind} Release with an idle thread{where}", "ms", "lower", {},
                  note=f"raw: {baseline} stopped by setting its stop event and joining its thread")
        for variant, why in run_variants(ctx, variants, idle(idle_id, addrs)):
            r.missing_variant(idle_id, variant, why)
        for variant, why in run_variants(ctx, variants, release(release_id, addrs)):
            r.missing_variant(release_id, variant, why)


# 4 ---------------------------------------------------------------------------

def bench_round_trip(ctx):
    r = ctx.results
    for what in ("median", "p99"):
        r.declare(f"round_trip.{what}", 4, f"CKesSend2::Send to an echoing CKesListen, {what} "
                  "round trip", "us", "lower", {"raw": 1.1},
                  note="raw: a UDP ping-pong between two raw sockets of the same process. The "
                       "acknowledged send crosses two receive threads (the echoing listener's and "
                       "the sender's own echo listener) and an event before Send returns; the "
                       "ping-pong wakes one thread and the sender")
    r.absorb(ctx.wine_program("bench_round_trip"))


# 8 ---------------------------------------------------------------------------

def bench_scale(ctx):
    r = ctx.results
    r.declare("scale_udp.rate", 8, "CKesListen3 on 8 addresses: aggregate delivery rate at saturation",
              "datagrams/s", "higher", {"raw-recvfrom": 0.9},
              note="raw-recvfrom: one blocking recvfrom thread per address; the traffic comes from "
                   "the peer namespace over 8 links")
    r.declare("scale_udp.loss", 8, "CKesListen3 on 8 addresses: loss at saturation", "%", "lower", {},
              ratio=False)
    r.declare("scale_tcp.c64", 8, "CTcpListen3 on 8 addresses: throughput, 64 clients", "MB/s",
              "higher", {"raw-tcp": 0.9}, note="raw-tcp: one raw event server thread per address, "
              "reading 1536 bytes at a time (4 MiB per load, the library 64 MiB)")
    r.declare("scale_tcp_fairness.c64", 8, "CTcpListen3 on 8 addresses: fairness, 64 clients", "index",
              "higher", {})
    if not ctx.peer_ns or ctx.links < 8:
        for figure in ("scale_udp.rate", "scale_tcp.c64"):
            r.missing_variant(figure, "kesnet", "needs the bench namespace with 8 links (run as root)")
        return
    addrs = ctx.link_addrs()

    def saturated(variant, kind):
        delivered, sent, speed, _ = receive_run(ctx, kind, addrs, volume(ctx, "udp_scale_rate"),
                                                volume(ctx, "udp_scale_count"), peer=True)
        r.add("scale_udp.rate", variant, speed)
        r.add("scale_udp.loss", variant, 100.0 * (sent - delivered) / sent)

    for variant, why in run_variants(ctx, [("kesnet", "CKesListen3"), ("raw-recvfrom", "raw-recvfrom")],
                                     saturated):
        r.missing_variant("scale_udp.rate", variant, why)
    check_saturated(ctx, "scale_udp", "raw-recvfrom", "udp_scale_rate")
    tcp_runs(ctx, "scale_tcp", [("kesnet", "CTcpListen3"), ("raw-tcp", "raw-tcp")], addrs, (64,),
             peer=True)


# The costs that explain 3 ----------------------------------------------------

CALL_COSTS = [
    ("recvfrom", "recvfrom that finds a datagram (socket made by socket())"),
    ("recvfrom_sync", "the same, socket made by WSASocket without the overlapped flag (as the library's)"),
    ("recv_empty", "recv on a non-blocking socket with nothing waiting"),
    ("wait", "WSAWaitForMultipleEvents on a signalled event"),
    ("enum", "WSAEnumNetworkEvents"),
    ("reset", "WSAResetEvent"),
    ("clear64k", "clearing a 64 KiB buffer as the datagram listener does (rep stosb)"),
    ("memset64k", "clearing a 64 KiB buffer with the runtime's memset"),
    ("codeptr", "IsBadCodePtr"),
]


def bench_call_costs(ctx):
    for name, title in CALL_COSTS:
        ctx.results.declare(f"cost.{name}", 0, title, "us", "lower", {})
    ctx.results.absorb(ctx.wine_program("bench_call_costs"))


# 9: what authentication costs ------------------------------------------------

AUTH_CALL_COSTS = [
    ("hmac_create", "BCryptCreateHash, an HMAC-SHA-256 object with a 32-byte key"),
    ("hmac_data", "BCryptHashData of 80 bytes (what a 64-byte datagram's tag covers first)"),
    ("hmac_data_large", "BCryptHashData of 1416 bytes (what a 1400-byte datagram's tag covers first)"),
    ("hmac_finish", "BCryptFinishHash of the HMAC"),
    ("hmac_destroy", "BCryptDestroyHash"),
    ("hmac_tag", "the library's HMAC of one datagram's tag (all of the above, three pieces of data)"),
    ("hmac_reusable", "the same on an HMAC object made once with BCRYPT_HASH_REUSABLE_FLAG"),
    ("frame_hmac", "HMAC-SHA-256 of a stream's full frame (8-byte number, 2-byte length, 16 KiB payload)"),
    ("frame_gmac", "the library's AES-256-GMAC of a stream's full frame (2-byte length, 16 KiB payload), "
                   "key set once"),
    ("ecdsa_sign", "the library's ECDSA P-256 signature of a digest (key import and sign)"),
    ("ecdsa_sign_key", "BCryptSignHash alone, with a P-256 key handle made once"),
    ("ecdsa_verify", "the library's check of an ECDSA P-256 signature (key import and verify)"),
]


def auth_key(ctx, key):
    answer = ctx.wine.ask(f"key {key or '-'}")
    if answer != "keyed":
        raise BenchError(f"the Wine agent took no key: {answer}")


def bench_auth(ctx):
    r = ctx.results
    key_note = ("kesnet holds the class key here: every datagram carries the 33-byte trailer "
                "(HMAC-SHA-256 from the system's CNG, cut to 128 bits), and every datagram received is "
                "checked and its sequence number looked up before the host sees it; no-key is the same "
                "program without a key, in the same run, repetition by repetition")
    for size in (64, 1400):
        r.declare(f"auth_send_rate.{size}", 9, f"CKesSend::Send with the class key, {size}-byte datagrams",
                  "datagrams/s", "higher", {"no-key": 0.9}, note=key_note)
    r.declare("auth_signed_rate.64", 9, "CKesSend::Send signed by the teacher, 64-byte datagrams",
              "datagrams/s", "higher", {},
              note="kesnet holds the class key and the teacher's private key here: every datagram is "
                   "also signed (ECDSA P-256, 64 more bytes); class-key and no-key: the same sender with "
                   "the class key alone and without a key; %d datagrams per repetition"
                   % (20 if ctx.quick else 1000))
    r.declare("auth_recv_saturated.rate", 9, "CKesListen with the class key: delivery rate at saturation "
              "(64-byte payloads)", "datagrams/s", "higher", {"no-key": 0.9},
              note="the keyed listener's datagrams (64 payload bytes, 97 on the wire) were sealed with "
                   "the class key by the library's core, natively (bench_seal), just before each "
                   "repetition, one sender's in order, and are sent at the rate and by the blaster "
                   "that send the no-key listener its 64-byte datagrams")
    r.declare("auth_recv_saturated.loss", 9, "CKesListen with the class key: loss at saturation", "%",
              "lower", {}, ratio=False)
    r.declare("auth_recv_saturated.cpu", 9, "CKesListen with the class key: CPU per datagram at "
              "saturation (process and Wine server)", "us", "lower", {})
    for what in ("median", "p99"):
        r.declare(f"auth_round_trip.{what}", 9, f"CKesSend2::Send with the class key to an echoing "
                  f"CKesListen, {what} round trip", "us", "lower", {"no-key": 1.1},
                  note="with the class key the acknowledged send and its echo are both sealed and "
                       "checked, and the echo must name the datagram it answers")
    r.declare("auth_stream_rate", 9, "CTcpSendObject to the stream listener with the class key, one client",
              "MB/s", "higher", {"no-key": 0.9},
              note="with the class key the connection opens with a challenge and its proof, and carries "
                   "frames of at most 16 KiB, each tagged (AES-256-GMAC) and checked; sender and listener "
                   "share one process, started anew each repetition (the opening is not timed); %d MiB in "
                   "64 KiB sends, until the listener has read the last byte" % (1 if ctx.quick else 32))
    r.declare("auth_cast_time", 9, "An object cast to one receiver with the class key: completion time",
              "s", "lower", {"no-key": 1.1},
              note="KesCastSendBuffer of %s to one object receiver (in memory, expected by id) in the same "
                   "process, through the local address and a multicast group, at the default rate cap "
                   "(93 Mbit/s), until KesCastWait says it has it; with the class key every packet carries "
                   "the 33-byte tag trailer" % ("256 KiB" if ctx.quick else "8 MiB"))
    r.declare("auth_attested_cast_time", 9, "The same object cast attested by the teacher: completion time",
              "s", "lower", {},
              note="kesnet holds the class key and the teacher's private key here: the sender signs the "
                   "object's start and each group's digest (one signed packet a group of 192 blocks, and one "
                   "with each announcement), and the receiver checks the signatures and reads each whole "
                   "group back to compare its digest; class-key and no-key: the same cast with the class "
                   "key alone and without a key")
    for name, title in AUTH_CALL_COSTS:
        r.declare(f"cost.{name}", 0, title, "us", "lower", {})

    r.absorb(ctx.wine_program("bench_send_rate", "--auth"))
    r.absorb(ctx.wine_program("bench_round_trip", "--auth"))
    r.absorb(ctx.wine_program("bench_call_costs", "--auth"))

    keys = {"kesnet": ctx.class_key, "no-key": None}

    def saturated(variant, kind):
        auth_key(ctx, keys[variant])
        delivered, sent, speed, cpu = receive_run(ctx, kind, [LOOPBACK], volume(ctx, "udp_saturation_rate"),
                                                  volume(ctx, "udp_saturation_count"),
                                                  sealed=keys[variant] is not None)
        refused = int(ctx.wine.ask("refusals").split()[1])
        if refused:
            r.note("auth_recv_saturated.rate", f"{variant}: the listener refused {refused} datagrams")
        r.add("auth_recv_saturated.rate", variant, speed)
        r.add("auth_recv_saturated.loss", variant, 100.0 * (sent - delivered) / sent)
        r.add("auth_recv_saturated.cpu", variant, cpu * 1e6)

    if not ctx.sealer:
        r.missing_variant("auth_recv_saturated.rate", "kesnet", "needs bench_seal (run.py --sealer)")
        return
    try:
        for variant, why in run_variants(ctx, [("kesnet", "CKesListen"), ("no-key", "CKesListen")], saturated):
            r.missing_variant("auth_recv_saturated.rate", variant, why)
    finally:
        auth_key(ctx, None)
    check_saturated(ctx, "auth_recv_saturated", "no-key", "udp_saturation_rate")


BENCHMARKS = [bench_send, bench_receive, bench_call_costs, bench_round_trip, bench_tcp,
              bench_idle_and_release, bench_scale, bench_auth]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(report.ARCHS))
    parser.add_argument("--native", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--peer-ns")
    parser.add_argument("--links", type=int, default=0)
    parser.add_argument("--sealer", help="bench_seal, for the keyed receive benchmark")
    parser.add_argument("--only", help="comma-separated benchmarks to run, e.g. send,receive")
    args = parser.parse_args()

    os.makedirs(args.out, exist_ok=True)
    machine = report.machine_facts()
    machine["arch"] = args.arch
    started = time.time()
    ctx = Context(args)
    failed = []
    try:
        for bench in BENCHMARKS:
            name = bench.__name__[len("bench_"):]
            if args.only and name not in args.only.split(","):
                continue
            print(f"bench: {name} ...", flush=True)
            try:
                bench(ctx)
            except (BenchError, RuntimeError, subprocess.SubprocessError) as error:
                # A crash of the library under test is a finding: it goes in
                # the report, and the other benchmarks still run.
                print(f"bench: {name} failed: {error}", file=sys.stderr, flush=True)
                ctx.results.note(name, f"the benchmark failed: {str(error).splitlines()[0]}")
                failed.append(name)
                ctx.restart_agents()
    finally:
        ctx.close()
    machine["duration"] = "%.0f s" % (time.time() - started)
    machine["load_after"] = report.load_average()
    machine["mode"] = "quick (smoke run: tiny volumes, figures meaningless)" if args.quick else \
        f"{ctx.reps} repetitions per figure"
    ctx.results.machine = machine
    ctx.results.save(os.path.join(args.out, "results.tsv"))
    report.write(ctx.results, args.out)
    print(f"bench: report in {os.path.join(args.out, report.REPORT)}")
    if failed:
        sys.exit(f"bench: failed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
