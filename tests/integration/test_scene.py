"""What a person sees in the arena's window: pen marks in every mode, the
canvas that keeps them, printed text, the field colour, the battle
background, the help overlay; that absurd client input never stops the
frames; a command port taken at start-up (a warning, and the field runs
on); and that the faster drawing paths paint exactly the pixels of the
plain ones.

The window's pixels are read from the private Xvfb with ImageMagick's
import. Run by ctest with QMERE_BIN naming the binary; needs Xvfb, xdotool
and ImageMagick. Uses the fixed ports 2222 and 2280, so it runs alone.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import TCP_PORT, Arena, ArenaCase, hold_port, wait_ticks  # noqa: E402
from fieldkit import (HAVE_X, SIDE, feed, live_entries, near, press, shot,  # noqa: E402
                      window_of)


# the colours of the scene, as tests on a pixel's (r, g, b)
def green(r, g, b): return g > 150 and r < 100 and b < 100
def yellow(r, g, b): return r > 200 and g > 200 and b < 80
def blue(r, g, b): return b > 200 and r < 120 and 60 < g < 170
def magenta(r, g, b): return r > 200 and b > 200 and g < 80
def orange(r, g, b): return r > 150 and b < 80 and r > g + 40
def dark_red(r, g, b): return r <= 95 and g <= 12 and b <= 6
def stone_grey(r, g, b): return 25 < r < 200 and abs(r - g) < 25 and abs(g - b) < 25
def help_text(r, g, b): return r > 180 and 50 < g < 170 and b < 120 and r > g + 60
def warning_red(r, g, b): return r > 200 and g < 90 and b < 50


def show(arena, check, timeout=10.0):
    """Grabs the window until check(picture) holds; returns that picture."""
    end = time.monotonic() + timeout
    while True:
        pic = shot(arena)
        if check(pic):
            return pic
        if time.monotonic() > end:
            raise AssertionError("the window never showed what was expected")
        time.sleep(0.2)


# ------------------------------------------------------------ the scene

@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class Scene(ArenaCase):
    """Pen marks and overlays, on one arena for the class (the other classes
    need the ports free). Each test starts from a cleared canvas (the
    tidy-up clears it) on a black field."""

    own_arena = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.win = window_of(cls.arena)

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

    def put_away(self, t, x=220):
        """Lifts the pen and parks the turtle's body at the top edge, away
        from what it drew; returns once that has been drawn."""
        t.pen_up()
        t.jump(x, 220)
        wait_ticks(t, 4)

    def check_marks(self, pic, when):
        """The marks test_every_pen_mode... paints, each where it went."""
        with self.subTest("a one-pixel line", when=when):
            for x in range(-90, -10, 8):
                self.assertTrue(pic.near(x, 0, green), "no green line at x=%d" % x)
            self.assertEqual(pic.count(green, -90, 6, -10, 30), 0)
            self.assertEqual(pic.count(green, -90, -30, -10, -6), 0)
        with self.subTest("a colour change shades the next line", when=when):
            self.assertTrue(pic.near(25, 150, lambda r, g, b: g > 180 and r < 60))
            self.assertTrue(pic.near(115, 150, lambda r, g, b: r > 180 and b > 180 and g < 60))
        with self.subTest("points with gaps", when=when):
            for x in (-80, -60, -40, -20):
                self.assertTrue(pic.near(x, -60, yellow), "no point at x=%d" % x)
            for x in (-70, -50, -30):
                self.assertFalse(pic.near(x, -60, yellow, radius=3), "no gap at x=%d" % x)
        with self.subTest("a filled square", when=when):
            self.assertTrue(blue(*pic.field(160, 60)), pic.field(160, 60))
            self.assertGreater(pic.count(blue, 125, 25, 195, 95), 0.9 * 71 * 71)
            self.assertEqual(pic.count(blue, 120, 110, 200, 130), 0)  # nothing above it
        with self.subTest("a brush stroke along the path", when=when):
            along = [pic.count(orange, x, -170, x + 19, -130) for x in range(-200, -60, 20)]
            self.assertTrue(all(n > 15 for n in along), along)
            self.assertGreater(pic.count(orange, -60, -170, -41, -130), 0)  # the thin tail
            self.assertEqual(pic.count(orange, -210, -100, -30, -60), 0)
            self.assertEqual(pic.count(orange, 0, -200, 100, -100), 0)

    def test_every_pen_mode_paints_marks_that_stay_until_the_field_colour(self):
        # a fresh turtle for each mark: a step shades from the colours and
        # places of the steps before it
        self.later("H 0 0 0")
        t = self.painter(-100, 0)
        t.width(1)
        t.color(0, 1, 0)
        t.pen_down()
        self.assertTrue(t.forward(100))
        self.put_away(t, -220)

        t = self.painter(20, 150)
        t.color(0, 1, 0)
        t.pen_down()
        t.forward(1)
        t.color(1, 0, 1)
        self.assertTrue(t.forward(100))
        self.put_away(t, -180)

        t = self.painter(-100, -60)
        t.color(1, 1, 0)
        t.point_mode()
        t.width(4)
        t.pen_down()
        for _ in range(4):
            self.assertTrue(t.forward(20))
        self.put_away(t, -140)

        t = self.painter(120, 20)
        t.color(0.2, 0.4, 1)
        t.fill_mode()
        t.pen_down()
        for _ in range(3):
            self.assertTrue(t.forward(80))
            self.assertTrue(t.left(90))
        self.assertTrue(t.forward(80))
        self.put_away(t, -100)

        t = self.painter(-200, -150)
        t.color(1, 0.2, 0)
        t.brush_mode()
        t.width(8)
        t.pen_down()
        for _ in range(4):
            self.assertTrue(t.forward(40))
        self.put_away(t)  # lifting the pen paints the stroke's tail

        self.check_marks(shot(self.arena), "at once")
        wait_ticks(t, 200)  # the canvas keeps them, frame after frame
        self.check_marks(shot(self.arena), "200 ticks later")

        t.field_color(0.2, 0.2, 0.6)  # a new field colour clears the canvas
        wait_ticks(t, 4)
        pic = shot(self.arena)
        for x, y in ((-50, 0), (-90, 0), (70, 150), (-60, -60), (160, 60), (-120, -150),
                     (-200, -200), (100, -100)):
            self.assertTrue(near(pic.field(x, y), (51, 51, 153), 4), (x, y, pic.field(x, y)))

    def test_battle_mode_shows_the_dark_red_background(self):
        t = self.painter(-240, 240)
        self.later("! -")
        self.assertTrue(t.battle(True))
        wait_ticks(t, 4)
        pic = shot(self.arena)
        samples = [pic.field(x, y) for x in range(-200, 201, 20) for y in range(-200, 201, 20)]
        self.assertTrue(all(dark_red(*p) for p in samples),
                        [p for p in samples if not dark_red(*p)][:5])
        self.assertGreater(sum(p[0] for p in samples) / len(samples), 15)
        # the textured picture varies; it is not one flat colour
        self.assertGreater(len(set(samples)), 20)

        self.assertTrue(t.battle(False))
        wait_ticks(t, 4)
        pic = shot(self.arena)
        self.assertTrue(all(pic.field(x, y) == (0, 0, 0)
                            for x in range(-200, 201, 50) for y in range(-200, 201, 50)))

    def test_text_is_printed_once_where_the_turtle_stands(self):
        t = self.painter(-150, -50)
        t.color(1, 0, 1)
        self.assertTrue(t.print_text("Quill Mere"))
        wait_ticks(t, 3)
        t.jump(150, 150)
        wait_ticks(t, 3)
        pic = shot(self.arena)
        printed = pic.count(magenta)
        self.assertGreater(printed, 30)
        # the text starts at the turtle and runs to the right, above it
        self.assertEqual(printed, pic.count(magenta, -152, -53, -60, -36))

        # moving on prints nothing more
        for x, y in ((100, 0), (0, -150), (-200, 100), (60, 60)):
            t.jump(x, y)
            wait_ticks(t, 3)
        self.assertEqual(shot(self.arena).count(magenta), printed)

    def test_help_overlay_shows_and_escape_dismisses_it(self):
        self.addCleanup(self.win.key, "Escape")
        t = self.painter(-240, 240)
        before = shot(self.arena)
        self.assertEqual(before.count(help_text), 0)
        self.win.key("h")
        wait_ticks(t, 4)
        pic = shot(self.arena)
        panel = pic.count(stone_grey, -190, -190, 190, 190)
        self.assertGreater(panel, 0.4 * 381 * 381)
        self.assertGreater(pic.count(help_text), 400)
        # the title sits near the top of the panel, the footer near its bottom
        self.assertGreater(pic.count(help_text, -170, 160, -70, 185), 20)
        self.assertGreater(pic.count(help_text, -105, -200, 200, -185), 50)

        self.win.key("Escape")
        wait_ticks(t, 4)
        pic = shot(self.arena)
        self.assertEqual(pic.count(help_text), 0)
        self.assertLess(pic.count(stone_grey, -190, -190, 190, 190), 1000)

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
                        t.print_text("x")
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
        self.assertTrue(near(shot(self.arena).field(100, -100), (255, 0, 255)))


# ----------------------------------------------------- the warning overlay

@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class CommandPortTaken(unittest.TestCase):
    def test_a_warning_shows_and_the_field_runs_on_without_a_command_server(self):
        blocker = hold_port(TCP_PORT)
        self.addCleanup(blocker.close)
        arena = Arena(command_port_taken=True).start()
        self.addCleanup(arena.stop)
        arena.wait_for_log("init_socket(): cannot bind to port %d\n" % TCP_PORT)
        self.assertEqual(feed("turtle"), [])  # the viewer server answers
        # four red lines of text in the upper half, nothing red below
        pic = show(arena, lambda p: p.count(warning_red, -235, 45, 255, 150) > 300)
        self.assertEqual(pic.count(warning_red, -256, -256, 255, 0), 0)
        # the window still takes keys (a stone appears in the feed) and the
        # frames go on (the help screen comes up)
        press(arena, "O")
        self.assertEqual(len(live_entries(3)), 1)
        press(arena, "h")
        show(arena, lambda p: p.count(help_text) > 400)
        self.assertIsNone(arena.proc.poll())


# ------------------------------------------- same pixels, every which way

def paint_reference_picture(env):
    """Starts an arena with `env` added to its environment, paints a fixed
    picture in every pen mode on a coloured field, removes the turtle and
    returns the window's pixels."""
    arena = Arena(env=env).start()
    try:
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
            t.print_text("same pixels")
            t.jump(-240, 240)
            wait_ticks(t, 4)
        arena.wait_all_closed()
        window_of(arena).key("z")  # the departed turtle's zombie goes; its paint stays
        time.sleep(1.0)  # a few frames, even at the idle field's slow pace
        return shot(arena)
    finally:
        arena.stop()


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
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
