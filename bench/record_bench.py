#!/usr/bin/env python3
"""record_bench.py -- what recording costs, and how fast a replay seeks.

1. Size and cost: a headless arena at its own pace (125 ticks a second)
   with 10 clients painting brush strokes (a step of --step and a turn of
   --turn a frame, width --width) and 20 robots -- 30 moving turtles -- is
   run twice for --seconds, once recording and once not. Printed: the
   recording's size per minute of play, and the arena's CPU time per tick
   with and without it (all its threads, the recorder's writer included).
2. Seeking: the same load in lockstep makes a recording of --minutes of
   ticks (faster than real time), which a headless arena then replays;
   --seeks seeks to random ticks are timed from the console's POST until
   /control/state shows the tick (so a timer tick of 8 ms at most is in
   the figure).

    python3 bench/record_bench.py [--bin build/qmere] [--seconds 30] [--minutes 10]
                                  [--seeks 40] [--step 2] [--turn 3] [--width 2]

Uses the fixed ports 2222 and 2280. Prints figures; it asserts nothing.
"""

import argparse
import json
import os
import random
import re
import selectors
import socket
import statistics
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import REPO, cpu_seconds, loadavg, thread_cpu_seconds  # noqa: E402

from arena import Arena, TCP_PORT, HTTP_PORT  # noqa: E402

N_PAINTERS = 10
N_ROBOTS = 20


class Painters:
    """N_PAINTERS clients driven from this process without blocking: each
    sends a step and a turn a frame and waits for both replies."""

    def __init__(self, args):
        self.args = args
        self.sel = selectors.DefaultSelector()
        self.clients = []
        self.ticks = 0

    def open_socket(self, c):
        s = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=10)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setblocking(False)
        c["sock"], c["buf"] = s, b""
        self.sel.register(s, selectors.EVENT_READ, c)

    def set_up(self, c, robots):
        i = c["i"]
        x, y = -200 + 100 * (i % 5), -120 + 240 * (i // 5)
        setup = ["J %d %d" % (x, y), "L B", "W %g" % self.args.width,
                 "K %g 0.3 %g" % (i / 9, 1 - i / 9), "P D"] + (["R"] * N_ROBOTS if robots else [])
        c["waiting"] = len(setup)
        c["sock"].sendall(("\n".join(setup) + "\n").encode())

    def connect(self):
        for i in range(N_PAINTERS):
            c = {"i": i, "waiting": 0}
            self.open_socket(c)
            self.clients.append(c)
        time.sleep(0.2)  # all admitted before anyone moves (lockstep takes turns)
        for c in self.clients:
            self.set_up(c, c["i"] == 0)

    def come_back(self, c):
        """A painter shot dead by a robot connects again and paints on."""
        self.sel.unregister(c["sock"])
        c["sock"].close()
        self.open_socket(c)
        self.set_up(c, False)

    def send_next(self, c):
        c["sock"].sendall(("F %g\nT L %g\n" % (self.args.step, self.args.turn)).encode())
        c["waiting"] = 2

    def pump(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for key, _ in self.sel.select(0.05):
                c = key.data
                try:
                    chunk = c["sock"].recv(65536)
                except ConnectionError:
                    chunk = b""
                if not chunk:
                    self.come_back(c)
                    continue
                c["buf"] += chunk
                while b"\n" in c["buf"]:
                    line, c["buf"] = c["buf"].split(b"\n", 1)
                    c["waiting"] -= 1
                    self.ticks = max(self.ticks, int(line.split()[-2]))
                if c["waiting"] <= 0:
                    self.send_next(c)

    def close(self):
        for c in self.clients:
            c["sock"].close()


def size_and_cost(args):
    results, threads = {}, {}
    for recording in (False, True):
        path = tempfile.mktemp(suffix=".qrec")
        extra = ["--seed", "7"] + (["--record", path] if recording else [])
        arena = Arena(args.bin, args=extra, headless=True).start()
        p = Painters(args)
        try:
            p.connect()
            p.pump(2.0)
            k0, c0, s0 = p.ticks, cpu_seconds(arena.proc.pid), os.path.getsize(path) if recording else 0
            th0 = thread_cpu_seconds(arena.proc.pid)
            t0 = time.monotonic()
            p.pump(args.seconds)
            k1, c1, t1 = p.ticks, cpu_seconds(arena.proc.pid), time.monotonic()
            th1 = thread_cpu_seconds(arena.proc.pid)
        finally:
            p.close()
            arena.stop()
        size = os.path.getsize(path) - s0 if recording else 0
        results[recording] = (k1 - k0, (c1 - c0), t1 - t0, size)
        threads[recording] = {n: th1[n] - th0.get(n, 0.0) for n in th1}
        if recording:
            os.unlink(path)
    (k_off, c_off, t_off, _), (k_on, c_on, t_on, size) = results[False], results[True]
    per_tick_off, per_tick_on = 1e6 * c_off / k_off, 1e6 * c_on / k_on
    print("record_bench: %s, %d painters (brush, steps of %g, turns of %g, width %g), %d robots"
          % (args.bin, N_PAINTERS, args.step, args.turn, args.width, N_ROBOTS))
    print("  ticks/s         %.1f without recording, %.1f recording" % (k_off / t_off, k_on / t_on))
    print("  recording size  %.2f MB per minute of play   (%d bytes over %d ticks)"
          % (size / k_on * 125 * 60 / 1e6, size, k_on))
    print("  arena CPU       %.0f us a tick without, %.0f us recording: +%.1f%%"
          % (per_tick_off, per_tick_on, 100.0 * (per_tick_on - per_tick_off) / per_tick_off))
    # the frame side (the thread that steps and draws) against the writer
    main_off, main_on = (1e6 * threads[r].get("main", 0.0) / results[r][0] for r in (False, True))
    writer = 1e6 * threads[True].get("qm-recorder", 0.0) / k_on
    print("  frame thread    %.0f us a tick without, %.0f us recording: +%.0f us = %.1f%% of the "
          "8 ms frame; the writer thread %.0f us a tick"
          % (main_off, main_on, main_on - main_off, 100.0 * (main_on - main_off) / 8000.0, writer))


def http(method, path, key):
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (HTTP_PORT, path), method=method,
                                 headers={"X-Quillmere-Key": key})
    with urllib.request.urlopen(req, timeout=10) as r:
        return r.read()


def seeking(args):
    path = tempfile.mktemp(suffix=".qrec")
    arena = Arena(args.bin, args=["--seed", "7", "--lockstep", "--record", path], headless=True).start()
    p = Painters(args)
    target = int(args.minutes * 60 * 125)
    t0 = time.monotonic()
    try:
        p.connect()
        while p.ticks < target:
            p.pump(1.0)
    finally:
        p.close()
        arena.stop()
    made = time.monotonic() - t0
    arena = Arena(args.bin, args=["--replay", path], headless=True).start()
    try:
        key = re.search(r"key=(\w+)", arena.log()).group(1)
        st = json.loads(http("GET", "/control/state", key))
        first, last = st["first_tick"], st["ticks_total"]
        # the replay is under way (its start-up, which readies the painting
        # for seeks, is not a seek)
        while json.loads(http("GET", "/control/state", key))["tick"] <= first:
            time.sleep(0.01)
        http("POST", "/control/pause", key)
        times = []
        rng = random.Random(1)
        for _ in range(args.seeks):
            tick = rng.randint(first, last)
            t = time.monotonic()
            http("POST", "/control/seek?tick=%d" % tick, key)
            # in lockstep every tick has its frame: the seek lands on it
            while json.loads(http("GET", "/control/state", key))["tick"] != tick:
                if time.monotonic() - t > 10:
                    raise RuntimeError("a seek to %d never arrived" % tick)
            times.append(1000.0 * (time.monotonic() - t))
    finally:
        arena.stop()
    print("  seeking         a %.1f-minute recording (%d ticks, %.1f MB, made in %.0f s in lockstep)"
          % ((last - first) / 125 / 60, last - first, os.path.getsize(path) / 1e6, made))
    print("                  %d seeks to random ticks: p50 %.1f  p90 %.1f  max %.1f ms"
          % (len(times), statistics.median(times), sorted(times)[int(0.9 * (len(times) - 1))],
             max(times)))
    os.unlink(path)
    print("  load average    %s" % loadavg())


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", default=os.environ.get("QMERE_BIN") or os.path.join(REPO, "build",
                                                                                 "qmere"))
    p.add_argument("--seconds", type=float, default=30.0)
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--seeks", type=int, default=40)
    p.add_argument("--step", type=float, default=2.0)
    p.add_argument("--turn", type=float, default=3.0)
    p.add_argument("--width", type=float, default=2.0)
    args = p.parse_args()
    size_and_cost(args)
    seeking(args)


if __name__ == "__main__":
    main()
