"""What a person sees in the arena's window: pen marks in every mode, the
canvas that keeps them, printed text, the field colour, the battle
background, the help and warning overlays; that absurd client input never
stops the frames; and that the faster drawing paths paint exactly the
pixels of the plain ones.

The window's pixels are read from the private Xvfb with ImageMagick's
import. Run by ctest with QMERE_BIN naming the binary; needs Xvfb, xdotool
and ImageMagick. Uses the fixed ports 2222 and 2280, so it runs alone.
"""

import os
import shutil
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import Arena, ArenaCase, PORT_BUSY_TIMEOUT, START_TIMEOUT, TCP_PORT  # noqa: E402

SIDE = 512
HAVE_TOOLS = all(shutil.which(t) for t in ("Xvfb", "xdotool", "import"))


# ------------------------------------------------------------------ pixels

class Pixels:
    """One 512 x 512 RGB picture of the window, top row first."""

    def __init__(self, raw):
        if len(raw) != SIDE * SIDE * 3:
            raise AssertionError("the window picture has %d bytes" % len(raw))
        self.raw = raw

    def at(self, col, row):
        i = 3 * (row * SIDE + col)
        return tuple(self.raw[i:i + 3])

    @staticmethod
    def cell(x, y):
        """The pixel (col, row) that shows field point (x, y)."""
        col = min(SIDE - 1, max(0, int(x + 256)))
        row = min(SIDE - 1, max(0, int(256 - y)))
        return col, row

    def field(self, x, y):
        return self.at(*self.cell(x, y))

    def count(self, pred, x0=-256, y0=-256, x1=255, y1=255):
        """Pixels matching pred in the field box [x0, x1] x [y0, y1]."""
        c0, r1 = self.cell(x0, y0)
        c1, r0 = self.cell(x1, y1)
        n = 0
        raw = self.raw
        for row in range(r0, r1 + 1):
            base = 3 * row * SIDE
            for col in range(c0, c1 + 1):
                i = base + 3 * col
                if pred(raw[i], raw[i + 1], raw[i + 2]):
                    n += 1
        return n

    def near(self, x, y, pred, radius=2):
        """Does a pixel within `radius` of field point (x, y) match?"""
        return self.count(pred, x - radius, y - radius, x + radius, y + radius) > 0


def green(r, g, b):
    return g > 150 and r < 100 and b < 100


def yellow(r, g, b):
    return r > 200 and g > 200 and b < 80


def blue(r, g, b):
    return b > 200 and r < 120 and 60 < g < 170


def magenta(r, g, b):
    return r > 200 and b > 200 and g < 80


def orange(r, g, b):
    return r > 150 and b < 80 and r > g + 40


def dark_red(r, g, b):
    return r <= 95 and g <= 12 and b <= 6


def stone_grey(r, g, b):
    return 25 < r < 200 and abs(r - g) < 25 and abs(g - b) < 25


def help_text(r, g, b):
    return r > 180 and 50 < g < 170 and b < 120 and r > g + 60


def warning_red(r, g, b):
    return r > 200 and g < 90 and b < 50


def close_to(p, want, tol=4):
    return all(abs(a - b) <= tol for a, b in zip(p, want))


class Screen:
    """The arena's window on its private X display."""

    def __init__(self, arena):
        self.env = dict(os.environ, DISPLAY=arena.display)
        deadline = time.monotonic() + START_TIMEOUT
        self.id = None
        while self.id is None:
            out = subprocess.run(["xdotool", "search", "--name", "Quill Mere"], env=self.env,
                                 capture_output=True, text=True, timeout=20).stdout.split()
            if out:
                self.id = out[0]
            elif time.monotonic() > deadline:
                raise RuntimeError("the arena never showed its window")
            else:
                time.sleep(0.1)

    def grab(self):
        raw = subprocess.run(["import", "-window", self.id, "-depth", "8", "rgb:-"],
                             env=self.env, capture_output=True, timeout=30, check=True).stdout
        return Pixels(raw)

    def key(self, *keys):
        subprocess.run(["xdotool", "key", "--window", self.id] + list(keys), env=self.env,
                       capture_output=True, timeout=20, check=True)

    def wait_for(self, check, timeout=10.0):
        """Grabs the window until check(picture) holds; returns that picture."""
        deadline = time.monotonic() + timeout
        while True:
            shot = self.grab()
            if check(shot):
                return shot
            if time.monotonic() > deadline:
                raise AssertionError("the window never showed what was expected")
            time.sleep(0.2)


def wait_ticks(t, n):
    """Waits until the arena's clock has gone n ticks further (about n frames)."""
    start = t.ticks()
    deadline = time.monotonic() + 30
    while t.ticks() < start + n:
        if time.monotonic() > deadline:
            raise AssertionError("the arena's clock stands still")
        time.sleep(0.02)


def hex_text(text):
    return text.encode().hex()


# ------------------------------------------------------------ the scene

@unittest.skipUnless(HAVE_TOOLS, "Xvfb, xdotool and ImageMagick's import needed")
class Scene(ArenaCase):
    """Pen marks and overlays, on one arena for the class (the other classes
    need the ports free). Each test starts from a cleared canvas (the
    tidy-up clears it) on a black field."""

    own_arena = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.screen = Screen(cls.arena)

    def later(self, command):
        """Sends `command` from a client of its own when the test ends."""
        def send():
            with self.arena.connect() as t:
                t.send(command)
        self.addCleanup(send)

    def painter(self, x, y, heading="east"):
        """A turtle at (x, y) facing `heading`, its pen up."""
        t = self.client(park=False)
        self.assertTrue(t.jump(x, y))
        self.assertTrue(t.head(heading))
        return t

    def put_away(self, t):
        """Lifts the pen and parks the turtle's body in the top-right corner,
        away from what it drew; returns once that has been drawn."""
        t.pen_up()
        t.jump(220, 220)
        wait_ticks(t, 4)

    def test_line_mode_paints_a_line_that_stays(self):
        t = self.painter(-100, 0)
        t.color(0, 1, 0)
        t.pen_down()
        self.assertTrue(t.forward(100))
        self.put_away(t)

        shot = self.screen.grab()
        for x in range(-90, -10, 8):
            self.assertTrue(shot.near(x, 0, green), "no green line at x=%d" % x)
        # a line one pixel wide, not a band
        self.assertEqual(shot.count(green, -90, 6, -10, 30), 0)
        self.assertEqual(shot.count(green, -90, -30, -10, -6), 0)

        wait_ticks(t, 200)  # the canvas keeps it, frame after frame
        later = self.screen.grab()
        for x in range(-90, -10, 8):
            self.assertTrue(later.near(x, 0, green), "the line faded at x=%d" % x)

    def test_colour_change_shades_the_next_line(self):
        t = self.painter(-100, 100)
        t.color(0, 1, 0)
        t.pen_down()
        t.forward(1)
        t.color(1, 0, 1)
        self.assertTrue(t.forward(100))
        self.put_away(t)
        shot = self.screen.grab()
        self.assertTrue(shot.near(-95, 100, lambda r, g, b: g > 180 and r < 60))
        self.assertTrue(shot.near(-5, 100, lambda r, g, b: r > 180 and b > 180 and g < 60))

    def test_point_mode_paints_points_with_gaps(self):
        t = self.painter(-100, -60)
        t.color(1, 1, 0)
        t.point_mode()
        t.width(4)
        t.pen_down()
        for _ in range(4):
            self.assertTrue(t.forward(20))
        self.put_away(t)
        shot = self.screen.grab()
        for x in (-80, -60, -40, -20):
            self.assertTrue(shot.near(x, -60, yellow), "no point at x=%d" % x)
        for x in (-70, -50, -30):
            self.assertFalse(shot.near(x, -60, yellow, radius=3), "no gap at x=%d" % x)

    def test_fill_mode_fills_the_polygon(self):
        t = self.painter(-150, 60)
        t.color(0.2, 0.4, 1)
        t.fill_mode()
        t.pen_down()
        for _ in range(3):
            self.assertTrue(t.forward(80))
            self.assertTrue(t.left(90))
        self.assertTrue(t.forward(80))
        self.put_away(t)
        shot = self.screen.grab()
        self.assertTrue(blue(*shot.field(-110, 100)), shot.field(-110, 100))
        inside = shot.count(blue, -145, 65, -75, 135)
        self.assertGreater(inside, 0.9 * 71 * 71)
        self.assertEqual(shot.count(blue, -150, 150, -70, 170), 0)  # nothing above it

    def test_brush_paints_a_stroke_along_the_path(self):
        t = self.painter(-200, -150)
        t.color(1, 0.2, 0)
        t.brush_mode()
        t.width(8)
        t.pen_down()
        for _ in range(4):
            self.assertTrue(t.forward(40))
        self.put_away(t)  # lifting the pen paints the stroke's tail
        shot = self.screen.grab()
        along = [shot.count(orange, x, -170, x + 19, -130) for x in range(-200, -60, 20)]
        self.assertTrue(all(n > 15 for n in along), along)
        self.assertGreater(shot.count(orange, -60, -170, -41, -130), 0)  # the thin tail
        self.assertEqual(shot.count(orange, -210, -100, -30, -60), 0)
        self.assertEqual(shot.count(orange, 0, -200, 100, -100), 0)

    def test_field_colour_clears_the_canvas(self):
        t = self.painter(-100, 0)
        self.later("H 0 0 0")
        t.color(0, 1, 0)
        t.pen_down()
        t.forward(100)
        self.put_away(t)
        self.assertTrue(self.screen.grab().near(-50, 0, green))

        t.field_color(0.2, 0.2, 0.6)
        wait_ticks(t, 4)
        shot = self.screen.grab()
        for x, y in ((-50, 0), (-90, 0), (0, 150), (-200, -200), (100, -100)):
            self.assertTrue(close_to(shot.field(x, y), (51, 51, 153)), (x, y, shot.field(x, y)))

    def test_clear_key_empties_the_canvas(self):
        t = self.painter(-100, 0)
        t.color(0, 1, 0)
        t.pen_down()
        t.forward(100)
        self.put_away(t)
        self.assertTrue(self.screen.grab().near(-50, 0, green))
        self.screen.key("c")
        wait_ticks(t, 4)
        self.assertEqual(self.screen.grab().count(green, -100, -20, 0, 20), 0)

    def test_battle_mode_shows_the_dark_red_background(self):
        t = self.painter(-240, 240)
        self.later("! -")
        self.assertTrue(t.battle(True))
        wait_ticks(t, 4)
        shot = self.screen.grab()
        samples = [shot.field(x, y) for x in range(-200, 201, 20) for y in range(-200, 201, 20)]
        self.assertTrue(all(dark_red(*p) for p in samples),
                        [p for p in samples if not dark_red(*p)][:5])
        self.assertGreater(sum(p[0] for p in samples) / len(samples), 15)
        # the textured picture varies; it is not one flat colour
        self.assertGreater(len(set(samples)), 20)

        self.assertTrue(t.battle(False))
        wait_ticks(t, 4)
        shot = self.screen.grab()
        self.assertTrue(all(shot.field(x, y) == (0, 0, 0)
                            for x in range(-200, 201, 50) for y in range(-200, 201, 50)))

    def test_text_is_printed_once_where_the_turtle_stands(self):
        t = self.painter(-150, -50)
        t.color(1, 0, 1)
        self.assertTrue(t.send("S " + hex_text("Quill Mere")))
        wait_ticks(t, 3)
        t.jump(150, 150)
        wait_ticks(t, 3)
        shot = self.screen.grab()
        printed = shot.count(magenta)
        self.assertGreater(printed, 30)
        # the text starts at the turtle and runs to the right, above it
        self.assertEqual(printed, shot.count(magenta, -152, -53, -60, -36))

        # moving on prints nothing more
        for x, y in ((100, 0), (0, -150), (-200, 100), (60, 60)):
            t.jump(x, y)
            wait_ticks(t, 3)
        self.assertEqual(self.screen.grab().count(magenta), printed)

    def test_help_overlay_shows_and_escape_dismisses_it(self):
        self.addCleanup(self.screen.key, "Escape")
        t = self.painter(-240, 240)
        before = self.screen.grab()
        self.assertEqual(before.count(help_text), 0)
        self.screen.key("h")
        wait_ticks(t, 4)
        shot = self.screen.grab()
        panel = shot.count(stone_grey, -190, -190, 190, 190)
        self.assertGreater(panel, 0.4 * 381 * 381)
        self.assertGreater(shot.count(help_text), 400)
        # the title sits near the top of the panel, the footer near its bottom
        self.assertGreater(shot.count(help_text, -170, 160, -70, 185), 20)
        self.assertGreater(shot.count(help_text, -105, -200, 200, -185), 50)

        self.screen.key("Escape")
        wait_ticks(t, 4)
        shot = self.screen.grab()
        self.assertEqual(shot.count(help_text), 0)
        self.assertLess(shot.count(stone_grey, -190, -190, 190, 190), 1000)

    def test_absurd_pen_input_never_stops_the_frames(self):
        t = self.painter(0, 0)
        self.later("H 0 0 0")
        self.assertFalse(t.send("W nan"))
        self.assertFalse(t.send("K nan 0 0"))
        self.assertFalse(t.send("K 0 inf 0"))
        for mode in ("L", "L P", "L S", "L B"):
            for width in ("1e9", "0", "-5", "1e308", "-1e308", "3"):
                for colour in ("5 -3 1e9", "1e308 -1e308 0", "0.5 0.5 0.5"):
                    with self.subTest(mode=mode, width=width, colour=colour):
                        self.assertTrue(t.send(mode))
                        self.assertTrue(t.send("W " + width))
                        self.assertTrue(t.send("K " + colour))
                        t.pen_down()
                        t.forward(15)
                        t.left(40)
                        t.forward(15)
                        t.send("S " + hex_text("x"))
                        t.pen_up()
            # far away with the pen down, and back
            t.pen_down()
            t.jump(1e300, -1e300)
            t.forward(10)
            t.jump(0, 0)
            t.forward(10)
            t.pen_up()
        self.assertTrue(t.send("H 5 -3 1e9"))  # a field colour far outside 0..1
        wait_ticks(t, 10)
        self.assertIsNone(self.arena.proc.poll())
        t.jump(-240, 240)
        wait_ticks(t, 4)
        self.assertTrue(close_to(self.screen.grab().field(100, -100), (255, 0, 255)))


# ----------------------------------------------------- the warning overlay

class ArenaWithPortTaken(Arena):
    """The program started while another process listens on port 2222."""

    def start(self):
        self._start_xvfb()
        self._start_program()
        self.wait_for_log("init_socket(): cannot bind to port %d" % TCP_PORT,
                          timeout=START_TIMEOUT)
        return self


def listen_on_command_port():
    """A socket listening on port 2222, taken as soon as it is free."""
    deadline = time.monotonic() + PORT_BUSY_TIMEOUT
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.bind(("0.0.0.0", TCP_PORT))
            s.listen(1)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)


@unittest.skipUnless(HAVE_TOOLS, "Xvfb, xdotool and ImageMagick's import needed")
class PortTakenWarning(unittest.TestCase):

    def test_warning_overlay_when_the_command_port_is_taken(self):
        blocker = listen_on_command_port()
        self.addCleanup(blocker.close)
        arena = ArenaWithPortTaken()
        self.addCleanup(arena.stop)
        arena.start()
        screen = Screen(arena)
        # four red lines of text in the upper half, nothing red below
        shot = screen.wait_for(lambda p: p.count(warning_red, -235, 45, 255, 150) > 300)
        self.assertEqual(shot.count(warning_red, -256, -256, 255, 0), 0)
        self.assertIsNone(arena.proc.poll())
        screen.key("h")  # the frames go on: the help screen comes up
        screen.wait_for(lambda p: p.count(help_text) > 400)
        self.assertIsNone(arena.proc.poll())


# ------------------------------------------- same pixels, every which way

def paint_reference_picture(env):
    """Starts an arena with `env` added to its environment, paints a fixed
    picture in every pen mode on a coloured field, removes the turtle and
    returns the window's pixels."""
    saved = {k: os.environ.get(k) for k in env}
    os.environ.update(env)
    try:
        arena = Arena()
        arena.start()
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
    try:
        screen = Screen(arena)
        with arena.connect() as t:
            t.field_color(0.1, 0.2, 0.3)
            t.jump(-200, -100)
            t.head("east")
            t.brush_mode()
            for width, colour, turn in ((1, (1, 0.3, 0), 20), (6, (0.2, 0.5, 1), 15),
                                        (12, (0.9, 0.9, 0.2), -25), (3, (0.1, 0.1, 0.1), 90)):
                t.width(width)
                t.color(*colour)
                t.pen_down()
                for _ in range(6):
                    t.forward(30)
                    t.left(turn)
                t.pen_up()
                t.rjump(0, 60)
            t.jump(60, -200)
            t.line_mode()
            t.width(2)
            t.color(0, 1, 0)
            t.pen_down()
            t.forward(80)
            t.color(1, 0, 1)
            t.left(120)
            t.forward(80)
            t.pen_up()
            t.point_mode()
            t.width(5)
            t.pen_down()
            t.forward(20)
            t.forward(20)
            t.pen_up()
            t.fill_mode()
            t.jump(100, 100)
            t.color(0.3, 0.6, 0.9)
            t.pen_down()
            for _ in range(5):
                t.forward(50)
                t.left(72)
            t.pen_up()
            t.color(1, 1, 1)
            t.send("S " + hex_text("same pixels"))
            t.jump(-240, 240)
            wait_ticks(t, 4)
        arena.wait_all_closed()
        screen.key("z")  # the departed turtle's zombie goes; its paint stays
        time.sleep(1.0)  # a few frames, even at the idle field's slow pace
        return screen.grab()
    finally:
        arena.stop()


@unittest.skipUnless(HAVE_TOOLS, "Xvfb, xdotool and ImageMagick's import needed")
class SamePixels(unittest.TestCase):
    """Dabs drawn together and the canvas painted in its own framebuffer give
    exactly what drawing every dab on its own into the window and copying it
    back gives."""

    def test_fast_and_plain_drawing_paint_the_same_pixels(self):
        fast = paint_reference_picture({})
        plain = paint_reference_picture({"QMERE_DAB_BATCH": "0", "QMERE_CANVAS_FBO": "0"})
        self.assertGreater(fast.count(lambda r, g, b: (r, g, b) != (26, 51, 77)), 3000)
        if fast.raw != plain.raw:
            diff = [(i // 3 % SIDE, i // 3 // SIDE) for i in range(0, len(fast.raw), 3)
                    if fast.raw[i:i + 3] != plain.raw[i:i + 3]]
            self.fail("%d pixels differ, the first at %s" % (len(diff), diff[:5]))


if __name__ == "__main__":
    unittest.main()
