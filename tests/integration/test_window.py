"""The window program under a private Xvfb: banner and options, the window
title, the private/public switch, the fixed window size, the screen capture
and the Q key.

Run by ctest with QMERE_BIN naming the binary; needs Xvfb, xdotool, xprop,
xwininfo and ImageMagick's convert. Uses the fixed ports 2222 and 2280, so it
runs alone.
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import Arena, recv_line  # noqa: E402

BANNER = re.compile(
    r"Quillmere: [^\n]+\n"
    r"starting quill mere build on [A-Z][a-z]{2} [1-9][0-9]? [0-9]{4}\n")
# where the toolkit's pop-up menu puts its entries below the pointer
MENU_FIRST = 13
MENU_STEP = 25
HELP = 'options:\n -js "URL1;URL2;...\"\n'


def wait_for(pred, timeout=10.0, step=0.05):
    """Polls pred until it returns something true or the time is up; returns
    its last value."""
    end = time.monotonic() + timeout
    while True:
        v = pred()
        if v or time.monotonic() > end:
            return v
        time.sleep(step)


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


class Window:
    """The arena's window, seen through the X tools."""

    def __init__(self, arena):
        self.env = dict(os.environ, DISPLAY=arena.display)
        self.id = wait_for(self._find, 10)
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


def command(sock, text):
    """Sends one command line and returns its reply line."""
    sock.sendall((text + "\n").encode())
    return recv_line(sock).decode()


def qmere_binary():
    return Arena().binary


class Options(unittest.TestCase):
    """Options are read before any window opens: no display needed."""

    def run_qmere(self, *args):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        return subprocess.run([qmere_binary()] + list(args), env=env, capture_output=True,
                              text=True, timeout=20)

    def test_help_prints_banner_then_usage_and_exits_0(self):
        for args in (["-h"], ["-help"], ["-js", "a;b", "-h"], ["extra", "-hh"]):
            r = self.run_qmere(*args)
            self.assertEqual(r.returncode, 0, args)
            self.assertRegex(r.stderr, "^" + BANNER.pattern)
            self.assertTrue(r.stderr.endswith(HELP), r.stderr)
            if "-js" not in args:
                self.assertEqual(BANNER.sub("", r.stderr, count=1), HELP)

    def test_js_consumes_its_argument(self):
        # "-h" right after -js is the script list, not the help switch: the
        # program goes on to open its window and fails without a display
        r = self.run_qmere("-js", "-h")
        self.assertNotEqual(r.returncode, 0)
        self.assertNotIn("options:", r.stderr)


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "Xvfb and xdotool needed")
class WindowCase(unittest.TestCase):

    def setUp(self):
        self.arena = Arena()
        self.arena.start()
        self.addCleanup(self.arena.stop)
        self.win = Window(self.arena)
        self.home = self.arena.home.name

    def test_title_and_private_public_switch(self):
        w = self.win
        self.assertRegex(self.arena.log(), "^" + BANNER.pattern)
        base = "Quill Mere @ " + socket.gethostname()
        self.assertEqual(w.title(), "Private " + base)
        mark = self.arena.mark()
        w.key("at")
        self.assertTrue(wait_for(lambda: w.title() == "Public " + base, 5), w.title())
        self.arena.wait_for_log("entering public mode...\n", since=mark)
        w.key("at")
        self.assertTrue(wait_for(lambda: w.title() == "Private " + base, 5), w.title())
        self.arena.wait_for_log("entering private mode...\n", since=mark)

    def test_window_snaps_back_to_512(self):
        w = self.win
        self.assertEqual(w.size(), (512, 512))
        w.x(["xdotool", "windowsize", w.id, "640", "400"])
        self.assertEqual(wait_for(lambda: w.size() == (512, 512), 5), True, w.size())

    def test_capture_is_the_window_top_row_first_with_text_chunks(self):
        sock = self.arena.raw()
        self.addCleanup(sock.close)
        # a blue field, and the turtle high up in the top half
        self.assertTrue(command(sock, "H 0.2 0.2 0.6").startswith("OK"))
        self.assertTrue(command(sock, "J 0 200").startswith("OK"))
        time.sleep(0.3)
        self.win.key("p")

        def captures():
            return [f for f in os.listdir(self.home) if f.startswith("qmere-capture-")]

        names = wait_for(captures, 5)
        self.assertEqual(len(names), 1)
        self.assertRegex(names[0], r"^qmere-capture-\d+\.png$")
        path = os.path.join(self.home, names[0])
        chunks = wait_for(lambda: png_chunks(path), 5)
        self.assertIsNotNone(chunks, "the capture was never completed")

        self.assertEqual(chunks[0][0], "IHDR")
        self.assertEqual(struct.unpack(">IIBBBBB", chunks[0][1]), (512, 512, 8, 2, 0, 0, 0))
        texts = []
        for kind, body in chunks:
            self.assertNotIn(kind, ("tEXt", "iTXt"))
            if kind == "zTXt":
                key, rest = body.split(b"\0", 1)
                self.assertEqual(rest[0], 0)  # deflate
                texts.append((key.decode(), zlib.decompress(rest[1:]).decode()))
        self.assertEqual([k for k, _ in texts], ["Author", "Software", "Source", "Description"])
        # the text chunks come before the image data
        kinds = [k for k, _ in chunks]
        self.assertLess(max(i for i, k in enumerate(kinds) if k == "zTXt"), kinds.index("IDAT"))
        t = dict(texts)
        self.assertTrue(t["Software"].startswith("qmere"))
        self.assertEqual(t["Source"], socket.gethostname()[:127])
        self.assertRegex(t["Description"], r"^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}$")
        self.assertEqual(t["Author"], (os.environ.get("USER") or "unknown")[:31])

        raw = subprocess.run(["convert", path, "rgb:-"], capture_output=True, check=True).stdout
        self.assertEqual(len(raw), 512 * 512 * 3)

        def px(x, y):
            i = 3 * (y * 512 + x)
            return tuple(raw[i:i + 3])

        # an empty stretch of the field shows the chosen colour
        for v, want in zip(px(400, 400), (51, 51, 153)):
            self.assertLess(abs(v - want), 4, px(400, 400))

        # the turtle at y = +200 lies near row 56 (the top), not near row 456
        def greenish(p):
            return p[1] > 150 and p[1] > p[2] + 50

        top = sum(greenish(px(x, y)) for x in range(236, 276) for y in range(40, 72))
        bottom = sum(greenish(px(x, y)) for x in range(236, 276) for y in range(440, 472))
        self.assertGreater(top, 20)
        self.assertEqual(bottom, 0)

    def test_menu_entries(self):
        w = self.win
        base = "Quill Mere @ " + socket.gethostname()
        w.choose(3)  # Toggle Private/Public Mode
        self.assertTrue(wait_for(lambda: w.title() == "Public " + base, 5), w.title())
        w.choose(4)  # Capture Screen
        self.assertTrue(wait_for(
            lambda: any(f.startswith("qmere-capture-") for f in os.listdir(self.home)), 5))
        w.choose(5)  # the separator: nothing happens
        time.sleep(0.5)
        self.assertIsNone(self.arena.proc.poll())
        w.choose(8)  # Exit
        self.assertEqual(self.arena.proc.wait(10), 0)

    def test_q_exits_with_status_0_and_lower_case_q_does_nothing(self):
        self.win.key("q")
        time.sleep(0.5)
        self.assertIsNone(self.arena.proc.poll())
        # the window is gone before the key's release reaches it
        self.win.key("Q", check=False)
        self.assertEqual(self.arena.proc.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
