"""fieldkit.py -- helpers for driving the arena's window like a person at
it: the window through the X tools, keys that are known to have been
handled, the one screenshot reader and the picture type (Pixels) every
suite looks at, captured PNG files, the viewer server's JSON feeds and the
rules of a generated maze.

Needs Xvfb, xdotool and ImageMagick's import and convert.
"""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import (START_TIMEOUT, TCP_PORT, ArenaCase, _socket_inodes_of,  # noqa: E402
                   http_get, tcp_sockets, wait_for, wait_ticks)
import quillmere  # noqa: E402  (the arena module puts it on the path)

SIDE = 512     # the window and the field, in pixels and field units
LATTICE = 32   # the maze grid step
HALF = SIDE // 2
HAVE_X = bool(shutil.which("Xvfb") and shutil.which("xdotool") and shutil.which("import"))
# where the toolkit's pop-up menu puts its entries below the pointer
MENU_FIRST = 13
MENU_STEP = 25

# The two @ presses that close every key sequence: private mode flips to
# public and back, and the second log line proves every earlier key ran.
_KEYS_DONE = re.compile(r"entering public mode\.\.\.\n(?:.*\n)*?entering private mode\.\.\.\n")


# --------------------------------------------------------------- the window

class Window:
    """The arena's window, seen through the X tools."""

    def __init__(self, arena):
        self.env = dict(os.environ, DISPLAY=arena.display)
        self.id = wait_for(self._find, START_TIMEOUT, 0.1)
        if not self.id:
            raise RuntimeError("the arena never showed its window")

    def x(self, args, check=True):
        return subprocess.run(args, env=self.env, capture_output=True, text=True,
                              timeout=20, check=check)

    def _find(self):
        ids = self.x(["xdotool", "search", "--name", "Quill Mere @"], check=False).stdout.split()
        return ids[0] if ids else None

    def key(self, *keys, check=True):
        self.x(["xdotool", "key", "--window", self.id] + list(keys), check=check)

    def title(self):
        m = re.search(r'= "(.*)"', self.x(["xprop", "-id", self.id, "WM_NAME"]).stdout)
        return m.group(1) if m else None

    def choose(self, entry):
        """Picks pop-up menu entry `entry` (0 = the first) with the right
        button: press, drag onto the entry, release."""
        x, y = 100, 100  # the menu opens with its corner at the pointer
        self.x(["xdotool", "mousemove", "--window", self.id, str(x), str(y), "mousedown", "3"])
        time.sleep(0.7)
        self.x(["xdotool", "mousemove", "--window", self.id, str(x + 50),
                str(y + MENU_FIRST + MENU_STEP * entry)])
        time.sleep(0.7)
        self.x(["xdotool", "mouseup", "3"], check=False)

    def size(self):
        out = self.x(["xwininfo", "-id", self.id]).stdout
        return (int(re.search(r"Width: (\d+)", out).group(1)),
                int(re.search(r"Height: (\d+)", out).group(1)))


def window_of(arena):
    """The arena's Window, found once and kept with the arena."""
    win = getattr(arena, "_field_window", None)
    if win is None:
        win = Window(arena)
        arena._field_window = win
    return win


def press(arena, *keys):
    """Sends `keys` (xdotool key names) to the window and returns once the
    program has handled all of them and the feeds show what they did (the
    next frame publishes them: at most two idle ticks later)."""
    mark = arena.mark()
    window_of(arena).key(*(list(keys) + ["at", "at"]))
    arena.wait_for_log(_KEYS_DONE, since=mark, timeout=20)
    time.sleep(0.2)


class Pixels:
    """One SIDE x SIDE RGB picture, top row first: the window or a capture.
    The top-down view shows field point (x, y) at column x + HALF, row
    HALF - y; a test on a colour is a function of a pixel's (r, g, b)."""

    def __init__(self, raw):
        if len(raw) != SIDE * SIDE * 3:
            raise AssertionError("a picture of %d bytes" % len(raw))
        self.raw = raw

    def at(self, col, row):
        i = 3 * (row * SIDE + col)
        return tuple(self.raw[i:i + 3])

    @staticmethod
    def cell(x, y):
        """The pixel (col, row) that shows field point (x, y)."""
        return min(SIDE - 1, max(0, int(x + HALF))), min(SIDE - 1, max(0, int(HALF - y)))

    def field(self, x, y):
        return self.at(*self.cell(x, y))

    def count(self, pred, x0=-HALF, y0=-HALF, x1=HALF - 1, y1=HALF - 1):
        """Pixels matching pred in the field box [x0, x1] x [y0, y1]."""
        c0, r1 = self.cell(x0, y0)
        c1, r0 = self.cell(x1, y1)
        raw = self.raw
        return sum(1 for row in range(r0, r1 + 1)
                   for i in range(3 * (row * SIDE + c0), 3 * (row * SIDE + c1) + 1, 3)
                   if pred(raw[i], raw[i + 1], raw[i + 2]))

    def near(self, x, y, pred, radius=2):
        """Does a pixel within `radius` of field point (x, y) match?"""
        return self.count(pred, x - radius, y - radius, x + radius, y + radius) > 0


def near(p, q, tol=6):
    """Colours p and q agree within `tol` in every channel."""
    return all(abs(a - b) <= tol for a, b in zip(p, q))


def differing_pixels(a, b, tol=8, rows=SIDE):
    """Number of pixels in the first `rows` rows of pictures a and b whose
    channels differ by more than `tol`."""
    a, b = a.raw[:rows * SIDE * 3], b.raw[:rows * SIDE * 3]
    if a == b:
        return 0
    return sum(1 for i in range(0, len(a), 3)
               if abs(a[i] - b[i]) > tol or abs(a[i + 1] - b[i + 1]) > tol
               or abs(a[i + 2] - b[i + 2]) > tol)


def shot(arena):
    """The window's picture."""
    win = window_of(arena)
    return Pixels(subprocess.run(["import", "-window", win.id, "-depth", "8", "rgb:-"],
                                 env=win.env, capture_output=True, timeout=30,
                                 check=True).stdout)


class FrameClock:
    """A client whose turtle waits far outside the field, where neither view
    shows it (plain mode only): its replies carry the tick count, so a test
    can wait for frames drawn after a key."""

    def __init__(self, arena):
        self.turtle = arena.connect()
        if not self.turtle.jump(4000, 4000):
            self.turtle.close()
            raise AssertionError("the clock's turtle cannot leave the field")

    def wait_frames(self, n=3):
        wait_ticks(self.turtle, n)

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
        if cur.raw == prev.raw:
            return cur
        if time.monotonic() > end:
            raise AssertionError("the window never settled")
        prev = cur


def png_chunks(path):
    """(type, body) of every chunk of a complete PNG file; None while the
    file is missing or not yet written to its end."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    out, i = [], 8
    while i + 8 <= len(data):
        n, kind = struct.unpack(">I4s", data[i:i + 8])
        if i + 12 + n > len(data):
            return None
        out.append((kind.decode(errors="replace"), data[i + 8:i + 8 + n]))
        i += 12 + n
    return out if out and out[-1][0] == "IEND" else None


def png_rgb(path):
    """A PNG file's picture."""
    return Pixels(subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True,
                                 check=True, timeout=30).stdout)


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

def feed(name):
    lines, body = http_get("/" + name)
    if lines[0] != b"HTTP/1.1 200 OK":
        raise AssertionError("/%s answered %r" % (name, lines[0]))
    return json.loads(body.decode("latin-1"))


def live_entries(kind=None):
    """Live entries of the turtle feed, optionally only of one type (1
    turtle or robot, 2 doughnut, 3 stone)."""
    return [e for e in feed("turtle") if e["alive"] and (kind is None or e["type"] == kind)]


def client_sockets(arena):
    """Number of command connections the program still holds open. (A
    client refused for want of a turtle is closed without a log line, so
    the log cannot tell this.)"""
    mine = _socket_inodes_of(arena.proc.pid)
    return sum(1 for local, _, state, inode in tcp_sockets()
               if local == TCP_PORT and state != "0A" and inode in mine)


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
    then a whole generated maze, in table order; an empty list when it looks
    right. (The generator's own rules, seed by seed: the unit tests.) Also
    returns the maze segments as ((i0, j0), (i1, j1))."""
    faults = []
    ends = [(w["x1"], w["y1"], w["x2"], w["y2"]) for w in walls]
    if ends[:4] != BOUNDARY:
        faults.append("the feed does not open with the four boundary faces: %r" % ends[:4])
    segments = []
    for w in walls[4:]:
        try:
            a, b = vertex(w["x1"], w["y1"]), vertex(w["x2"], w["y2"])
        except AssertionError as e:
            faults.append(str(e))
            continue
        dx, dy = b[0] - a[0], b[1] - a[1]
        if abs(dx) + abs(dy) != 1 or (w["nx"], w["ny"]) != (-dy, dx):
            faults.append("%r is not one front face of %d units on the lattice" % (w, LATTICE))
        elif not (1 <= a[0] <= 15 and 1 <= a[1] <= 15):
            faults.append("segment starts at boundary vertex %r" % (a,))
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
            self.toggle_maze(False)

    def toggle_maze(self, want_on):
        """M, waiting for the mode's log lines; returns the log since."""
        mark = self.arena.mark()
        self.win.key("M")
        self.arena.wait_for_log("entering maze mode...\n" if want_on
                                else "exited from maze mode...\n", since=mark)
        time.sleep(0.2)  # the next frame publishes the new walls
        return self.arena.log()[mark:]

    def wait_closed(self, n, since, timeout=10.0):
        """Waits until n connections have been closed after log mark `since`."""
        ok = wait_for(lambda: self.arena.count("closing connection from ", since) >= n, timeout)
        self.assertTrue(ok, "only %d of %d connections closed"
                        % (self.arena.count("closing connection from ", since), n))

    def assertSentAway(self, t):
        """The arena ends client t's connection (its next replies fail)."""
        with self.assertRaises((quillmere.ArenaError, OSError)):
            for _ in range(50):
                t.nop()
                time.sleep(0.05)

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
