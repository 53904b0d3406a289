#!/usr/bin/env python3
"""paint_bench.py -- how the arena's frames and replies hold up while everybody
paints.

Starts the real program under a private Xvfb, or with --headless without any
display (through the integration tests' harness), fills the field with
painting clients (brush, width 1; each sends
a step and a turn and waits for both replies, as a student's loop does) and
robots wandering about, optionally browsers polling the feeds and a probe
client timing 'Q P' round trips, and reports:

  - ticks per second: the arena's clock ('Q T') over the measured interval;
    the timer asks for 125 a second while anything moves;
  - painted runs per second: forward steps that succeeded;
  - with --probe: the 'Q P' round trip of one more client (p50, p90, p99,
    max), measured in a process of its own; with --probe-c build-bench/qp-probe
    that client is a small C program (bench/qp_probe.cpp) instead of Python;
  - with a qmere-bench binary (cmake -DBENCH_STATS=ON): how long each frame
    held the frame lock (percentiles and a histogram) and how long a frame
    took, from the program's own timing lines;
  - the CPU time the program spent per tick, and how busy the rest of the
    machine was meanwhile (the figures are only comparable between runs on
    an otherwise quiet machine).

    python3 bench/paint_bench.py [--bin build/qmere ...] [--env NAME=VALUE ...]
                                 [--seconds 20] [--clients 10] [--step 30]
                                 [--turn 20] [--robots 20] [--no-paint]
                                 [--browsers 50] [--poll-ms 100] [--probe]
                                 [--headless] [--canvas-watchers 30 ...]

--bin may be given several times (and --env, which applies to every run,
once per variable), so that binaries or settings are measured side by side
in one run: each binary runs once with the environment given, and once more
for each --vary NAME=VALUE.

--browsers N adds N keep-alive connections to the viewer port, each polling
the four feeds a browser's viewer reads (/turtle, /wall, /coin, /camera) one
after the other every --poll-ms (the viewer's own 100 ms). They run in a
child process of their own. --no-paint keeps the pens up, which leaves the
cost of the scene without any painting.

--canvas-watchers N adds N browsers that watch as the viewer does: each
polls the four feeds every --poll-ms on one connection and /canvas.png with
the last ETag in If-None-Match every --canvas-ms (the viewer's own 80 ms) on
another. Given several times (0 among them), the whole run is repeated for
each count (--rounds times, the counts taking turns), and the arena's CPU
beyond that of the first count (medians of the rounds) is printed at the
end:

    python3 bench/paint_bench.py --headless --robots 0 --clients 10 \
        --canvas-watchers 0 --canvas-watchers 30 --rounds 3

The load of the frame pipeline's targets:
    python3 bench/paint_bench.py --bin build-bench/qmere-bench --clients 9 \
        --step 1 --turn 1 --robots 20 --browsers 20 --probe

Needs Xvfb unless --headless. Uses the fixed ports 2222 and 2280, so nothing else may run an
arena meanwhile. Prints figures; it asserts nothing.
"""

import argparse
import multiprocessing
import os
import re
import selectors
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import REPO, cpu_seconds, machine_busy_seconds, thread_cpu_seconds  # noqa: E402

from arena import Arena, TCP_PORT  # noqa: E402

import socket  # noqa: E402

WARM_UP = 3.0  # seconds before measuring: strokes start two moves late
LOCK_LINE = re.compile(r"bench: frame lock (\d+) frames p50 ([0-9.]+) p99 ([0-9.]+) max ([0-9.]+) "
                       r"ms; hist (.*)")
FRAME_LINE = re.compile(r"bench: frame (\d+) frames p50 ([0-9.]+) p99 ([0-9.]+) max ([0-9.]+) ms")


def own_seconds():
    t = os.times()
    return t.user + t.system


class Client:
    """One painting client driven without blocking: it sends a step and a
    turn, waits for both replies, and sends again."""

    def __init__(self, index, args):
        self.index = index
        self.args = args
        self.sock = None
        self.buf = b""
        self.waiting = 0       # replies still expected
        self.steps_ok = 0      # forward steps the arena made
        self.steps_refused = 0  # forward steps it refused (blocked by somebody)
        self.pending_ticks = False
        self.last_ticks = None  # (wall time, ticks) of the last 'Q T'
        self.want_ticks = False

    def connect(self):
        self.sock = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=10)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        # each turtle paints its own patch of the field
        col, row = self.index % 5, self.index // 5
        x, y = -200 + 100 * col, -120 + 240 * row
        shade = self.index / max(1, self.args.clients - 1)
        setup = ["J %r %r" % (x, y), "L B", "W 1", "K %r 0.3 %r" % (shade, 1 - shade),
                 "P U" if self.args.no_paint else "P D"]
        if self.index == 0:
            setup += ["R"] * self.args.robots
        self.sock.settimeout(10)
        self.sock.sendall(("\n".join(setup) + "\n").encode())
        got = 0
        while got < len(setup):
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed during set-up")
            got += chunk.count(b"\n")
        self.sock.setblocking(False)
        self.waiting = 0

    def send_next(self):
        if self.want_ticks:
            self.want_ticks = False
            self.pending_ticks = True
            self.sock.sendall(b"Q T\n")
            self.waiting = 1
        else:
            self.sock.sendall(("F %r\nT L %r\n" % (self.args.step, self.args.turn)).encode())
            self.waiting = 2

    def on_readable(self):
        """Reads replies; returns False when the connection is gone."""
        try:
            chunk = self.sock.recv(65536)
        except BlockingIOError:
            return True
        except OSError:
            return False
        if not chunk:
            return False
        # NOTE: the arena writes each reply on its own; without an immediate
        # acknowledgement the second reply of a step-and-turn batch would
        # wait for the delayed ACK (tens of milliseconds), and the clients,
        # not the frames, would set the pace.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        self.buf += chunk
        while b"\n" in self.buf:
            line, self.buf = self.buf.split(b"\n", 1)
            text = line.decode("latin-1")
            self.waiting -= 1
            if self.pending_ticks:
                self.pending_ticks = False
                self.last_ticks = (time.monotonic(), int(text.split()[0]))
            elif self.waiting == 1:  # the step's reply comes before the turn's
                if " OK @ " in " " + text:
                    self.steps_ok += 1
                else:
                    self.steps_refused += 1
        if self.waiting <= 0:
            self.send_next()
        return True

    def close(self):
        if self.sock is not None:
            try:
                self.sock.close()
            except OSError:
                pass
            self.sock = None


FEEDS = (b"/turtle", b"/wall", b"/coin", b"/camera")
CANVAS = (b"/canvas.png",)
# the arena's threads that serve browsers: the listener, the connections
# and the canvas's encoder
SERVING = ("qm-httpd", "qm-browser", "qm-canvas")


def browsers_main(n, poll_ms, n_canvas, canvas_ms, stop, results):
    """Child process: n viewer connections polling the feeds, and n_canvas
    more polling /canvas.png with If-None-Match, until `stop` is set; puts
    (responses, errors, body bytes, canvas pictures, canvas 304s) on
    `results`."""
    sel = selectors.DefaultSelector()
    done = errors = body_bytes = pictures = unchanged = 0
    conns = []

    def start(c):
        c["sock"] = socket.create_connection(("127.0.0.1", 2280), timeout=10)
        c["sock"].setblocking(False)
        sel.register(c["sock"], selectors.EVENT_READ, c)
        c["feed"], c["buf"] = 0, b""

    def request(c):
        tag = b"If-None-Match: %s\r\n" % c["etag"] if c.get("etag") else b""
        c["sock"].sendall(b"GET " + c["paths"][c["feed"]] + b" HTTP/1.1\r\nHost: arena\r\n"
                          + tag + b"\r\n")
        c["sent"] = True

    now = time.monotonic()
    for i in range(n + n_canvas):
        period = poll_ms if i < n else canvas_ms
        c = {"next": now + period / 1000.0 * i / (n + n_canvas), "sent": False,
             "paths": FEEDS if i < n else CANVAS, "period": period}
        start(c)
        conns.append(c)
    while not stop.is_set():
        now = time.monotonic()
        for c in conns:
            if not c["sent"] and now >= c["next"]:
                try:
                    request(c)
                except OSError:
                    errors += 1
                    c["broken"] = True
        for key, _ in sel.select(0.005):
            c = key.data
            try:
                chunk = c["sock"].recv(65536)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                chunk = b""
            if not chunk:
                errors += 1
                c["broken"] = True
                continue
            c["buf"] += chunk
            head_end = c["buf"].find(b"\r\n\r\n")
            if head_end < 0:
                continue
            head = c["buf"][:head_end]
            m = re.search(rb"Content-Length: (\d+)", head)
            if head.startswith(b"HTTP/1.1 304"):
                length = 0  # the canvas has not changed: no body
                unchanged += 1
            elif head.startswith(b"HTTP/1.1 200") and m is not None:
                length = int(m.group(1))
            else:
                errors += 1
                c["broken"] = True
                continue
            total = head_end + 4 + length
            if len(c["buf"]) < total:
                continue
            tag = re.search(rb"ETag: (\S+)", head)
            if tag and length:
                c["etag"] = tag.group(1)
                pictures += 1
            done += 1
            body_bytes += length
            c["buf"] = c["buf"][total:]
            c["sent"] = False
            c["feed"] += 1
            if c["feed"] == len(c["paths"]):
                c["feed"] = 0
                c["next"] += c["period"] / 1000.0
                if c["next"] < now:  # fell behind: no burst to catch up
                    c["next"] = now
        for c in conns:
            if c.pop("broken", False):
                sel.unregister(c["sock"])
                c["sock"].close()
                c["sent"] = False
                try:
                    start(c)
                except OSError:
                    errors += 1
    results.put((done, errors, body_bytes, pictures, unchanged))


def probe_main(n, gap_ms, niceness, results):
    """Child process: one more client timing n 'Q P' round trips, one every
    gap_ms; puts the round trips in milliseconds on `results`."""
    if niceness:
        os.setpriority(os.PRIO_PROCESS, 0, niceness)
    s = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    rtt = []
    buf = b""
    for _ in range(n):
        t0 = time.perf_counter()
        s.sendall(b"Q P\n")
        while b"\n" not in buf:
            chunk = s.recv(4096)
            if not chunk:
                results.put(rtt)
                return
            buf += chunk
        rtt.append(1000.0 * (time.perf_counter() - t0))
        buf = buf.split(b"\n", 1)[1]
        time.sleep(gap_ms / 1000.0)
    s.close()
    results.put(rtt)


def percentile(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(p * (len(v) - 1)))]


def renice_drawing(pid, niceness):
    """Lowers the priority of the arena's drawing: its main thread and the
    software GL's rasterizer threads (an experiment: --nice-draw)."""
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                comm = f.read().strip()
        except OSError:
            continue
        if int(tid) == pid or comm.startswith("llvmpipe"):
            os.setpriority(os.PRIO_PROCESS, int(tid), niceness)


def run(args, binary, env, watchers=0):
    """One measured run; returns the arena's CPU in cores, in all and in
    the threads that serve browsers."""
    arena = Arena(binary, env=env, headless=args.headless).start()
    clients = [Client(i, args) for i in range(args.clients)]
    sel = selectors.DefaultSelector()
    reconnects = 0
    try:
        for c in clients:
            c.connect()
            sel.register(c.sock, selectors.EVENT_READ, c)
            c.send_next()

        def pump(seconds):
            nonlocal reconnects
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                for key, _ in sel.select(0.1):
                    c = key.data
                    if not c.on_readable():
                        # shot dead by a robot, most likely: come back
                        sel.unregister(c.sock)
                        c.close()
                        reconnects += 1
                        c.connect()
                        sel.register(c.sock, selectors.EVENT_READ, c)
                        c.send_next()

        def ticks_now():
            clients[0].want_ticks = True
            clients[0].last_ticks = None
            deadline = time.monotonic() + 10
            while clients[0].last_ticks is None and time.monotonic() < deadline:
                pump(0.01)
            return clients[0].last_ticks

        browsers = probe = None
        if args.browsers + watchers > 0:
            stop = multiprocessing.Event()
            results = multiprocessing.Queue()
            browsers = multiprocessing.Process(
                target=browsers_main,
                args=(args.browsers + watchers, args.poll_ms, watchers, args.canvas_ms, stop,
                      results))
            browsers.start()
        pump(WARM_UP)
        if args.nice_draw:
            renice_drawing(arena.proc.pid, args.nice_draw)
        if args.rt_commands:
            for tid in os.listdir("/proc/%d/task" % arena.proc.pid):
                with open("/proc/%d/task/%s/comm" % (arena.proc.pid, tid)) as f:
                    if f.read().strip() == "qm-commands":
                        os.sched_setscheduler(int(tid), os.SCHED_RR, os.sched_param(1))
        if args.probe and args.probe_c:
            n = int(args.seconds * 1000 / (args.probe_gap_ms + 0.05))
            probe = subprocess.Popen([args.probe_c, str(n), str(args.probe_gap_ms)],
                                     stdout=subprocess.PIPE, text=True)
        elif args.probe:
            probe_results = multiprocessing.Queue()
            n = int(args.seconds * 1000 / (args.probe_gap_ms + 0.2))
            probe = multiprocessing.Process(target=probe_main,
                                            args=(n, args.probe_gap_ms, args.probe_nice, probe_results))
            probe.start()
        steps0 = sum(c.steps_ok for c in clients)
        refused0 = sum(c.steps_refused for c in clients)
        mark0 = arena.mark()
        t0, k0 = ticks_now()
        cpu0, busy0, own0 = cpu_seconds(arena.proc.pid), machine_busy_seconds(), own_seconds()
        threads0 = thread_cpu_seconds(arena.proc.pid)
        x0 = cpu_seconds(arena.xvfb.pid) if arena.xvfb else 0.0
        pump(args.seconds)
        cpu1, busy1, own1 = cpu_seconds(arena.proc.pid), machine_busy_seconds(), own_seconds()
        threads1 = thread_cpu_seconds(arena.proc.pid)
        x1 = cpu_seconds(arena.xvfb.pid) if arena.xvfb else 0.0
        t1, k1 = ticks_now()
        steps1 = sum(c.steps_ok for c in clients)
        refused1 = sum(c.steps_refused for c in clients)
        rtt = None
        if probe is not None and args.probe_c:
            while probe.poll() is None:
                pump(0.05)
            rtt = [float(v) for v in probe.stdout.read().split()]
        elif probe is not None:
            while probe.is_alive():
                pump(0.05)
            rtt = probe_results.get(timeout=30)
        log = arena.log()[mark0:]
        http = None
        if browsers is not None:
            stop.set()
            http = results.get(timeout=30)
            browsers.join(10)
    finally:
        for c in clients:
            c.close()
        arena.stop()

    seconds = t1 - t0
    print("paint_bench: %s%s%s%s, %d clients (%s, width 1, steps of %g, turns of %g), %d robots"
          % (binary, " --headless" if args.headless else "",
             "".join(" %s=%s" % kv for kv in sorted(env.items())),
             " drawing at nice %d" % args.nice_draw if args.nice_draw else "", args.clients,
             "pen up" if args.no_paint else "brush", args.step, args.turn, args.robots))
    print("  measured        %.1f s" % seconds)
    if http is not None:
        # the browsers ran through the warm-up and the measurement
        print("  browsers        %d connections polling 4 feeds every %g ms%s: %d responses "
              "(%.0f/s), %d errors, %.1f MB"
              % (args.browsers + watchers, args.poll_ms,
                 ", %d more polling /canvas.png every %g ms" % (watchers, args.canvas_ms)
                 if watchers else "", http[0], http[0] / (seconds + WARM_UP), http[1],
                 http[2] / 1e6))
        if watchers:
            print("  canvas          %d pictures (%.1f/s), %d answered 304 Not Modified"
                  % (http[3], http[3] / (seconds + WARM_UP), http[4]))
    print("  ticks/s         %.1f   (the timer's rate is 125)" % ((k1 - k0) / seconds))
    print("  CPU per tick    %.2f ms   (all the program's threads, GL rasterizers included)"
          % (1000.0 * (cpu1 - cpu0) / max(1, k1 - k0)))
    threads = {name: (threads1[name] - threads0.get(name, 0.0)) / seconds for name in threads1}
    serving = sum(threads.get(name, 0.0) for name in SERVING)
    print("  arena CPU       %.3f of a core: %s" % ((cpu1 - cpu0) / seconds, "  ".join(
        "%s %.3f" % kv for kv in sorted(threads.items(), key=lambda kv: -kv[1]) if kv[1] > 0)))
    print("  %s  %.1f   (%.1f steps/s refused, blocked by others)"
          % ("steps/s       " if args.no_paint else "painted runs/s",
             (steps1 - steps0) / seconds, (refused1 - refused0) / seconds))
    if rtt:
        print("  Q P round trip  p50 %.3f  p90 %.3f  p99 %.3f  max %.3f ms   (%d queries)"
              % (percentile(rtt, 0.5), percentile(rtt, 0.9), percentile(rtt, 0.99), max(rtt),
                 len(rtt)))
    locks = [m.groups() for m in LOCK_LINE.finditer(log)]
    if locks:
        print("  frame lock      p50 %.4f  p99 %.4f  max %.4f ms   (median of %d windows of "
              "1000 frames; worst max)"
              % (statistics.median(float(g[1]) for g in locks),
                 statistics.median(float(g[2]) for g in locks), max(float(g[3]) for g in locks),
                 len(locks)))
        total = {}
        for g in locks:
            for name, count in re.findall(r"(\S+) (\d+)", g[4]):
                total[name] = total.get(name, 0) + int(count)
        print("  lock histogram  " + "  ".join("%s:%d" % kv for kv in total.items()))
    frames = [m.groups() for m in FRAME_LINE.finditer(log)]
    if frames:
        print("  frame           p50 %.3f  p99 %.3f  max %.3f ms   (step and drawing)"
              % (statistics.median(float(g[1]) for g in frames),
                 statistics.median(float(g[2]) for g in frames), max(float(g[3]) for g in frames)))
    if not args.headless:
        print("  Xvfb per tick   %.2f ms   (showing the frames)"
              % (1000.0 * (x1 - x0) / max(1, k1 - k0)))
    print("  driver          %.2f of a core   (this script's clients)" % ((own1 - own0) / seconds))
    others = (busy1 - busy0) - (cpu1 - cpu0) - (own1 - own0) - (x1 - x0)
    print("  other load      %.2f of %d cores   (anything else on the machine meanwhile)"
          % (max(0.0, others) / seconds, os.cpu_count()))
    if reconnects:
        print("  reconnects      %d   (turtles shot dead by robots)" % reconnects)
    if args.verbose:
        print("program's standard error during the measurement:")
        sys.stdout.write(log)
    return (cpu1 - cpu0) / seconds, serving


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", action="append",
                   help="program to measure (repeat to compare; default build/qmere)")
    p.add_argument("--env", action="append", default=[], metavar="NAME=VALUE",
                   help="environment of every run")
    p.add_argument("--vary", action="append", default=[], metavar="NAME=VALUE",
                   help="run each binary once more with this variable set")
    p.add_argument("--seconds", type=float, default=20.0)
    p.add_argument("--clients", type=int, default=10, help="painting clients")
    p.add_argument("--step", type=float, default=30.0, help="units of each step")
    p.add_argument("--turn", type=float, default=20.0,
                   help="degrees turned left after each step (20: circles, 160: stars)")
    p.add_argument("--robots", type=int, default=20)
    p.add_argument("--no-paint", action="store_true",
                   help="the clients walk with the pen up: the cost of the scene alone")
    p.add_argument("--browsers", type=int, default=0,
                   help="keep-alive viewer connections polling the feeds meanwhile")
    p.add_argument("--poll-ms", type=float, default=100.0,
                   help="each viewer connection's poll period (the viewer's own: 100)")
    p.add_argument("--canvas-watchers", type=int, action="append", metavar="N",
                   help="browsers watching as the viewer does: the feeds and /canvas.png "
                        "(repeat to compare counts)")
    p.add_argument("--canvas-ms", type=float, default=80.0,
                   help="each watcher's /canvas.png poll period (the viewer's own: 80)")
    p.add_argument("--rounds", type=int, default=1,
                   help="runs of every --canvas-watchers count, taking turns; medians compared")
    p.add_argument("--headless", action="store_true", help="run the arena without a display")
    p.add_argument("--probe", action="store_true", help="time 'Q P' round trips meanwhile")
    p.add_argument("--probe-gap-ms", type=float, default=5.0)
    p.add_argument("--probe-c", metavar="BIN",
                   help="the probe is this C client (qp-probe, built with -DBENCH_STATS=ON) "
                        "instead of one in Python")
    p.add_argument("--rt-commands", action="store_true",
                   help="run the arena's command thread SCHED_RR (root; an experiment)")
    p.add_argument("--probe-nice", type=int, default=0,
                   help="niceness of the probe process (negative needs root): tells the "
                        "probe's own scheduling apart from the arena's")
    p.add_argument("--nice-draw", type=int, default=0,
                   help="niceness given to the arena's drawing threads after the warm-up")
    p.add_argument("--verbose", action="store_true",
                   help="also print what the program wrote during the measurement")
    args = p.parse_args()
    binaries = args.bin or [os.environ.get("QMERE_BIN") or os.path.join(REPO, "build", "qmere")]
    base = dict(kv.split("=", 1) for kv in args.env)
    counts = args.canvas_watchers or [0]
    for binary in binaries:
        # NOTE: the counts take turns round after round, so that a change in
        # the machine's other load falls on all of them alike
        cores = {n: [] for n in counts}
        for _ in range(args.rounds):
            for n in counts:
                cores[n].append(run(args, binary, base, n))
        if len(counts) > 1:
            def median(n, i):
                return statistics.median(v[i] for v in cores[n])

            def rounds(n, i):
                return " ".join("%.3f" % v[i] for v in cores[n])
            n0 = counts[0]
            for n in counts[1:]:
                print("canvas watchers: %d cost the arena %+.1f%% of a core beyond %d in all "
                      "(medians of %d rounds: %.3f vs %.3f; rounds %s vs %s)"
                      % (n, 100.0 * (median(n, 0) - median(n0, 0)), n0, args.rounds,
                         median(n, 0), median(n0, 0), rounds(n, 0), rounds(n0, 0)))
                print("canvas watchers: %d cost the arena %+.1f%% of a core beyond %d in the "
                      "threads serving them (%s; rounds %s vs %s)"
                      % (n, 100.0 * (median(n, 1) - median(n0, 1)), n0, ", ".join(SERVING),
                         rounds(n, 1), rounds(n0, 1)))
        for kv in args.vary:
            name, value = kv.split("=", 1)
            run(args, binary, dict(base, **{name: value}))


if __name__ == "__main__":
    main()
