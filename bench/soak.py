#!/usr/bin/env python3
"""soak.py -- hours of abuse in minutes: the arena under a long mixed load.

Starts the real program under a private Xvfb (through the integration tests'
harness) and for --minutes keeps it busy with everything at once:

  - 20 robots ('R'; topped up again when a kill-all or 'C A' removed them);
  - 10 client threads, each sending random valid and invalid commands (every
    command letter with sensible, random and absurd arguments -- nan, inf,
    1e308 --, every query letter, hex text, garbage bytes 0x00-0xFF, empty
    commands, several commands on one line, lines up to 499 bytes) and
    waiting for every reply it is owed, with a time-out. How many replies a
    line is owed is worked out with the server's own framing rules (cut at
    ';' and line feed, bytes below 0x20 and from 0x80 dropped, leading blanks
    dropped, an empty command answered by nothing). A connection the arena
    closes (turtle shot or killed, kill-all, maze toggle) is counted, and the
    client comes back;
  - browsers: threads polling /turtle, /wall, /coin, /camera and / at 10 Hz
    each over one keep-alive HTTP connection per thread, checking that every
    JSON feed parses;
  - the field's keys: '!' (battle mode) and 'M' (maze mode) pressed every few
    seconds with xdotool -- or, with --headless, the same as the teacher's
    console actions (POST /control/battle and /control/maze).

With --headless the arena runs without a window (no Xvfb, no xdotool) and
is ended through the console's quit; with --record FILE it records the whole
soak, and afterwards a headless arena replays FILE and seeks to its last
frame (the replay checks every frame as it loads):

    python3 bench/soak.py --headless --record /tmp/soak.qrec --minutes 60

Every 10 s the arena's resident size (VmRSS), thread count and tick ('Q T')
are recorded. At the end the arena is ended with its Q key, as a person at
the window ends it (exit(0)), and the totals are printed. The exit status is
non-zero when the program died, a command went unanswered on an open
connection, a feed did not parse, or the program's own exit status after Q
was not 0 -- run against an ASan build (tools/sanitize.sh address builds
build-asan/) with LeakSanitizer on, that catches any memory the whole soak
left behind:

    python3 bench/soak.py [--minutes 10] [--bin build/qmere]
    LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp ASAN_OPTIONS=detect_leaks=1 \
        python3 bench/soak.py --minutes 10 --bin build-asan/qmere

Needs Xvfb and xdotool. Uses the fixed ports 2222 and 2280 and 127.0.0.1
only; nothing else should run an arena meanwhile.
"""

import argparse
import http.client
import json
import os
import random
import re
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import REPO  # noqa: E402

from arena import Arena, TCP_PORT, HTTP_PORT  # noqa: E402

N_CLIENTS = 10
N_ROBOTS = 20
N_BROWSERS = 3
FEEDS = ["/turtle", "/wall", "/coin", "/camera", "/"]
REPLY_TIMEOUT = 10.0   # seconds a client waits for a reply it is owed
SAMPLE_EVERY = 10.0
WARM_UP = 60.0         # the start figures are taken after this
KEY_EVERY = (2.0, 6.0)  # seconds between key presses, at random in this range


# ------------------------------------------------------------ the commands

NUMBERS = ["0", "1", "-1", "10", "-250", "3.5", "1e308", "-1e308", "1e-308", "nan", "-nan",
           "inf", "-inf", "infinity", "NaN", "0x10", "1e", "abc", "", "99999999999999999999",
           "-0", "4.9e-324", "2147483648", "-2147483649", "+7", ".", "1,5"]
LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+-!.?@0123456789"


def num(rng):
    r = rng.random()
    if r < 0.5:
        return "%.3f" % rng.uniform(-300, 300)
    if r < 0.6:
        return str(rng.randint(-100000, 100000))
    return rng.choice(NUMBERS)


def hextext(rng):
    r = rng.random()
    if r < 0.6:
        raw = bytes(rng.randrange(256) for _ in range(rng.randint(0, 140)))
        h = raw.hex()
        if rng.random() < 0.3:
            h = " ".join(h[i:i + 2] for i in range(0, len(h), 2))
        return h
    if r < 0.8:
        return "".join(rng.choice("0123456789abcdefABCDEFxyz ") for _ in range(rng.randint(0, 300)))
    return rng.choice(["", "4", "41424", "zz", "00", "0000410000"])


# NOTE: the turtle feed writes a name exactly as stored, unescaped, so a
# name with '"', '\\', control bytes or bytes that are not UTF-8 makes the
# feed unreadable as JSON by design; the names given here stay printable
# ASCII without those two, so a feed that does not parse is a real fault.
# Arbitrary bytes go to the printed text ('S') instead.
NAME_CHARS = "".join(chr(c) for c in range(0x20, 0x7F) if chr(c) not in '"\\')


def name_hex(rng):
    r = rng.random()
    if r < 0.8:
        h = "".join(rng.choice(NAME_CHARS) for _ in range(rng.randint(0, 140))).encode().hex()
        if rng.random() < 0.3:
            h = h.upper()
        if rng.random() < 0.3:
            h = " ".join(h[i:i + 2] for i in range(0, len(h), 2))
        return h
    return rng.choice(["", "4", "41424", "zz", "00", "0000410000", "63616d657261"])


def command(rng):
    """One command text (no terminator), valid or not."""
    k = rng.randrange(32)
    if k == 0:
        return "%s %s" % (rng.choice("FfBb"), num(rng))
    if k == 1:
        return "%s %s" % (rng.choice(["F", "B", "Forward", "back"]), rng.choice(NUMBERS))
    if k == 2:
        return "T %s %s" % (rng.choice("LREWNSXlr?"), num(rng))
    if k == 3:
        return "%s %s %s" % (rng.choice("JjGg"), num(rng), num(rng))
    if k == 4:
        return "P %s" % rng.choice(["D", "U", "+", "-", "x", ""])
    if k == 5:
        return "L %s" % rng.choice(["S", "B", "P", "+", "x", ""])
    if k == 6:
        return "K %s %s %s" % (num(rng), num(rng), num(rng))
    if k == 7:
        return "W %s" % num(rng)
    if k == 8:
        return "S %s" % hextext(rng)
    if k == 9:
        return "N %s" % name_hex(rng)
    if k == 10:
        return "U " + "".join(chr(rng.randrange(0x20, 0x7F)) for _ in range(rng.randint(0, 200))
                              ).replace(";", ",")
    if k == 11:
        return "I %s" % rng.choice([str(rng.randint(-5, 10)), "99999999999", "-2147483649", "x"])
    if k == 12:
        # 'C A' (every turtle) and 'C F' rarely: they empty the field
        sub = rng.choice(["H", "", "5", "x", "-3"] * 8 + ["A", "F"])
        return ("C %s" % sub).rstrip()
    if k == 13:
        return "H %s %s %s" % (num(rng), num(rng), num(rng))
    if k == 14:
        return "O %s" % rng.choice(["S", "B", "X", "+", "", "p"])
    if k == 15:
        return "X"
    if k == 16:
        return "E %s" % num(rng)
    if k == 17:
        return "D"
    if k == 18:
        return "Y %s %s" % (rng.choice("+-x"), rng.choice(["3", "-1", "4294967295", "0", "abc",
                                                          "99999999999"]))
    if k in (19, 20, 21):
        q = rng.choice(LETTERS)
        if q in "Rr" and rng.random() < 0.7:
            return "Q R %s" % rng.choice(["1", "2", "3", "4", "5", "0", "6", "-1", "x", "1e9"])
        return "Q %s" % q
    if k == 22:
        return "Q"
    if k == 23:
        return "!" if rng.random() < 0.5 else "! %s" % rng.choice("U-ux+")
    if k == 24:
        return "."
    if k == 25:
        return rng.choice(LETTERS) + "".join(chr(rng.randrange(0x21, 0x7F)).replace(";", ":")
                                             for _ in range(rng.randint(0, 10)))
    if k == 26:
        return "F%s" % num(rng)
    return rng.choice(["Q P", "Q T", "Q A", "Q W", "F 1", "T L 3"])


def garbage(rng, n):
    return bytes(rng.randrange(256) for _ in range(n))


def line(rng):
    """The bytes of one send: one or more commands, garbage, blanks; always
    ends with a line feed and stays under 500 bytes."""
    r = rng.random()
    if r < 0.65:
        data = command(rng).encode("latin-1")
    elif r < 0.75:
        data = ";".join(command(rng) for _ in range(rng.randint(2, 6))).encode("latin-1")
    elif r < 0.85:
        data = garbage(rng, rng.randint(0, 300))
    elif r < 0.9:
        data = rng.choice([b"", b";", b";;", b"   ", b"\r", b"\t", b" ; ; "])
    elif r < 0.95:
        # a long command: a long U message or blanks
        data = ("U " + "x" * rng.randint(300, 480)).encode() if rng.random() < 0.5 else \
            (command(rng) + " " * rng.randint(100, 400)).encode("latin-1")
    else:
        # a valid command with bytes the framing drops mixed in
        c = bytearray(command(rng).encode("latin-1"))
        for _ in range(rng.randint(1, 5)):
            c.insert(rng.randint(0, len(c)), rng.choice([0x00, 0x09, 0x0D, 0x7F, 0x80, 0xFF,
                                                         0xC3, 0x1B]))
        data = bytes(c)
    return tame_names(data[:497] + b"\n")


def hex2str(hextext):
    """The name the arena decodes from hexadecimal text (its rules)."""
    def digit(c):
        if 0x30 <= c <= 0x39:
            return c - 0x30
        if 0x61 <= c <= 0x66 or 0x41 <= c <= 0x46:
            return (c | 0x20) - 0x61 + 10
        return 0
    out = bytearray()
    i = 0
    for _ in range(128):
        if i >= len(hextext):
            break
        if hextext[i] == 0x20:
            i += 1
            continue
        hi = digit(hextext[i])
        lo = digit(hextext[i + 1]) if i + 1 < len(hextext) else 0
        if hi * 16 + lo:
            out.append(hi * 16 + lo)
        if i + 1 >= len(hextext):
            break
        i += 2
    return bytes(out)


def tame_names(data):
    """Turns every command of `data` that would give the turtle a name the
    feed cannot carry (see NAME_CHARS) into '.', which does nothing and is
    answered all the same. Garbage bytes can spell such a command."""
    out = bytearray(data)
    start, text = None, bytearray()
    for i, b in enumerate(data):
        if b == 0x3B or b < 0x20 or b >= 0x80:
            if (b == 0x3B or b == 0x0A) and text:
                if text[:1] in (b"N", b"n"):
                    cmd, _, rest = bytes(text).partition(b" ")
                    name = hex2str(rest) if b" " in text else b""
                    if any(chr(c) not in NAME_CHARS for c in name):
                        out[start] = 0x2E
                text.clear()
            continue
        if b == 0x20 and not text:
            continue
        if not text:
            start = i
        text.append(b)
    return bytes(out)


def replies_owed(data):
    """How many replies the arena sends for `data` (its framing rules)."""
    n = 0
    elen = 0
    for b in data:
        if b == 0x3B or b < 0x20 or b >= 0x80:
            if (b == 0x3B or b == 0x0A) and elen > 0:
                n += 1
                elen = 0
            continue
        if b == 0x20 and elen == 0:
            continue
        elen += 1
    return n


# ------------------------------------------------------------ shared state

class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.sent = 0           # command texts sent (replies owed)
        self.lines = 0          # sends
        self.replies = 0
        self.unanswered = 0
        self.closed = 0         # connections closed by the arena
        self.refused = 0        # connection attempts the arena closed at once
        self.http_requests = 0
        self.http_failures = 0
        self.parse_failures = 0
        self.parse_failures_huge = 0  # those with a number of 40 digits or more
        self.parse_failures_nan = 0   # those with a field of nan or inf
        self.keys = {"!": 0, "M": 0}
        self.notes = []

    def add(self, **kw):
        with self.lock:
            for k, v in kw.items():
                setattr(self, k, getattr(self, k) + v)

    def note(self, text):
        with self.lock:
            kind = text[:40]
            if sum(1 for n in self.notes if n[:40] == kind) < 3 and len(self.notes) < 50:
                self.notes.append(text)


STATS = Stats()
STOP = threading.Event()


def connect():
    s = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=REPLY_TIMEOUT)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


class Closed(Exception):
    pass


def read_line(sock, buf):
    """One reply line from sock (buf keeps what came after it)."""
    while b"\n" not in buf:
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            raise
        except OSError:
            raise Closed()
        if not chunk:
            raise Closed()
        buf += chunk
    i = buf.index(b"\n")
    out = bytes(buf[:i])
    del buf[:i + 1]
    return out


class Client(threading.Thread):
    def __init__(self, index, seed):
        super().__init__(daemon=True)
        self.index = index
        self.rng = random.Random(seed)
        self.sock = None
        self.buf = bytearray()
        self.last_tick = None
        # the main thread asks client 0 for 'Q T' and robots through these
        self.want_tick = threading.Event()
        self.tick = None
        self.tick_ready = threading.Event()
        self.want_robots = threading.Event()

    def _connect(self):
        while not STOP.is_set():
            try:
                self.sock = connect()
                self.buf = bytearray()
                # the arena closes at once a client it has no turtle or slot
                # for: a query tells an admitted client from a refused one
                self._exchange(b"Q A\n", 1)
                return True
            except (Closed, OSError):
                STATS.add(refused=1)
                self._drop()
                time.sleep(0.2)
        return False

    def _drop(self):
        if self.sock is not None:
            try:
                self.sock.close()
            except OSError:
                pass
        self.sock = None

    def _exchange(self, data, owed):
        """Send data and read the `owed` replies; the replies' lines."""
        try:
            self.sock.sendall(data)
        except OSError:
            raise Closed()
        STATS.add(lines=1, sent=owed)
        got = []
        for i in range(owed):
            try:
                got.append(read_line(self.sock, self.buf))
            except socket.timeout:
                STATS.add(unanswered=owed - i, replies=len(got))
                STATS.note("client %d: no reply %d of %d to %r" % (self.index, i + 1, owed,
                                                                   data[:80]))
                raise Closed()
            except Closed:
                STATS.add(replies=len(got))
                raise
        STATS.add(replies=owed)
        for g in got:
            parts = g.rsplit(b" @ ", 1)
            if len(parts) == 2:
                try:
                    self.last_tick = int(parts[1].split()[0])
                except (ValueError, IndexError):
                    STATS.note("client %d: odd reply %r" % (self.index, g[:80]))
            else:
                STATS.note("client %d: odd reply %r" % (self.index, g[:80]))
        return got

    def run(self):
        if not self._connect():
            return
        while not STOP.is_set():
            try:
                if self.want_tick.is_set():
                    self.want_tick.clear()
                    r = self._exchange(b"Q T\n", 1)[0]
                    try:
                        self.tick = (time.monotonic(), int(r.split()[0]))
                    except (ValueError, IndexError):
                        self.tick = None
                    self.tick_ready.set()
                    continue
                if self.want_robots.is_set():
                    self.want_robots.clear()
                    n = int(self._exchange(b"Q N\n", 1)[0].split()[0])
                    # NOTE: robots only up to 20 turtles in all, so ten slots
                    # stay for the clients coming back
                    for _ in range(max(0, N_ROBOTS - n)):
                        self._exchange(b"R\n", 1)
                    continue
                data = line(self.rng)
                self._exchange(data, replies_owed(data))
            except (Closed, ValueError, IndexError):
                if STOP.is_set():
                    break
                STATS.add(closed=1)
                self._drop()
                if not self._connect():
                    break
        self._drop()


def browser(index):
    """Polls every feed 10 times a second over one keep-alive connection."""
    conn = None
    period = 0.1
    next_at = time.monotonic()
    while not STOP.is_set():
        for path in FEEDS:
            if STOP.is_set():
                break
            next_at += period / len(FEEDS)
            delay = next_at - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                next_at = time.monotonic()
            try:
                if conn is None:
                    conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=10)
                conn.request("GET", path)
                resp = conn.getresponse()
                body = resp.read()
                STATS.add(http_requests=1)
                if resp.status != 200:
                    STATS.add(http_failures=1)
                    STATS.note("GET %s: status %d" % (path, resp.status))
                    continue
                if path != "/":
                    try:
                        json.loads(body)
                    except ValueError as e:
                        STATS.add(parse_failures=1)
                        if re.search(rb"\d{40}", body):
                            STATS.add(parse_failures_huge=1)
                        if re.search(rb":-?(nan|inf)", body):
                            STATS.add(parse_failures_nan=1)
                        at = getattr(e, "pos", 0) or 0
                        STATS.note("GET %s: JSON does not parse (%s): ...%r..."
                                   % (path, e, body[max(0, at - 60):at + 40]))
                if resp.will_close:
                    conn.close()
                    conn = None
            except (OSError, http.client.HTTPException) as e:
                STATS.add(http_requests=1, http_failures=1)
                STATS.note("GET %s: %s" % (path, e))
                if conn is not None:
                    conn.close()
                conn = None
    if conn is not None:
        conn.close()


class Console:
    """The field's keys as the teacher's console actions (headless)."""

    ACTIONS = {"exclam": "battle", "M": "maze", "Q": "quit"}

    def __init__(self, arena):
        self.key = re.search(r"key=(\w+)", arena.log()).group(1)

    def post(self, action):
        conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=20)
        try:
            conn.request("POST", "/control/" + action, headers={"X-Quillmere-Key": self.key})
            r = conn.getresponse()
            r.read()
            return r.status
        finally:
            conn.close()

    def press(self, key):
        if self.post(self.ACTIONS[key]) != 204:
            raise OSError("the console refused %s" % self.ACTIONS[key])

    def get(self, path):
        conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=20)
        try:
            conn.request("GET", path, headers={"X-Quillmere-Key": self.key})
            r = conn.getresponse()
            return r.status, r.read()
        finally:
            conn.close()


def replays_to_its_end(args):
    """A headless arena replays the soak's recording: it loads (every frame
    read and checked) and shows its last frame."""
    arena = Arena(args.bin, args=["--replay", args.record], headless=True).start()
    try:
        c = Console(arena)
        # the viewer port opens once the recording is loaded and checked,
        # which takes a while for an hour of play on a busy machine
        deadline = time.monotonic() + 120
        while True:
            try:
                st = json.loads(c.get("/control/state")[1])
                break
            except ConnectionRefusedError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        c.post("seek?tick=%d" % st["ticks_total"])
        deadline = time.monotonic() + 30
        while json.loads(c.get("/control/state")[1])["tick"] != st["ticks_total"]:
            if time.monotonic() > deadline:
                return False, st
            time.sleep(0.05)
        return True, st
    finally:
        arena.stop()


class Keys:
    """Key presses to the field's window through xdotool."""

    def __init__(self, arena):
        self.env = dict(os.environ, DISPLAY=arena.display)
        self.id = None
        deadline = time.monotonic() + 30
        while self.id is None and time.monotonic() < deadline:
            r = subprocess.run(["xdotool", "search", "--name", "Quill Mere"], env=self.env,
                               capture_output=True, text=True)
            ids = r.stdout.split()
            if ids:
                self.id = ids[0]
            else:
                time.sleep(0.2)
        if self.id is None:
            raise RuntimeError("no window named Quill Mere")

    def press(self, key):
        subprocess.run(["xdotool", "key", "--window", self.id, key], env=self.env,
                       capture_output=True, timeout=20)


def key_presser(keys, rng):
    names = {"!": "exclam", "M": "M"}
    while not STOP.wait(rng.uniform(*KEY_EVERY)):
        k = rng.choice("!M")
        try:
            keys.press(names[k])
            with STATS.lock:
                STATS.keys[k] += 1
        except (OSError, subprocess.SubprocessError) as e:
            STATS.note("key %s: %s" % (k, e))


# ------------------------------------------------------------ measuring

def proc_status(pid):
    out = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for row in f:
                if row.startswith("VmRSS:"):
                    out["rss"] = int(row.split()[1])
                elif row.startswith("RssAnon:"):
                    out["anon"] = int(row.split()[1])
                elif row.startswith("Threads:"):
                    out["threads"] = int(row.split()[1])
    except OSError:
        pass
    return out


def ask_tick(client):
    client.tick_ready.clear()
    client.want_tick.set()
    if client.tick_ready.wait(REPLY_TIMEOUT * 2):
        return client.tick
    return None


def run(args):
    seed = args.seed if args.seed is not None else random.randrange(10**9)
    rng = random.Random(seed)
    extra = ["--record", args.record] if args.record else []
    arena = Arena(args.bin, args=extra, headless=args.headless).start()
    pid = arena.proc.pid
    samples = []
    threads = []
    alive = True
    try:
        print("soak: %.1f minutes, %d clients, %d robots, %d browsers, seed %d; load %s"
              % (args.minutes, N_CLIENTS, N_ROBOTS, N_BROWSERS, seed,
                 "%.2f %.2f %.2f" % os.getloadavg()), flush=True)
        keys = Console(arena) if args.headless else Keys(arena)
        clients = [Client(i, rng.randrange(10**9)) for i in range(N_CLIENTS)]
        for c in clients:
            c.start()
        clients[0].want_robots.set()
        for i in range(N_BROWSERS):
            t = threading.Thread(target=browser, args=(i,), daemon=True)
            t.start()
            threads.append(t)
        kt = threading.Thread(target=key_presser, args=(keys, random.Random(rng.random())),
                              daemon=True)
        kt.start()
        threads.append(kt)

        t0 = time.monotonic()
        end = t0 + args.minutes * 60.0
        next_sample = t0
        while True:
            now = time.monotonic()
            if now >= end:
                break
            if arena.proc.poll() is not None:
                alive = False
                break
            if now >= next_sample:
                st = proc_status(pid)
                tick = ask_tick(clients[0])
                clients[0].want_robots.set()
                s = (now - t0, st.get("rss"), st.get("threads"), tick, st.get("anon"))
                samples.append(s)
                with STATS.lock:
                    sent, rep, closed, http_n = STATS.sent, STATS.replies, STATS.closed, \
                        STATS.http_requests
                print("  %6.0f s  RSS %7s kB  threads %3s  tick %8s  cmds %8d  replies %8d  "
                      "closed %5d  http %7d" % (s[0], s[1], s[2], tick[1] if tick else "-",
                                                 sent, rep, closed, http_n), flush=True)
                next_sample += SAMPLE_EVERY
            time.sleep(min(0.5, max(0.0, min(next_sample, end) - time.monotonic())))
        alive = alive and arena.proc.poll() is None
        final = proc_status(pid) if alive else {}
        final_tick = ask_tick(clients[0]) if alive else None
        t_end = time.monotonic()
    finally:
        STOP.set()
        for t in threads:
            t.join(15)
        try:
            for c in clients:
                c.join(REPLY_TIMEOUT + 5)
        except NameError:
            pass
        alive_at_stop = arena.proc is not None and arena.proc.poll() is None
        # The program is ended as a person at the window ends it, with Q
        # (exit(0)), so that a build with a leak checker checks at the exit.
        exit_status = None
        if alive_at_stop:
            try:
                keys.press("Q")
                exit_status = arena.proc.wait(60)
            except (NameError, OSError, subprocess.SubprocessError):
                pass
        arena.stop()

    alive = alive and alive_at_stop
    warm_anon = [s for s in samples if s[0] >= WARM_UP and s[4] is not None]
    warm = [s for s in samples if s[0] >= WARM_UP and s[1] is not None]
    start = warm[0] if warm else (samples[0] if samples else (0, None, None, None, None))
    threads_seen = [s[2] for s in samples if s[2] is not None] + \
        ([final["threads"]] if final.get("threads") else [])
    ticks_rate = None
    if start[3] and final_tick:
        ticks_rate = (final_tick[1] - start[3][1]) / max(1e-9, final_tick[0] - start[3][0])

    S = STATS
    print()
    print("soak: %.1f s of load (seed %d)" % (t_end - t0, seed))
    print("  commands sent         %d   (in %d sends)" % (S.sent, S.lines))
    print("  replies received      %d" % S.replies)
    print("  commands unanswered   %d   (no reply on an open connection within %.0f s)"
          % (S.unanswered, REPLY_TIMEOUT))
    print("  closed by the arena   %d   (turtle shot or killed, kill-all, maze); "
          "refused at connect %d" % (S.closed, S.refused))
    print("  owed on closed ones   %d   (replies a connection the arena closed still owed, "
          "the connecting 'Q A' of refused ones included)"
          % (S.sent - S.replies - S.unanswered))
    print("  HTTP requests         %d, failures %d, feeds that did not parse %d"
          % (S.http_requests, S.http_failures, S.parse_failures))
    if S.parse_failures:
        print("                        (of them %d carry a number of 40 digits or more, "
              "%d a nan or inf)" % (S.parse_failures_huge, S.parse_failures_nan))
    print("  keys pressed          '!' %d, 'M' %d" % (S.keys["!"], S.keys["M"]))
    print("  RSS                   %s kB at %.0f s (after the warm-up), %s kB at the end"
          % (start[1], start[0], final.get("rss")))
    # NOTE: a single sample may fall within the second before the arena hands
    # freed pages back (up to about 1 MB more); a minute's median does not
    minutes = {}
    for s in warm:
        minutes.setdefault(int(s[0] // 60), []).append(s[1])
    by_minute = [sorted(v)[len(v) // 2] for _, v in sorted(minutes.items())]
    if by_minute:
        print("  RSS by the minute     median %s kB in minute %d, %s kB in the last; "
              "all minutes within %d kB" % (by_minute[0], min(minutes), by_minute[-1],
                                             max(by_minute) - min(by_minute)))
    if warm_anon:
        print("  of it anonymous       %s kB at %.0f s, %s kB at the end   (heaps and stacks; "
              "the rest is mapped files: libraries, fonts)"
              % (warm_anon[0][4], warm_anon[0][0], final.get("anon")))
    print("  threads               %s at %.0f s, %s at the end, min %s max %s"
          % (start[2], start[0], final.get("threads"),
             min(threads_seen) if threads_seen else None,
             max(threads_seen) if threads_seen else None))
    print("  ticks/s               %s   (from %.0f s to the end)"
          % ("%.1f" % ticks_rate if ticks_rate is not None else "-", start[0]))
    print("  process alive         %s" % ("yes" if alive else "NO"))
    print("  exit status after Q   %s   (a leak checker in the build makes it non-zero on a leak)"
          % exit_status)
    if S.notes:
        print("  notes:")
        for n in S.notes[:20]:
            print("    " + n)
    failed = (not alive) or S.unanswered > 0 or S.parse_failures > 0 or exit_status != 0
    if args.record:
        replayed, st = replays_to_its_end(args)
        print("  recording             %.1f MB, ticks %d to %d; replayed to its end: %s"
              % (os.path.getsize(args.record) / 1e6, st["first_tick"], st["ticks_total"],
                 "yes" if replayed else "NO"))
        failed = failed or not replayed
    print("soak: %s" % ("FAILED" if failed else "passed"))
    return 1 if failed else 0


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", default=os.environ.get("QMERE_BIN") or os.path.join(REPO, "build",
                                                                                 "qmere"))
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--seed", type=int, default=None, help="for a repeatable command stream")
    p.add_argument("--headless", action="store_true", help="no window: console actions for keys")
    p.add_argument("--record", help="record the soak into this file, and replay it afterwards")
    sys.exit(run(p.parse_args()))


if __name__ == "__main__":
    main()
