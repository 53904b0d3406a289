#!/usr/bin/env python3
"""idle_bench.py -- what the arena costs when nobody plays.

Starts the real program under a private Xvfb (through the integration tests'
harness) and measures, per thread and in total, the CPU the process uses
over --seconds (default 60) in two states:

  - an empty field: nothing on it moves, so the arena only counts ticks and
    draws nothing until something changes;
  - one zombie (a client that connected and left): its legs swing with the
    clock, so the slow timer's frames (about 12 a second) are drawn.

CPU time comes from /proc/<pid>/task/*/stat (clock ticks of 10 ms, so a
short interval reads in steps of 1/(100 * seconds)); Xvfb's own CPU is
printed beside it.

    python3 bench/idle_bench.py [--seconds 60] [--bin build/qmere]
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import TCK, cpu_seconds  # noqa: E402
from arena import Arena  # noqa: E402

def thread_cpu(pid):
    """{tid: (name, clock ticks of user+system time)} for every thread."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        out[tid] = (name, int(fields[11]) + int(fields[12]))
    return out


def measure(arena, seconds, label):
    before, x0, t0 = thread_cpu(arena.proc.pid), cpu_seconds(arena.xvfb.pid), time.monotonic()
    time.sleep(seconds)
    after, x1 = thread_cpu(arena.proc.pid), cpu_seconds(arena.xvfb.pid)
    dt = time.monotonic() - t0
    print("%s (%.0f s):" % (label, dt))
    total = 0
    for tid, (name, ticks) in sorted(after.items(), key=lambda kv: int(kv[0])):
        used = ticks - before.get(tid, (name, 0))[1]
        total += used
        if used:
            print("  thread %-16s %6.3f %% of a core" % (name, 100.0 * used / TCK / dt))
    print("  process total          %6.3f %% of a core (%d threads)" % (100.0 * total / TCK / dt,
                                                                      len(after)))
    print("  Xvfb                   %6.3f %% of a core" % (100.0 * (x1 - x0) / dt))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--bin", default=os.environ.get("QMERE_BIN"))
    args = p.parse_args()
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    with Arena(binary=args.bin) as arena:
        time.sleep(3)  # start-up settles
        measure(arena, args.seconds, "empty field")
        t = arena.connect()
        t.close()  # its turtle stays as a zombie
        time.sleep(1)
        measure(arena, args.seconds, "one zombie on the field")


if __name__ == "__main__":
    main()
