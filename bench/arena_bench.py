#!/usr/bin/env python3
"""arena_bench.py -- the arena's clock and query round trips under a full field.

Starts the real program under a private Xvfb (through the integration tests'
harness), connects 10 clients, one process each, and has the first start 20
robots: 30 turtles, a full field. Then:

  1. all 10 clients move as a student program would ('F 1', wait for the
     reply, 'T L 3', wait for the reply, ...) for --seconds; the arena's clock
     ('Q T' at the start and the end of the interval, over the wall time
     between them) gives ticks per second; the timer asks for 125 a second;
  2. the round trip of 'Q P' (send, wait for the reply line), --queries of
     them per client, p50 and p99 in milliseconds:
       - 1 client querying while the other 9 keep moving,
       - 1 client alone (the other 9 idle; the robots still run the frames),
       - 10 clients querying at once (each times its own; merged).

Each client is its own process, so the clients do not share one interpreter
lock and a reply is read as soon as it comes. The figures depend on what
else the machine does: the load average and the share of the cores used by
others are printed with them.

    python3 bench/arena_bench.py [--bin build/qmere] [--seconds 20] [--queries 2000]

Needs Xvfb. Uses the fixed ports 2222 and 2280 (the harness waits until the
command port is free). Prints figures; it asserts nothing.
"""

import argparse
import multiprocessing
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import REPO, cpu_seconds, machine_busy_seconds, loadavg  # noqa: E402

from arena import Arena, TCP_PORT  # noqa: E402
import quillmere  # noqa: E402

N_CLIENTS = 10
N_ROBOTS = 20
WARM_UP = 2.0   # seconds of moving before anything is measured
NOMINAL_TICKS = 125


# ------------------------------------------------------------ the clients

def _connect(index):
    t = quillmere.Turtle("127.0.0.1", TCP_PORT, timeout=30.0)
    col, row = index % 5, index // 5
    t.send("J %d %d" % (-200 + 100 * col, -100 + 200 * row))
    t.send("N " + quillmere.to_hex("bench-%d" % index))
    return t


def _reconnect(index, old):
    """A new connection after the arena closed ours (the robots fire, and a
    turtle that is hit dies and its program is sent away). Until the dead
    turtle's slot is free again the arena turns a newcomer away: retry."""
    try:
        old.close()
    except OSError:
        pass
    for _ in range(100):
        try:
            return _connect(index)
        except (quillmere.ArenaError, OSError):
            time.sleep(0.1)
    raise RuntimeError("client %d could not come back" % index)


def client_main(index, conn):
    """One client process, driven by (command, argument) messages on conn.

    ("robots", n)  start n robots; answers the number the arena accepted
    ("move", None) move until the next message; the reply to that message is
                   preceded by nothing, moving resumes unless it was "stop"
    ("sample", None) while moving: answers (perf_counter, pairs, ticks or None)
    ("stop", None) stop moving; answers (pairs done, refused, reconnects)
    ("query", n)   time n 'Q P' round trips; answers the list in milliseconds
    ("close", None) hang up and end
    """
    t = _connect(index)
    conn.send(("ready", index))
    pairs = refused = reconnects = 0

    def ticks():
        nonlocal t, reconnects
        while True:
            try:
                return t.send("Q T").integer(0)
            except (quillmere.ArenaError, OSError):
                reconnects += 1
                t = _reconnect(index, t)

    while True:
        cmd, arg = conn.recv()
        if cmd == "robots":
            ok = sum(1 for _ in range(arg) if t.send("R").ok)
            conn.send(ok)
        elif cmd == "move":
            moving = True
            while moving:
                # a student's loop: one command, its reply, the next command
                try:
                    while not conn.poll():
                        if not t.send("F 1").ok:
                            refused += 1
                        t.send("T L 3")
                        pairs += 1
                except (quillmere.ArenaError, OSError):
                    # a turtle that was shot comes back, as a student's
                    # program would be restarted
                    reconnects += 1
                    t = _reconnect(index, t)
                    continue
                cmd, arg = conn.recv()
                if cmd == "sample":
                    conn.send((time.perf_counter(), pairs, ticks() if index == 0 else None))
                elif cmd == "stop":
                    conn.send((pairs, refused, reconnects))
                    moving = False
        elif cmd == "sample":
            conn.send((time.perf_counter(), pairs, ticks() if index == 0 else None))
        elif cmd == "query":
            out = []
            lost = 0
            while len(out) < arg:
                sock, rfile = t.sock, t._rfile
                try:
                    while len(out) < arg:
                        t0 = time.perf_counter()
                        sock.sendall(b"Q P\n")
                        line = rfile.readline()
                        t1 = time.perf_counter()
                        if not line.endswith(b"\n"):
                            raise quillmere.ArenaError("closed")
                        out.append((t1 - t0) * 1000.0)
                except (quillmere.ArenaError, OSError):
                    # NOTE: the round trip that met the closed connection is
                    # not counted; the client comes back and goes on
                    lost += 1
                    t = _reconnect(index, t)
            reconnects += lost
            conn.send((out, lost))
        elif cmd == "close":
            t.close()
            conn.send("closed")
            return


# ------------------------------------------------------------ measuring

def percentile(sorted_values, p):
    """Nearest-rank percentile of an ascending list."""
    if not sorted_values:
        return float("nan")
    k = max(0, min(len(sorted_values) - 1, int(round(p / 100.0 * len(sorted_values) + 0.5)) - 1))
    return sorted_values[k]


class Clients:
    def __init__(self):
        ctx = multiprocessing.get_context("spawn")
        self.conns = []
        self.procs = []
        for i in range(N_CLIENTS):
            mine, theirs = ctx.Pipe()
            p = ctx.Process(target=client_main, args=(i, theirs), daemon=True)
            p.start()
            self.conns.append(mine)
            self.procs.append(p)
        for c in self.conns:
            if not c.poll(60):
                raise RuntimeError("a client did not connect")
            c.recv()

    def ask(self, which, cmd, arg=None):
        for i in which:
            self.conns[i].send((cmd, arg))
        return [self.conns[i].recv() for i in which]

    def tell(self, which, cmd, arg=None):
        for i in which:
            self.conns[i].send((cmd, arg))

    def close(self):
        for c, p in zip(self.conns, self.procs):
            try:
                c.send(("close", None))
                if c.poll(5):
                    c.recv()
            except (OSError, EOFError):
                pass
            p.join(5)
            if p.is_alive():
                p.terminate()
                p.join(5)


def query_phase(clients, which, n):
    """The merged, sorted round trips and the number of clients shot meanwhile."""
    answers = clients.ask(which, "query", n)
    merged = sorted(v for lst, _ in answers for v in lst)
    return merged, sum(lost for _, lost in answers)


def run(args):
    arena = Arena(args.bin).start()
    clients = None
    all_ = list(range(N_CLIENTS))
    others = all_[1:]
    try:
        print("arena_bench: %d clients (one process each), %d robots; load average %s"
              % (N_CLIENTS, N_ROBOTS, loadavg()))
        clients = Clients()
        started = clients.ask([0], "robots", N_ROBOTS)[0]

        # 1. everybody moves: the clock
        clients.tell(all_, "move")
        time.sleep(WARM_UP)
        s0 = clients.ask(all_, "sample")
        cpu0, busy0 = cpu_seconds(arena.proc.pid), machine_busy_seconds()
        x0 = cpu_seconds(arena.xvfb.pid)
        time.sleep(args.seconds)
        s1 = clients.ask(all_, "sample")
        cpu1, busy1 = cpu_seconds(arena.proc.pid), machine_busy_seconds()
        x1 = cpu_seconds(arena.xvfb.pid)
        load_moving = loadavg()
        stops = clients.ask(all_, "stop")
        wall = s1[0][0] - s0[0][0]
        ticks = s1[0][2] - s0[0][2]
        pairs = sum(b[1] - a[1] for a, b in zip(s0, s1))
        refused = sum(s[1] for s in stops)
        reconnects = sum(s[2] for s in stops)

        # 2. the round trips
        rows = []
        clients.tell(others, "move")
        time.sleep(WARM_UP)
        rows.append(("1 client, 9 others moving", query_phase(clients, [0], args.queries)))
        clients.ask(others, "stop")
        rows.append(("1 client alone", query_phase(clients, [0], args.queries)))
        rows.append(("10 clients at once", query_phase(clients, all_, args.queries)))
        load_end = loadavg()
    finally:
        if clients is not None:
            clients.close()
        arena.stop()

    cores = os.cpu_count()
    print("  robots started   %d of %d" % (started, N_ROBOTS))
    print("  moving interval  %.1f s, 10 clients looping 'F 1' / 'T L 3', each waiting for "
          "its reply" % wall)
    print("  ticks/s          %.1f   (nominal %d)" % (ticks / wall, NOMINAL_TICKS))
    print("  moves/s          %.1f   (F+T pairs of all clients; %.1f per client per tick)"
          % (pairs / wall, pairs / max(1, ticks) / N_CLIENTS))
    if refused or reconnects:
        print("  refused steps    %d, clients shot by robots and reconnected %d   (whole "
              "moving phase)" % (refused, reconnects))
    print("  arena CPU        %.2f of a core   (all its threads)   Xvfb %.2f"
          % ((cpu1 - cpu0) / wall, (x1 - x0) / wall))
    others_load = (busy1 - busy0) - (cpu1 - cpu0) - (x1 - x0)
    print("  rest of machine  %.2f of %d cores   (clients, and anything else running)"
          % (max(0.0, others_load) / wall, cores))
    print("  load average     %s while moving, %s at the end" % (load_moving, load_end))
    print()
    print("  'Q P' round trip (ms)        queries     p50     p90     p99     max")
    for name, (vals, lost) in rows:
        print("  %-28s %7d %7.3f %7.3f %7.3f %7.2f%s"
              % (name, len(vals), percentile(vals, 50), percentile(vals, 90),
                 percentile(vals, 99), vals[-1] if vals else float("nan"),
                 "   (%d shot by robots and reconnected)" % lost if lost else ""))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", default=os.environ.get("QMERE_BIN") or os.path.join(REPO, "build",
                                                                                 "qmere"))
    p.add_argument("--seconds", type=float, default=20.0, help="length of the moving interval")
    p.add_argument("--queries", type=int, default=2000, help="'Q P' round trips per client")
    run(p.parse_args())


if __name__ == "__main__":
    main()
