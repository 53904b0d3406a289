#!/usr/bin/env python3
"""http_bench.py -- the viewer server's /turtle feed under load, next to nginx.

Starts the real program under a private Xvfb (through the integration tests'
harness) and fills the field with 30 turtles: 10 clients with 128-character
names (the longest a name can be, so the feed is as long as it gets) and 20
robots started by the first client. The clients stay connected and idle; the
robots keep the frames running (a client shot by a robot is brought back
under its name within half a second). Then, in the same run:

  1. wrk -t2 -c50 -d<seconds>s (keep-alive, wrk's default) against
     http://127.0.0.1:2280/turtle, with the arena's clock ('Q T') read before
     and after to give ticks per second during the load;
  2. the same bytes (/turtle fetched once and saved to a file) served as a
     static file by nginx on 127.0.0.1:8089, with a minimal configuration in a
     temporary directory, nginx in the foreground as a child process
     (worker_processes 1 by default, --nginx-workers to change), the same wrk
     command against it; the arena keeps running meanwhile, so its frames
     load the machine in both runs alike.

Printed: requests per second of both and their ratio (arena/nginx), latency
percentiles, wrk's error counts (non-2xx/3xx responses, socket errors), the
arena's ticks per second during its load and during nginx's, the CPU time per
request of the server, the delayed ACKs per request (a response that Nagle's
rule holds back waits for one) and the machine's load average.

    python3 bench/http_bench.py [--bin build/qmere] [--seconds 15]
                                [--connections 50] [--threads 2] [--nginx-workers 1]

Needs Xvfb, wrk and nginx (Debian packages; not part of the test set-up:
apt-get install -y wrk nginx). Uses the fixed ports 2222 and 2280 and port
8089. Prints figures; it asserts nothing.
"""

import argparse
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import REPO, cpu_seconds, machine_busy_seconds, loadavg  # noqa: E402

from arena import Arena, HTTP_PORT  # noqa: E402
import quillmere  # noqa: E402

N_CLIENTS = 10
N_ROBOTS = 20
NAME_CHARS = 128
NGINX_PORT = 8089
NOMINAL_TICKS = 125

NGINX_CONF = """\
worker_processes {workers};
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    # the arena never closes a keep-alive connection by itself; neither
    # does this nginx within a run (its default would close every 1000th)
    keepalive_requests 100000000;
    keepalive_timeout 75s;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {tmp}/www;
        default_type application/json;
    }}
}}
"""


def children_cpu_seconds(pid):
    """CPU time of pid plus that of its live children (nginx's workers)."""
    return cpu_seconds(pid) + sum(cpu_seconds(child) for child in _children(pid))


def _children(pid):
    out = []
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, tid)) as f:
                out += [int(x) for x in f.read().split()]
    except OSError:
        pass
    return out


def delayed_acks():
    """The machine's count of delayed ACKs so far (TcpExt DelayedACKs): a
    response held back by Nagle's rule waits for one of these."""
    try:
        with open("/proc/net/netstat") as f:
            rows = [line.split() for line in f]
    except OSError:
        return 0
    for names, values in zip(rows[::2], rows[1::2]):
        if names[0] == "TcpExt:" and "DelayedACKs" in names:
            return int(values[names.index("DelayedACKs")])
    return 0


def fetch(port, path):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        c.request("GET", path)
        r = c.getresponse()
        return r.status, r.read()
    finally:
        c.close()


def long_name(i):
    base = "bench-turtle-%02d-" % i
    return (base + "abcdefghijklmnopqrstuvwxyz" * 5)[:NAME_CHARS]


def connect_client(arena, i):
    t = arena.connect()
    try:
        t.send("J %d %d" % (-200 + 100 * (i % 5), -100 + 200 * (i // 5)))
        t.send("N " + quillmere.to_hex(long_name(i)))
    except (quillmere.ArenaError, OSError):
        t.close()
        raise
    return t


class Keeper:
    """Keeps the 10 named clients on the field: the robots fire, and a
    turtle that is hit dies and its connection is closed; the keeper notices
    within half a second and brings the client back under the same name.
    Also reads the arena's clock for the measurements."""

    def __init__(self, arena, clients):
        self.arena = arena
        self.clients = clients
        self.lock = threading.Lock()
        self.done = threading.Event()
        self.reconnects = 0
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self.thread.start()

    def stop(self):
        self.done.set()
        self.thread.join(10)
        return self.reconnects

    def _ask(self, i, cmd):
        """Sends cmd on client i; brings the client back first if it is gone."""
        try:
            return self.clients[i].send(cmd)
        except (quillmere.ArenaError, OSError):
            pass
        self.reconnects += 1
        try:
            self.clients[i].close()
        except OSError:
            pass
        for _ in range(100):
            # NOTE: until the dead turtle's slot is free again the arena
            # turns a newcomer away; try again a little later
            time.sleep(0.1)
            try:
                self.clients[i] = connect_client(self.arena, i)
                return self.clients[i].send(cmd)
            except (quillmere.ArenaError, OSError):
                continue
        raise RuntimeError("client %d could not come back" % i)

    def _run(self):
        while not self.done.wait(0.5):
            for i in range(len(self.clients)):
                with self.lock:
                    self._ask(i, "Q A")

    def ticks(self):
        with self.lock:
            r = self._ask(0, "Q T")
            return time.perf_counter(), r.integer(0)


def parse_wrk(text):
    """The figures of wrk's report as a dict."""
    out = {"rps": None, "requests": 0, "non2xx": 0, "connect": 0, "read": 0, "write": 0,
           "timeout": 0, "latency": {}}
    m = re.search(r"Requests/sec:\s+([0-9.]+)", text)
    if m:
        out["rps"] = float(m.group(1))
    m = re.search(r"(\d+) requests in", text)
    if m:
        out["requests"] = int(m.group(1))
    m = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", text)
    if m:
        out["non2xx"] = int(m.group(1))
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    if m:
        out["connect"], out["read"], out["write"], out["timeout"] = map(int, m.groups())
    for pct, val, unit in re.findall(r"^\s+(50|75|90|99)%\s+([0-9.]+)(us|ms|s)\s*$", text, re.M):
        scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]
        out["latency"][int(pct)] = float(val) * scale
    return out


def run_wrk(args, port):
    cmd = ["wrk", "-t%d" % args.threads, "-c%d" % args.connections, "-d%ds" % args.seconds,
           "--latency", "http://127.0.0.1:%d/turtle" % port]
    p = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       timeout=args.seconds + 60)
    if p.returncode != 0:
        raise RuntimeError("wrk failed (%d): %s" % (p.returncode, p.stderr))
    return p.stdout


def measured_run(args, port, server_pid, clock, cpu_of):
    """wrk against port; the arena's ticks and the server's CPU around it."""
    t0, k0 = clock()
    c0, b0, d0 = cpu_of(server_pid), machine_busy_seconds(), delayed_acks()
    text = run_wrk(args, port)
    c1, b1, d1 = cpu_of(server_pid), machine_busy_seconds(), delayed_acks()
    t1, k1 = clock()
    res = parse_wrk(text)
    res["text"] = text
    res["ticks_per_s"] = (k1 - k0) / (t1 - t0)
    res["server_cpu"] = c1 - c0
    res["machine_busy"] = b1 - b0
    res["delayed_acks"] = d1 - d0
    res["load"] = loadavg()
    return res


def start_nginx(tmp, workers, body):
    for sub in ("www", "body", "proxy", "fastcgi", "uwsgi", "scgi"):
        os.makedirs(os.path.join(tmp, sub), exist_ok=True)
    with open(os.path.join(tmp, "www", "turtle"), "wb") as f:
        f.write(body)
    # NOTE: nginx started as root serves from unprivileged workers, which
    # must be able to read the temporary directory
    for root, dirs, files in os.walk(tmp):
        os.chmod(root, 0o755)
        for name in files:
            os.chmod(os.path.join(root, name), 0o644)
    conf = os.path.join(tmp, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(workers=workers, tmp=tmp, port=NGINX_PORT))
    proc = subprocess.Popen(["nginx", "-p", tmp, "-e", os.path.join(tmp, "error.log"),
                             "-c", conf, "-g", "daemon off;"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, start_new_session=True)
    deadline = time.monotonic() + 10
    while True:
        if proc.poll() is not None:
            raise RuntimeError("nginx ended at start-up: %s" % proc.stderr.read().decode())
        try:
            socket.create_connection(("127.0.0.1", NGINX_PORT), timeout=1).close()
            return proc
        except OSError:
            if time.monotonic() > deadline:
                stop_nginx(proc)
                raise RuntimeError("nginx never listened on %d" % NGINX_PORT)
            time.sleep(0.05)


def stop_nginx(proc):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGQUIT)  # graceful: workers finish, the master ends
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)


def report(name, res, cpu_note):
    lat = res["latency"]
    errors = res["connect"] + res["read"] + res["write"] + res["timeout"]
    print("  %-7s %9.0f req/s  %8d requests   latency p50 %s  p99 %s"
          % (name, res["rps"] or 0, res["requests"],
             "%.2f ms" % lat[50] if 50 in lat else "?", "%.2f ms" % lat[99] if 99 in lat else "?"))
    print("          non-2xx/3xx %d   socket errors %d (connect %d, read %d, write %d, "
          "timeout %d)" % (res["non2xx"], errors, res["connect"], res["read"], res["write"],
                           res["timeout"]))
    per_req = 1e6 * res["server_cpu"] / max(1, res["requests"])
    print("          server CPU %.2f of a core (%.1f us per request, %s)   machine busy "
          "%.2f of %d cores" % (res["server_cpu"] / res["seconds"], per_req, cpu_note,
                                res["machine_busy"] / res["seconds"], os.cpu_count()))
    print("          arena ticks/s %.1f during this run   load average %s"
          % (res["ticks_per_s"], res["load"]))
    print("          delayed ACKs %.2f per request   (the machine's TcpExt count over the run)"
          % (res["delayed_acks"] / max(1, res["requests"])))


def run(args):
    for tool in ("wrk", "nginx"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            sys.exit("http_bench: %s is missing (apt-get install -y wrk nginx)" % tool)
    arena = Arena(args.bin).start()
    clients = []
    nginx = None
    tmp = tempfile.mkdtemp(prefix="qmere-http-bench-")
    try:
        for i in range(N_CLIENTS):
            clients.append(connect_client(arena, i))
        started = sum(1 for _ in range(N_ROBOTS) if clients[0].send("R").ok)
        turtles = clients[0].send("Q N").integer(0)
        keeper = Keeper(arena, clients)
        keeper.start()

        def clock():
            return keeper.ticks()

        # The feeds show the world as the last frame published it: wait until
        # every turtle (and every name) is in it before saving the bytes.
        deadline = time.monotonic() + 3.0
        while True:
            status, body = fetch(HTTP_PORT, "/turtle")
            if status != 200:
                raise RuntimeError("/turtle answered %d" % status)
            if (body.count(b'"tid"') >= turtles and body.count(b"bench-turtle-") >= N_CLIENTS) \
                    or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        nginx = start_nginx(tmp, args.nginx_workers, body)
        nstatus, nbody = fetch(NGINX_PORT, "/turtle")
        same = nstatus == 200 and nbody == body

        print("http_bench: %d turtles on the field (%d clients with %d-character names, "
              "%d robots started); /turtle is %d bytes"
              % (turtles, N_CLIENTS, NAME_CHARS, started, len(body)))
        print("  wrk -t%d -c%d -d%ds (keep-alive); nginx %s, worker_processes %s, "
              "serving the same bytes%s"
              % (args.threads, args.connections, args.seconds, nginx_version(),
                 args.nginx_workers, "" if same else " (NOT the same: %d)" % nstatus))
        print("  load average at the start %s" % loadavg())

        t0, k0 = clock()
        c0 = cpu_seconds(arena.proc.pid)
        time.sleep(3.0)
        c1 = cpu_seconds(arena.proc.pid)
        t1, k1 = clock()
        idle_ticks = (k1 - k0) / (t1 - t0)
        idle_cpu = (c1 - c0) / (t1 - t0)

        res_a = measured_run(args, HTTP_PORT, arena.proc.pid, clock, cpu_seconds)
        res_n = measured_run(args, NGINX_PORT, nginx.pid, clock, children_cpu_seconds)
        for r in (res_a, res_n):
            r["seconds"] = float(args.seconds)
        reconnects = keeper.stop()
    finally:
        stop_nginx(nginx)
        for t in clients:
            try:
                t.close()
            except OSError:
                pass
        arena.stop()
        shutil.rmtree(tmp, ignore_errors=True)

    print("  arena with no HTTP load: ticks/s %.1f (nominal %d), CPU %.2f of a core"
          % (idle_ticks, NOMINAL_TICKS, idle_cpu))
    report("arena", res_a, "all its threads, frames included")
    extra = res_a["server_cpu"] - idle_cpu * res_a["seconds"]
    print("          beyond the frames: %.1f us of arena CPU per request"
          % (1e6 * extra / max(1, res_a["requests"])))
    report("nginx", res_n, "master and workers")
    if reconnects:
        print("  clients shot by robots and reconnected: %d" % reconnects)
    if res_a["rps"] and res_n["rps"]:
        print("  ratio arena/nginx  %.2f" % (res_a["rps"] / res_n["rps"]))
    if args.verbose:
        print("--- wrk against the arena\n" + res_a["text"])
        print("--- wrk against nginx\n" + res_n["text"])


def nginx_version():
    p = subprocess.run(["nginx", "-v"], capture_output=True, text=True)
    m = re.search(r"nginx/(\S+)", p.stderr + p.stdout)
    return m.group(1) if m else "?"


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", default=os.environ.get("QMERE_BIN") or os.path.join(REPO, "build",
                                                                                 "qmere"))
    p.add_argument("--seconds", type=int, default=15, help="length of each wrk run")
    p.add_argument("--connections", type=int, default=50)
    p.add_argument("--threads", type=int, default=2, help="wrk's threads")
    p.add_argument("--nginx-workers", default="1", help="nginx's worker_processes (1 or auto)")
    p.add_argument("--verbose", action="store_true", help="also print wrk's own reports")
    run(p.parse_args())


if __name__ == "__main__":
    main()
