"""arena.py -- the real qmere program (headless or on a private Xvfb, its log
kept) for the arena suites: sockets, HTTP, a peer host, the window, pictures."""

import ctypes
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "clients", "python"))
import quillmere  # noqa: E402

TCP_PORT, HTTP_PORT = 2222, 2280


def listening(port):  # state "0A" in the kernel's socket tables
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            if any(int(c[1].rsplit(":", 1)[1], 16) == port and c[3] == "0A"
                   for c in (row.split() for row in list(f)[1:])):
                return True
    return False


def _spawn(args, **kw):  # in a session of its own, ended when the test process dies
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, start_new_session=True,
                            preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGTERM), **kw)


def _stop(proc):
    if proc is not None and proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(5)


class Arena:
    """binary: else QMERE_BIN, else build/qmere; env: values to set, None to
    remove; headless: True passes --headless, "fallback" leaves DISPLAY unset."""

    def __init__(self, binary=None, args=(), env=None, headless=False):
        self.binary = os.path.abspath(binary or os.environ.get("QMERE_BIN")
                                      or REPO + "/build/qmere")
        self.args = (["--headless"] if headless is True else []) + list(args)
        self.headless, self.env = headless, dict(env or {})
        self.display = self.xvfb = self.proc = self.home = None
        self._log, self._cond = bytearray(), threading.Condition()
        self._reading = threading.Event()  # cleared: nobody reads the log
        self._reading.set()

    def start(self):
        try:
            env = dict(os.environ)
            env.pop("DISPLAY", None)
            if not self.headless:
                r, w = os.pipe()
                self.xvfb = _spawn(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24",
                                    "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, pass_fds=(w,))
                os.close(w)
                with os.fdopen(r) as f:  # the number, once it takes clients
                    self.display = env["DISPLAY"] = ":" + f.readline().strip()
            self.home = tempfile.TemporaryDirectory(prefix="qmere-home-")
            self.workdir = tempfile.mkdtemp(prefix="qmere-cwd-", dir=self.home.name)
            env["HOME"] = self.home.name
            env.update(self.env)
            self.proc = _spawn([self.binary] + self.args, cwd=self.workdir,
                               env={k: v for k, v in env.items() if v is not None},
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            self.reader = threading.Thread(target=self._read_log, daemon=True)
            self.reader.start()
            # (a port a test holds on purpose counts as listening)
            if not wait_for(lambda: self.proc.poll() is not None or listening(TCP_PORT)
                            and listening(HTTP_PORT), 30, 0.02) or self.proc.poll() is not None:
                raise RuntimeError("qmere never listened:\n" + self.log())
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        _stop(self.proc)
        if self.proc is not None and self.reader.join(5) is None and not self.reader.is_alive():
            self.proc.stderr.close()
        _stop(self.xvfb)
        if self.home is not None:
            self.home.cleanup()
            self.home = None

    def __enter__(self): return self.start()

    def __exit__(self, *exc): self.stop()

    def pause_log(self):  # as a paused terminal would; resume_log() reads on
        self._reading.clear()

    def resume_log(self): self._reading.set()

    def _read_log(self):
        while self._reading.wait() and (chunk := self.proc.stderr.read1(65536)):
            with self._cond:
                self._log += chunk
                self._cond.notify_all()

    def log(self):
        with self._cond:
            return self._log.decode("latin-1")

    def mark(self):  # a position in the log, for wait_for_log and count
        with self._cond:
            return len(self._log)

    def wait_for_log(self, pattern, since=0, timeout=10.0):
        """The match of `pattern` (text or compiled expression) after `since`."""
        rx = pattern if isinstance(pattern, re.Pattern) else re.compile(re.escape(pattern))
        deadline = time.monotonic() + timeout
        with self._cond:
            while not (m := rx.search(self._log.decode("latin-1"), since)):
                if not self._cond.wait(max(0, deadline - time.monotonic())):
                    raise AssertionError("log never showed %r; since mark:\n%s"
                                         % (rx.pattern, self._log[since:].decode("latin-1")))
            return m

    def count(self, text, since=0): return self.log().count(text, since)

    def key(self):  # the teacher's console key
        return self.wait_for_log(re.compile(r"control: \S+\?key=(\w+)\n")).group(1)

    def connect(self, **kw): return quillmere.Turtle("127.0.0.1", TCP_PORT, **kw)

    def wait_all_closed(self):
        def still_open():
            return self.count("handling client from ") - self.count("closing connection from ")
        if not wait_for(lambda: still_open() <= 0):
            raise AssertionError("%d clients still connected" % still_open())

    def tidy(self):  # battle mode off, zombies gone but the tidying client's own, parked
        self.wait_all_closed()
        with self.connect() as t:
            t.battle(False)
            t.clear_zombies()
            t.jump(240, -240)
        self.wait_all_closed()


def wait_for(pred, timeout=10.0, step=0.05):  # pred's last value
    end = time.monotonic() + timeout
    while not (v := pred()) and time.monotonic() < end:
        time.sleep(step)
    return v


def wait_ticks(turtle, n=3):  # the arena's clock, as `turtle` sees it, n ticks on
    t0 = turtle.ticks()
    if not wait_for(lambda: turtle.ticks() >= t0 + n, 30, 0.02):
        raise AssertionError("the arena's clock stands still")


def hold_port(port): return socket.create_server(("0.0.0.0", port), reuse_port=False)


def closed_by_peer(sock, timeout=10.0):  # EOF or reset in time; data is dropped
    sock.settimeout(timeout)
    try:
        while sock.recv(4096):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        return False
    return True


def http_socket(): return socket.create_connection(("127.0.0.1", HTTP_PORT), 10)


def read_response(sock, head=False):  # (raw header, [header lines], body)
    raw = b""
    while not raw.endswith(b"\r\n\r\n"):
        chunk = sock.recv(1)
        if not chunk:
            raise ConnectionError("closed inside the header: %r" % raw)
        raw += chunk
    lines = raw[:-4].split(b"\r\n")
    size = 0 if head else next((int(ln[16:]) for ln in lines
                                if ln.startswith(b"Content-Length: ")), 0)
    body = b""
    while len(body) < size:
        chunk = sock.recv(size - len(body))
        if not chunk:
            raise ConnectionError("closed after %d of %d body bytes" % (len(body), size))
        body += chunk
    return raw, lines, body


def http_get(path, method="GET", extra=b""):  # on a fresh connection: ([lines], body)
    with http_socket() as s:
        s.sendall(b"%s %s HTTP/1.1\r\nHost: t\r\n%s\r\n" % (method.encode(), path.encode(), extra))
        return read_response(s, head=method == "HEAD")[1:]


class PeerNet:
    """A second network namespace joined to ours by a veth pair: truly another host."""

    here, peer = "10.99.0.1", "10.99.0.2"
    available = os.geteuid() == 0 and shutil.which("ip") is not None

    def __enter__(self):
        self.ns = "qmpeer%d" % os.getpid()
        for cmd in (f"netns add {self.ns}", "link add qmh type veth peer name qmp",
                    f"link set qmp netns {self.ns}", f"addr add {self.here}/30 dev qmh",
                    "link set qmh up", f"-n {self.ns} addr add {self.peer}/30 dev qmp",
                    f"-n {self.ns} link set qmp up"):
            subprocess.run(["ip"] + cmd.split(), check=True, capture_output=True)
        return self

    def __exit__(self, *exc):
        subprocess.run(["ip", "link", "del", "qmh"], capture_output=True)
        subprocess.run(["ip", "netns", "del", self.ns], capture_output=True)

    def socket(self):  # made inside the peer, it keeps that namespace
        setns = ctypes.CDLL(None).setns
        with open("/proc/thread-self/ns/net") as home, open("/run/netns/" + self.ns) as peer:
            setns(peer.fileno(), 0x40000000)  # CLONE_NEWNET
            s = socket.socket()
            setns(home.fileno(), 0x40000000)
        s.settimeout(10)
        return s


class ArenaCase(unittest.TestCase):
    """A test on a tidy field of the module's shared arena (classes run in
    name order); clients made with self.client() are closed afterwards."""

    headless = False
    _shared = None

    @classmethod
    def setUpClass(cls):
        if ArenaCase._shared is None:
            cls.arena = ArenaCase._shared = Arena(headless=cls.headless).start()
            unittest.addModuleCleanup(lambda: setattr(ArenaCase, "_shared", cls.arena.stop()))
        else:
            cls.arena = ArenaCase._shared

    def setUp(self): self.arena.tidy()

    def client(self):
        t = self.arena.connect()
        self.addCleanup(t.close)
        return t


SIDE, HALF = 512, 256  # the window and the field, in pixels and field units
HAVE_X = all(shutil.which(t) for t in ("Xvfb", "xdotool", "import", "xprop", "xwininfo"))
# two @ presses end every key sequence: private mode flips to public and
# back, and the second log line proves every earlier key ran
_KEYS_DONE = re.compile(r"entering public mode\.\.\.\n(?:.*\n)*?entering private mode\.\.\.\n")


class Window:
    def __init__(self, arena):
        self.env = dict(os.environ, DISPLAY=arena.display)
        self.id = wait_for(lambda: self.x(["xdotool", "search", "--name", "Quill Mere @"],
                                          check=False).stdout.split(), 30, 0.1)
        if not self.id:
            raise RuntimeError("the arena never showed its window")
        self.id = self.id[0]

    def x(self, args, check=True):
        return subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=20,
                              check=check)

    def key(self, *keys, check=True):
        self.x(["xdotool", "key", "--window", self.id] + list(keys), check=check)

    def title(self):
        return re.search(r'= "(.*)"', self.x(["xprop", "-id", self.id, "WM_NAME"]).stdout)[1]

    def size(self):
        out = self.x(["xwininfo", "-id", self.id]).stdout
        return int(re.search(r"Width: (\d+)", out)[1]), int(re.search(r"Height: (\d+)", out)[1])

    def choose(self, entry, done):
        """Drags the right button onto menu entry `entry` (0 the first), until
        done() holds: the pointer can go astray on a busy machine."""
        for _ in range(3):
            self.x(["xdotool", "mousemove", "--window", self.id, "100", "100", "mousedown", "3"])
            time.sleep(0.7)
            self.x(["xdotool", "mousemove", "--window", self.id, "150", str(113 + 25 * entry)])
            time.sleep(0.7)
            self.x(["xdotool", "mouseup", "3"], check=False)
            if wait_for(done, 10):
                return True
        raise AssertionError("menu entry %d had no effect" % entry)


def window_of(arena):
    if not hasattr(arena, "window"):
        arena.window = Window(arena)
    return arena.window


def press(arena, *keys):  # returns once the next frame has published what they did
    mark = arena.mark()
    window_of(arena).key(*keys, "at", "at")
    arena.wait_for_log(_KEYS_DONE, since=mark, timeout=20)
    time.sleep(0.2)


class Pixels:
    """A SIDE x SIDE RGB picture, top row first; field point (x, y) at column
    x + HALF, row HALF - y. A colour test is a function of (r, g, b)."""

    def __init__(self, raw):
        assert len(raw) == SIDE * SIDE * 3, "a picture of %d bytes" % len(raw)
        self.raw = raw

    def at(self, col, row):
        i = 3 * (row * SIDE + col)
        return tuple(self.raw[i:i + 3])

    @staticmethod
    def cell(x, y):
        return min(SIDE - 1, max(0, int(x + HALF))), min(SIDE - 1, max(0, int(HALF - y)))

    def field(self, x, y): return self.at(*self.cell(x, y))

    def count(self, pred, x0=-HALF, y0=-HALF, x1=HALF - 1, y1=HALF - 1):  # in the box
        (c0, r1), (c1, r0) = self.cell(x0, y0), self.cell(x1, y1)
        return sum(1 for row in range(r0, r1 + 1) for col in range(c0, c1 + 1)
                   if pred(*self.at(col, row)))

    def near(self, x, y, pred, radius=2):
        return self.count(pred, x - radius, y - radius, x + radius, y + radius) > 0


def near(p, q, tol=6): return all(abs(a - b) <= tol for a, b in zip(p, q))


def differing_pixels(a, b, tol=8):
    return 0 if a.raw == b.raw else sum(1 for i in range(0, len(a.raw), 3)
               if any(abs(a.raw[i + k] - b.raw[i + k]) > tol for k in range(3)))


def shot(arena):
    win = window_of(arena)
    return Pixels(subprocess.run(["import", "-window", win.id, "-depth", "8", "rgb:-"],
                                 env=win.env, capture_output=True, timeout=30, check=True).stdout)


def settled_shot(arena, clock=None):
    """Once `clock` (a turtle) has seen frames go by, two shots in a row that agree."""
    if clock is not None:
        wait_ticks(clock)
    prev = shot(arena)
    for _ in range(60):
        time.sleep(0.15)
        cur = shot(arena)
        if cur.raw == prev.raw:
            return cur
        prev = cur
    raise AssertionError("the window never settled")


def png_file(path):
    """(picture, [(key, text)], [chunk types]), or None while it is unfinished;
    every text chunk must be compressed."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    chunks, i = [], 8
    while i + 8 <= len(data) and (not chunks or chunks[-1][0] != "IEND"):
        n, kind = struct.unpack(">I4s", data[i:i + 8])
        chunks.append((kind.decode(), data[i + 8:i + 8 + n]))
        i += 12 + n
    if i > len(data) or not chunks or chunks[-1][0] != "IEND":
        return None
    assert not any(k in ("tEXt", "iTXt") for k, _ in chunks), "an uncompressed text chunk"
    texts = [body.split(b"\0", 1) for k, body in chunks if k == "zTXt"]
    texts = [(key.decode(), zlib.decompress(rest[1:]).decode("latin-1")) for key, rest in texts]
    rgb = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True,
                         check=True, timeout=30).stdout
    return Pixels(rgb), texts, [k for k, _ in chunks]


def feed(name):
    lines, body = http_get("/" + name)
    assert lines[0] == b"HTTP/1.1 200 OK", lines[0]
    return json.loads(body.decode("latin-1"))


def live_entries(kind=None):  # of one type (1 turtle, 2 doughnut, 3 stone)
    return [e for e in feed("turtle") if e["alive"] and kind in (None, e["type"])]


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class FieldCase(ArenaCase):
    """An ArenaCase with its window; maze mode is left off afterwards."""

    def setUp(self):
        super().setUp()
        self.win = window_of(self.arena)
        n = self.arena.count
        self.addCleanup(lambda: n("entering maze mode...\n") > n("exited from maze mode...\n")
                        and self.toggle_maze(False))

    def toggle_maze(self, want_on):  # M; the log since
        mark = self.arena.mark()
        self.win.key("M")
        self.arena.wait_for_log("entering maze mode...\n" if want_on
                                else "exited from maze mode...\n", since=mark)
        time.sleep(0.2)  # the next frame publishes the new walls
        return self.arena.log()[mark:]

    def close_and_wait(self, *clients):
        mark = self.arena.mark()
        for t in clients:
            t.close()
        self.assertTrue(wait_for(lambda: self.arena.count("closing connection from ", mark)
                                 >= len(clients)))

    def assertSentAway(self, t):
        with self.assertRaises((quillmere.ArenaError, OSError)):
            for _ in range(50):
                t.nop()
                time.sleep(0.05)
