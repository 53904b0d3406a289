"""fieldkit.py -- helpers for driving the arena's window like a person at
it: keys that are known to have been handled, window screenshots compared
with a tolerance, the viewer server's JSON feeds, the rules of a generated
maze, and arenas started with a changed environment.

Needs Xvfb, xdotool and ImageMagick's import and convert.
"""

import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import (TCP_PORT, Arena, ArenaCase, _die_with_parent,  # noqa: E402
                   _listening_inodes, _socket_inodes_of)
from test_window import Window, wait_for  # noqa: E402,F401

HTTP_PORT = 2280
SIDE = 512     # the window and the field, in pixels and field units
LATTICE = 32   # the maze grid step
HALF = SIDE // 2
HAVE_X = bool(shutil.which("Xvfb") and shutil.which("xdotool") and shutil.which("import"))

# The two @ presses that close every key sequence: private mode flips to
# public and back, and the second log line proves every earlier key ran.
_KEYS_DONE = re.compile(r"entering public mode\.\.\.\n(?:.*\n)*?entering private mode\.\.\.\n")


# --------------------------------------------------------------- the window

def window_of(arena):
    """The arena's Window, found once and kept with the arena."""
    win = getattr(arena, "_field_window", None)
    if win is None:
        win = Window(arena)
        arena._field_window = win
    return win


def press(arena, *keys):
    """Sends `keys` (xdotool key names) to the window and returns once the
    program has handled all of them."""
    mark = arena.mark()
    window_of(arena).key(*(list(keys) + ["at", "at"]))
    arena.wait_for_log(_KEYS_DONE, since=mark, timeout=20)


def shot(arena):
    """The window's pixels as SIDE*SIDE*3 bytes of RGB, top row first."""
    win = window_of(arena)
    r = subprocess.run(["import", "-window", win.id, "-depth", "8", "rgb:-"], env=win.env,
                       capture_output=True, timeout=30, check=True)
    if len(r.stdout) != SIDE * SIDE * 3:
        raise AssertionError("screenshot of %d bytes" % len(r.stdout))
    return r.stdout


class FrameClock:
    """A client whose turtle waits far outside the field, where neither view
    shows it (plain mode only): its replies carry the tick count, so a test
    can wait for frames drawn after a key."""

    def __init__(self, arena):
        self.turtle = arena.connect()
        if not self.turtle.jump(4000, 4000):
            self.turtle.close()
            raise AssertionError("the clock's turtle cannot leave the field")

    def wait_frames(self, n=3, timeout=15.0):
        # a tick's frame is drawn before the next tick's timer runs
        t0 = self.turtle.ticks()
        if not wait_for(lambda: self.turtle.ticks() >= t0 + n, timeout, 0.02):
            raise AssertionError("the arena's clock stands still")

    def close(self):
        self.turtle.close()


def settled_shot(arena, clock=None, timeout=15.0, gap=0.15):
    """A screenshot of a picture that stands still: taken after `clock` has
    seen some frames go by (when given), once two shots in a row agree."""
    if clock is not None:
        clock.wait_frames()
    prev = shot(arena)
    end = time.monotonic() + timeout
    while True:
        time.sleep(gap)
        cur = shot(arena)
        if cur == prev:
            return cur
        if time.monotonic() > end:
            raise AssertionError("the window never settled")
        prev = cur


def differing_pixels(a, b, tol=8):
    """Number of pixels whose channels differ by more than `tol`."""
    if a == b:
        return 0
    n = 0
    for i in range(0, len(a), 3):
        if (abs(a[i] - b[i]) > tol or abs(a[i + 1] - b[i + 1]) > tol
                or abs(a[i + 2] - b[i + 2]) > tol):
            n += 1
    return n


def pixel(img, x, y):
    i = 3 * (y * SIDE + x)
    return tuple(img[i:i + 3])


def count_pixels(img, x0, y0, x1, y1, pred):
    """Pixels in the window rectangle [x0, x1) x [y0, y1) for which pred holds."""
    return sum(1 for y in range(y0, y1) for x in range(x0, x1) if pred(pixel(img, x, y)))


def to_window(x, y):
    """Window pixel of field point (x, y) in the top-down view."""
    return int(round(x + HALF)), int(round(HALF - y))


def near(p, q, tol=6):
    return all(abs(a - b) <= tol for a, b in zip(p, q))


def png_rgb(path):
    """A PNG file's pixels as RGB bytes, top row first."""
    return subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True,
                          check=True, timeout=30).stdout


def capture_texts(chunks):
    """(key, text) of the text chunks; every one must be compressed."""
    texts = []
    for kind, body in chunks:
        if kind in ("tEXt", "iTXt"):
            raise AssertionError("an uncompressed text chunk: %r" % body[:40])
        if kind == "zTXt":
            key, rest = body.split(b"\0", 1)
            if rest[0] != 0:
                raise AssertionError("unknown compression %d" % rest[0])
            texts.append((key.decode(), zlib.decompress(rest[1:]).decode("latin-1")))
    return texts


# ------------------------------------------------------------ viewer feeds

def http_get(path, source=None, timeout=10.0):
    """(status, body) of one GET on the viewer port."""
    conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=timeout,
                                      source_address=(source, 0) if source else None)
    try:
        conn.request("GET", path, headers={"Connection": "close"})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def feed(name):
    status, body = http_get("/" + name)
    if status != 200:
        raise AssertionError("/%s answered %d" % (name, status))
    return json.loads(body.decode("latin-1"))


def live_entries(kind=None):
    """Live entries of the turtle feed, optionally only of one type (1
    turtle or robot, 2 doughnut, 3 stone)."""
    return [e for e in feed("turtle") if e["alive"] and (kind is None or e["type"] == kind)]


def wait_http(arena):
    arena.wait_for_log("httpd: listening for connections on port %d...\n" % HTTP_PORT)


def client_sockets(arena):
    """Number of command connections the program still holds open. (A
    client refused for want of a turtle is closed without a log line, so
    the log cannot tell this.)"""
    mine = _socket_inodes_of(arena.proc.pid)
    n = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    cols = row.split()
                    port = int(cols[1].rsplit(":", 1)[1], 16)
                    if port == TCP_PORT and cols[3] != "0A" and cols[9] in mine:
                        n += 1
        except OSError:
            pass
    return n


# --------------------------------------------------------------- the maze

BOUNDARY = [(256.0, 256.0, -256.0, 256.0), (-256.0, -256.0, 256.0, -256.0),
            (-256.0, 256.0, -256.0, -256.0), (256.0, -256.0, 256.0, 256.0)]


def vertex(x, y):
    """Lattice indices of a field point that must lie on the lattice."""
    i, j = (x + HALF) / LATTICE, (y + HALF) / LATTICE
    if i != int(i) or j != int(j):
        raise AssertionError("(%r, %r) is off the %d-unit lattice" % (x, y, LATTICE))
    return int(i), int(j)


def maze_faults(walls):
    """Everything wrong with a wall feed that should hold the boundary and
    then a generated maze, in table order; an empty list when it keeps every
    rule. Also returns the maze segments as ((i0, j0), (i1, j1))."""
    faults = []
    ends = [(w["x1"], w["y1"], w["x2"], w["y2"]) for w in walls]
    if ends[:4] != BOUNDARY:
        faults.append("the feed does not open with the four boundary faces: %r" % ends[:4])
    touched = {}
    starts = set()
    segments = []
    for w in walls[4:]:
        try:
            a = vertex(w["x1"], w["y1"])
            b = vertex(w["x2"], w["y2"])
        except AssertionError as e:
            faults.append(str(e))
            continue
        dx, dy = b[0] - a[0], b[1] - a[1]
        if abs(dx) + abs(dy) != 1:
            faults.append("segment %r is not one axis-aligned step of %d" % (w, LATTICE))
            continue
        if (w["nx"], w["ny"]) != (-dy, dx):
            faults.append("front face %r has the wrong normal" % (w,))
        if not (1 <= a[0] <= 15 and 1 <= a[1] <= 15):
            faults.append("segment starts at boundary vertex %r" % (a,))
        if a[1] > 1 and dy < 0:
            faults.append("segment starting above the first row points south: %r" % (w,))
        if a in starts:
            faults.append("two walls start at vertex %r" % (a,))
        starts.add(a)
        if touched.get(a) and touched.get(b):
            faults.append("segment %r joins two vertices that already had wall ends" % (w,))
        touched[a] = touched.get(a, 0) + 1
        touched[b] = touched.get(b, 0) + 1
        segments.append((a, b))
    # rows are laid from south to north, each from west to east
    order = [a for a, _ in segments]
    if order != sorted(order, key=lambda v: (v[1], v[0])):
        faults.append("segments are not in the order of their start vertices")
    return faults, segments


def complete_maze(walls):
    """True for a boundary-plus-maze feed whose top interior row has walls:
    a north wall from that row always succeeds, so a whole maze has one."""
    _, segments = maze_faults(walls)
    return any(a[1] == 15 for a, _ in segments)


# ---------------------------------------------- arenas with another setting

class EnvArena(Arena):
    """An arena whose program gets a changed environment: `env` maps names
    to values, None removes the name. The working directory is a fresh one
    of its own (self.workdir), apart from the harness's home directory."""

    def __init__(self, env, **kw):
        super().__init__(**kw)
        self.env_changes = dict(env)
        self.workdir = None

    def _start_program(self):
        self.home = tempfile.TemporaryDirectory(prefix="qmere-home-")
        self.workdir = tempfile.mkdtemp(prefix="qmere-cwd-", dir=self.home.name)
        env = dict(os.environ, DISPLAY=self.display, HOME=self.home.name)
        for k, v in self.env_changes.items():
            if v is None:
                env.pop(k, None)
            else:
                env[k] = v
        self.proc = subprocess.Popen(
            [self.binary] + self.args, cwd=self.workdir, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, start_new_session=True, preexec_fn=_die_with_parent)
        self._reader = threading.Thread(target=self._read_stderr, args=(self.proc.stderr,),
                                        daemon=True)
        self._reader.start()


class ArenaWithoutCommandPort(Arena):
    """An arena started while another program holds the command port: it
    counts as up once the viewer server listens."""

    def _wait_port_free(self):
        end = time.monotonic() + 60
        while _listening_inodes(HTTP_PORT):
            if time.monotonic() > end:
                raise RuntimeError("port %d stays busy" % HTTP_PORT)
            time.sleep(0.2)

    def _wait_listening(self):
        end = time.monotonic() + 30
        while "httpd: listening for connections" not in self.log():
            if self.proc.poll() is not None:
                raise RuntimeError("qmere ended (%s):\n%s" % (self.proc.returncode, self.log()))
            if time.monotonic() > end:
                raise RuntimeError("the viewer server never listened:\n" + self.log())
            time.sleep(0.05)


def hold_port(port, timeout=60.0):
    """A listening socket on `port` (all addresses), once nobody else has it."""
    end = time.monotonic() + timeout
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
            s.listen(1)
            return s
        except OSError:
            s.close()
            if time.monotonic() > end:
                raise
            time.sleep(0.2)


# ------------------------------------------------------- the test case

@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class FieldCase(ArenaCase):
    """A test on the shared arena's tidy field, with its window at hand.
    Every test leaves maze mode off and the view as it found it."""

    def setUp(self):
        super().setUp()
        self.win = window_of(self.arena)
        self.addCleanup(self.leave_maze)

    def maze_on(self):
        log = self.arena.log()
        return log.count("entering maze mode...\n") > log.count("exited from maze mode...\n")

    def leave_maze(self):
        if self.maze_on():
            mark = self.arena.mark()
            self.win.key("M")
            self.arena.wait_for_log("exited from maze mode...\n", since=mark)

    def toggle_maze(self, want_on):
        """M, waiting for the mode's log lines; returns the log since."""
        mark = self.arena.mark()
        self.win.key("M")
        if want_on:
            self.arena.wait_for_log("entering maze mode...\n", since=mark)
        else:
            self.arena.wait_for_log("exited from maze mode...\n", since=mark)
        return self.arena.log()[mark:]

    def wait_closed(self, n, since, timeout=10.0):
        """Waits until n connections have been closed after log mark `since`."""
        ok = wait_for(lambda: self.arena.count("closing connection from ", since) >= n, timeout)
        self.assertTrue(ok, "only %d of %d connections closed"
                        % (self.arena.count("closing connection from ", since), n))

    def choose_until(self, entry, done, what):
        """Picks pop-up menu entry `entry` until `done()` holds. The pointer
        moves of a pick can go astray on a busy machine, so a pick that
        shows no effect is tried again (for a toggle, `done` must look for
        the switch having happened at least once)."""
        for _ in range(3):
            self.win.choose(entry)
            if wait_for(done, 10):
                return
        self.fail("choosing %s had no effect" % what)

    def frame_clock(self):
        clock = FrameClock(self.arena)
        self.addCleanup(clock.close)
        return clock

    def paint_mark(self):
        """A blue field with an orange hook painted from the centre (east,
        then north) and no turtle left on it: a picture that stands still."""
        t = self.client(park=False)
        self.assertTrue(t.field_color(0.2, 0.2, 0.6))
        self.assertTrue(t.jump(0, 0))
        self.assertTrue(t.head("east"))
        t.color(1, 0.5, 0)
        t.width(8)
        t.pen_down()
        self.assertTrue(t.forward(150))
        t.left(90)
        self.assertTrue(t.forward(80))
        t.pen_up()  # read only after the frame that painted the last move
        t.close()
        self.arena.wait_all_closed()
        press(self.arena, "z")
