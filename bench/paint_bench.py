#!/usr/bin/env python3
"""paint_bench.py -- how fast the arena's frames run while everybody paints.

Starts the real program under a private Xvfb (through the integration tests'
harness), fills the field with 10 clients painting brush strokes with long
steps (width 1, steps of 30 units, so every dab run has the full 512 dabs)
and 20 robots wandering about, and reports:

  - ticks per second: the arena's clock ('Q T') over the measured interval;
    the timer asks for 125 a second while anything moves;
  - painted runs per second: forward steps that succeeded (each one is one
    brush run of 512 dabs two frames later);
  - the median time of one display call, from the program's own timing log
    (QMERE_FRAME_STATS=1 makes it print a line every 250 frames);
  - the CPU time the program spent per tick, which other load on the
    machine disturbs less than the wall-clock figures, and how busy the rest
    of the machine was meanwhile (the figures are only comparable between
    runs on an otherwise quiet machine).

    python3 bench/paint_bench.py [--bin build/qmere] [--seconds 20] [--turn 20]
                                 [--no-batch] [--no-fbo] [--no-paint]
                                 [--browsers 50] [--poll-ms 100]

--browsers N adds N keep-alive connections to the viewer port, each polling
the four feeds a browser's viewer reads (/turtle, /wall, /coin, /camera) one
after the other every --poll-ms (the viewer's own 100 ms): with 50 that is
about 2000 requests a second. They run in a child process of their own, and
the requests answered, the errors and the feed bytes are printed.

--no-batch sets QMERE_DAB_BATCH=0, which draws every dab on its own, and
--no-fbo sets QMERE_CANVAS_FBO=0, which paints the canvas in the window and
copies it back every frame: together they are the drawing as it was before
it was made faster, for a before/after figure. --no-paint keeps the pens up,
which leaves the cost of the scene without any painting.
Needs Xvfb. Uses the fixed ports 2222 and 2280, so nothing else may run an
arena meanwhile. Prints figures; it asserts nothing.
"""

import argparse
import multiprocessing
import os
import re
import selectors
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import REPO, cpu_seconds, machine_busy_seconds  # noqa: E402

from arena import Arena, TCP_PORT  # noqa: E402

import socket  # noqa: E402

N_CLIENTS = 10
N_ROBOTS = 20
STEP = 30.0
WARM_UP = 3.0  # seconds before measuring: strokes start two moves late
STATS_LINE = re.compile(r"display\(\): (\d+) frames, median ([0-9.]+) ms, mean ([0-9.]+) ms, "
                        r"max ([0-9.]+) ms")


def own_seconds():
    t = os.times()
    return t.user + t.system


class Client:
    """One painting client driven without blocking: it sends a step and a
    turn, waits for both replies, and sends again."""

    def __init__(self, index, turn, paint=True):
        self.index = index
        self.turn = turn
        self.paint = paint
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
        shade = self.index / (N_CLIENTS - 1)
        setup = ["J %r %r" % (x, y), "L B", "W 1", "K %r 0.3 %r" % (shade, 1 - shade),
                 "P D" if self.paint else "P U"]
        if self.index == 0:
            setup += ["R"] * N_ROBOTS
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
            self.sock.sendall(("F %r\nT L %r\n" % (STEP, self.turn)).encode())
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


def browsers_main(n, poll_ms, stop, results):
    """Child process: n viewer connections polling the feeds until `stop`
    is set; puts (responses, errors, body bytes) on `results`."""
    sel = selectors.DefaultSelector()
    done = errors = body_bytes = 0
    conns = []

    def start(c):
        c["sock"] = socket.create_connection(("127.0.0.1", 2280), timeout=10)
        c["sock"].setblocking(False)
        sel.register(c["sock"], selectors.EVENT_READ, c)
        c["feed"], c["buf"] = 0, b""

    def request(c):
        c["sock"].sendall(b"GET " + FEEDS[c["feed"]] + b" HTTP/1.1\r\nHost: arena\r\n\r\n")
        c["sent"] = True

    now = time.monotonic()
    for i in range(n):
        c = {"next": now + poll_ms / 1000.0 * i / n, "sent": False}
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
            if not head.startswith(b"HTTP/1.1 200") or m is None:
                errors += 1
                c["broken"] = True
                continue
            total = head_end + 4 + int(m.group(1))
            if len(c["buf"]) < total:
                continue
            done += 1
            body_bytes += total - head_end - 4
            c["buf"] = c["buf"][total:]
            c["sent"] = False
            c["feed"] += 1
            if c["feed"] == len(FEEDS):
                c["feed"] = 0
                c["next"] += poll_ms / 1000.0
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
    results.put((done, errors, body_bytes))


def run(args):
    if args.no_batch:
        os.environ["QMERE_DAB_BATCH"] = "0"
    else:
        os.environ.pop("QMERE_DAB_BATCH", None)
    if args.no_fbo:
        os.environ["QMERE_CANVAS_FBO"] = "0"
    else:
        os.environ.pop("QMERE_CANVAS_FBO", None)
    os.environ["QMERE_FRAME_STATS"] = "1"
    arena = Arena(args.bin).start()
    clients = [Client(i, args.turn, not args.no_paint) for i in range(N_CLIENTS)]
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

        browsers = None
        if args.browsers > 0:
            stop = multiprocessing.Event()
            results = multiprocessing.Queue()
            browsers = multiprocessing.Process(target=browsers_main,
                                               args=(args.browsers, args.poll_ms, stop, results))
            browsers.start()
        pump(WARM_UP)
        steps0 = sum(c.steps_ok for c in clients)
        refused0 = sum(c.steps_refused for c in clients)
        mark0 = arena.mark()
        t0, k0 = ticks_now()
        cpu0, busy0, own0 = cpu_seconds(arena.proc.pid), machine_busy_seconds(), own_seconds()
        x0 = cpu_seconds(arena.xvfb.pid)
        pump(args.seconds)
        cpu1, busy1, own1 = cpu_seconds(arena.proc.pid), machine_busy_seconds(), own_seconds()
        x1 = cpu_seconds(arena.xvfb.pid)
        t1, k1 = ticks_now()
        steps1 = sum(c.steps_ok for c in clients)
        refused1 = sum(c.steps_refused for c in clients)
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

    stats = [tuple(float(v) for v in m.groups()) for m in STATS_LINE.finditer(log)]
    seconds = t1 - t0
    how = []
    if args.no_batch:
        how.append("one draw per dab (QMERE_DAB_BATCH=0)")
    if args.no_fbo:
        how.append("canvas through the window (QMERE_CANVAS_FBO=0)")
    print("paint_bench: %s, %d clients (%s, width 1, steps of %g, turns of %g), %d robots"
          % (", ".join(how) or "as built", N_CLIENTS,
             "pen up" if args.no_paint else "brush", STEP, args.turn, N_ROBOTS))
    print("  measured        %.1f s" % seconds)
    if http is not None:
        # the browsers ran through the warm-up and the measurement
        print("  browsers        %d connections polling 4 feeds every %g ms: %d responses "
              "(%.0f/s), %d errors, %.1f MB of feeds"
              % (args.browsers, args.poll_ms, http[0], http[0] / (seconds + WARM_UP), http[1],
                 http[2] / 1e6))
    print("  ticks/s         %.1f   (the timer's rate is 125)" % ((k1 - k0) / seconds))
    print("  CPU per tick    %.2f ms   (all the program's threads, GL rasterizers included)"
          % (1000.0 * (cpu1 - cpu0) / max(1, k1 - k0)))
    print("  %s  %.1f   (%s; %.1f steps/s refused, blocked by others)"
          % ("steps/s       " if args.no_paint else "painted runs/s",
             (steps1 - steps0) / seconds, "pens up" if args.no_paint else "512 dabs each",
             (refused1 - refused0) / seconds))
    if stats:
        print("  display median  %.3f ms   (median of %d windows of 250 frames; "
              "mean %.3f ms, worst %.3f ms)"
              % (statistics.median(s[1] for s in stats), len(stats),
                 statistics.mean(s[2] for s in stats), max(s[3] for s in stats)))
    else:
        print("  display median  (no timing lines: the run was too short)")
    print("  Xvfb per tick   %.2f ms   (showing the frames)" % (1000.0 * (x1 - x0) / max(1, k1 - k0)))
    print("  driver          %.2f of a core   (this script's clients)" % ((own1 - own0) / seconds))
    others = (busy1 - busy0) - (cpu1 - cpu0) - (own1 - own0) - (x1 - x0)
    print("  other load      %.2f of %d cores   (anything else on the machine meanwhile)"
          % (max(0.0, others) / seconds, os.cpu_count()))
    if reconnects:
        print("  reconnects      %d   (turtles shot dead by robots)" % reconnects)
    if args.verbose:
        print("program's standard error during the measurement:")
        sys.stdout.write(log)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", default=os.environ.get("QMERE_BIN") or os.path.join(REPO, "build",
                                                                                 "qmere"))
    p.add_argument("--seconds", type=float, default=20.0)
    p.add_argument("--turn", type=float, default=20.0,
                   help="degrees turned left after each step (20: circles, 160: stars)")
    p.add_argument("--no-batch", action="store_true",
                   help="draw each dab on its own (QMERE_DAB_BATCH=0)")
    p.add_argument("--no-fbo", action="store_true",
                   help="paint the canvas through the window and copy it back "
                        "(QMERE_CANVAS_FBO=0)")
    p.add_argument("--no-paint", action="store_true",
                   help="the clients walk with the pen up: the cost of the scene alone")
    p.add_argument("--browsers", type=int, default=0,
                   help="keep-alive viewer connections polling the feeds meanwhile")
    p.add_argument("--poll-ms", type=float, default=100.0,
                   help="each viewer connection's poll period (the viewer's own: 100)")
    p.add_argument("--verbose", action="store_true",
                   help="also print what the program wrote during the measurement")
    run(p.parse_args())


if __name__ == "__main__":
    main()
