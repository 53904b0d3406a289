"""fieldkit.py -- the arena's window as a person at it meets it: keys known
to have been handled, the pop-up menu, screenshots as pictures (Pixels),
captured PNG files and the viewer's JSON feeds. Needs Xvfb, xdotool, xprop,
xwininfo and ImageMagick.
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
from arena import ArenaCase, http_get, wait_for, wait_ticks  # noqa: E402
import quillmere  # noqa: E402

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
        """Picks pop-up menu entry `entry` (0 the first): press the right button,
        drag onto the entry (13 + 25 * entry below the pointer), release; until
        done() holds, as the pointer can go astray on a busy machine."""
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


def press(arena, *keys):
    """Sends `keys` (xdotool names) and returns once all were handled and the
    next frame has published what they did."""
    mark = arena.mark()
    window_of(arena).key(*keys, "at", "at")
    arena.wait_for_log(_KEYS_DONE, since=mark, timeout=20)
    time.sleep(0.2)


class Pixels:
    """A SIDE x SIDE RGB picture, top row first. Field point (x, y) shows at
    column x + HALF, row HALF - y; a colour test is a function of (r, g, b)."""

    def __init__(self, raw):
        assert len(raw) == SIDE * SIDE * 3, "a picture of %d bytes" % len(raw)
        self.raw = raw

    def at(self, col, row):
        i = 3 * (row * SIDE + col)
        return tuple(self.raw[i:i + 3])

    @staticmethod
    def cell(x, y):
        return min(SIDE - 1, max(0, int(x + HALF))), min(SIDE - 1, max(0, int(HALF - y)))

    def field(self, x, y):
        return self.at(*self.cell(x, y))

    def count(self, pred, x0=-HALF, y0=-HALF, x1=HALF - 1, y1=HALF - 1):
        """Pixels matching pred in the field box [x0, x1] x [y0, y1]."""
        (c0, r1), (c1, r0) = self.cell(x0, y0), self.cell(x1, y1)
        return sum(1 for row in range(r0, r1 + 1) for col in range(c0, c1 + 1)
                   if pred(*self.at(col, row)))

    def near(self, x, y, pred, radius=2):
        return self.count(pred, x - radius, y - radius, x + radius, y + radius) > 0


def near(p, q, tol=6):
    return all(abs(a - b) <= tol for a, b in zip(p, q))


def differing_pixels(a, b, tol=8):
    return 0 if a.raw == b.raw else sum(1 for i in range(0, len(a.raw), 3)
               if any(abs(a.raw[i + k] - b.raw[i + k]) > tol for k in range(3)))


def shot(arena):
    win = window_of(arena)
    return Pixels(subprocess.run(["import", "-window", win.id, "-depth", "8", "rgb:-"],
                                 env=win.env, capture_output=True, timeout=30, check=True).stdout)


def settled_shot(arena, clock=None):
    """A picture that stands still: taken once `clock` (a turtle) has seen
    frames go by and two shots in a row agree."""
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
    """(picture, [(key, text)], [chunk types]) of a complete PNG file, or None
    while it is missing or unfinished; every text chunk must be compressed."""
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


def live_entries(kind=None):
    """Live turtle-feed entries, of one type (1 turtle, 2 doughnut, 3 stone)."""
    return [e for e in feed("turtle") if e["alive"] and kind in (None, e["type"])]


def complete_maze(walls):
    """A wall feed of the boundary alone, or of a whole maze (built south to
    north, so a whole one has walls from the top interior row)."""
    return len(walls) == 4 or any(w["y1"] == 224.0 for w in walls[4:])


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class FieldCase(ArenaCase):
    """A test on the shared arena's tidy field with its window; maze mode is
    left off afterwards."""

    def setUp(self):
        super().setUp()
        self.win = window_of(self.arena)
        self.addCleanup(lambda: self.maze_on() and self.toggle_maze(False))

    def maze_on(self):
        log = self.arena.log()
        return log.count("entering maze mode...\n") > log.count("exited from maze mode...\n")

    def toggle_maze(self, want_on):
        """M, waiting for the mode's log line; returns the log since."""
        mark = self.arena.mark()
        self.win.key("M")
        self.arena.wait_for_log("entering maze mode...\n" if want_on
                                else "exited from maze mode...\n", since=mark)
        time.sleep(0.2)  # the next frame publishes the new walls
        return self.arena.log()[mark:]

    def close_and_wait(self, *clients):
        """Closes clients and waits for the arena to log their ends."""
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
