#!/usr/bin/env python3
"""lockstep_bench.py -- how fast a match runs in lockstep.

Starts `qmere --headless --lockstep` (through the integration tests'
harness), connects --bots clients one after another, then each sends one
'F 1' a frame and reads its reply, all driven from one process without
blocking. A frame starts as soon as every bot has had its turn, so the
ticks per second are the match's pace. Also prints the CPU the arena and
this driver spent per tick, so that the figure can be told apart from the
driver's own speed.

    python3 bench/lockstep_bench.py [--bin build/qmere] [--bots 10] [--seconds 10]
                                    [--record FILE]

Uses the fixed ports 2222 and 2280. Prints figures; it asserts nothing.
"""

import argparse
import os
import selectors
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import REPO, cpu_seconds, loadavg  # noqa: E402

from arena import Arena, TCP_PORT  # noqa: E402


def run(args):
    extra = ["--lockstep", "--seed", "7"] + (["--record", args.record] if args.record else [])
    arena = Arena(args.bin, args=extra, headless=True).start()
    sel = selectors.DefaultSelector()
    bots = []
    try:
        for _ in range(args.bots):  # every bot is on the field before any moves
            s = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=10)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.setblocking(False)
            bots.append({"sock": s, "buf": b"", "ticks": 0})
            sel.register(s, selectors.EVENT_READ, bots[-1])
        arena.wait_for_log("handling client from", since=0)
        time.sleep(0.2)  # every bot admitted (they take their turns in slot order)
        for b in bots:
            b["sock"].sendall(b"F 1\n")

        def pump(seconds):
            end = time.monotonic() + seconds
            replies = 0
            while time.monotonic() < end:
                for key, _ in sel.select(0.05):
                    b = key.data
                    chunk = b["sock"].recv(4096)
                    if not chunk:
                        raise ConnectionError("a bot was closed")
                    b["buf"] += chunk
                    while b"\n" in b["buf"]:
                        line, b["buf"] = b["buf"].split(b"\n", 1)
                        b["ticks"] = int(line.split()[-2])
                        replies += 1
                        b["sock"].sendall(b"F 1\n")
            return replies

        pump(1.0)
        k0, t0 = max(b["ticks"] for b in bots), time.monotonic()
        c0, o0 = cpu_seconds(arena.proc.pid), sum(os.times()[:2])
        replies = pump(args.seconds)
        k1, t1 = max(b["ticks"] for b in bots), time.monotonic()
        c1, o1 = cpu_seconds(arena.proc.pid), sum(os.times()[:2])
    finally:
        for b in bots:
            b["sock"].close()
        arena.stop()
    ticks = k1 - k0
    print("lockstep_bench: %s, %d bots, one 'F 1' a frame each%s"
          % (args.bin, args.bots, ", recording" if args.record else ""))
    print("  ticks/s         %.0f   (%d ticks in %.1f s; %d replies)" % (ticks / (t1 - t0), ticks,
                                                                        t1 - t0, replies))
    print("  arena CPU       %.1f us a tick   (%.2f of a core)"
          % (1e6 * (c1 - c0) / max(1, ticks), (c1 - c0) / (t1 - t0)))
    print("  driver CPU      %.1f us a tick   (%.2f of a core; this script's bots)"
          % (1e6 * (o1 - o0) / max(1, ticks), (o1 - o0) / (t1 - t0)))
    print("  load average    %s" % loadavg())


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", default=os.environ.get("QMERE_BIN") or os.path.join(REPO, "build",
                                                                                 "qmere"))
    p.add_argument("--bots", type=int, default=10)
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--record", help="also record the match into this file")
    run(p.parse_args())


if __name__ == "__main__":
    main()
