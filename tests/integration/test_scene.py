"""What the window shows: pen marks of every mode until a new field colour,
printed text, the battle background, the warning of a command port taken."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import (HAVE_X, TCP_PORT, Arena, ArenaCase, feed, hold_port, live_entries,  # noqa: E402
                   near, press, shot, wait_for, wait_ticks)


def green(r, g, b): return g > 150 and r < 100 and b < 100
def yellow(r, g, b): return r > 200 and g > 200 and b < 80
def blue(r, g, b): return b > 200 and r < 120 and 60 < g < 170
def magenta(r, g, b): return r > 200 and b > 200 and g < 80
def orange(r, g, b): return r > 150 and b < 80 and r > g + 40
def dark_red(r, g, b): return r <= 95 and g <= 12 and b <= 6
def help_text(r, g, b): return r > 180 and 50 < g < 170 and b < 120 and r > g + 60
def warning_red(r, g, b): return r > 200 and g < 90 and b < 50


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class Scene(ArenaCase):  # after CommandPortTaken, which needs the ports free

    def later(self, command):
        def send():
            with self.arena.connect() as t:
                t.send(command)
        self.addCleanup(send)

    def painter(self, x, y, *setup):  # a fresh one per mark: a step shades from the one before
        t = self.client()
        for cmd in ("J %d %d" % (x, y), "T E") + setup:
            self.assertTrue(t.send(cmd), cmd)
        return t

    def put_away(self, t, x):  # pen up, parked at the top edge
        t.pen_up()
        t.jump(x, 220)
        wait_ticks(t, 4)

    def check_marks(self, pic):
        for x in range(-90, -10, 8):
            self.assertTrue(pic.near(x, 0, green), "a one-pixel line at x=%d" % x)
        self.assertEqual(pic.count(green, -90, 6, -10, 30) + pic.count(green, -90, -30, -10, -6), 0)
        # a colour change shades the next line
        self.assertTrue(pic.near(25, 150, lambda r, g, b: g > 180 and r < 60))
        self.assertTrue(pic.near(115, 150, lambda r, g, b: r > 180 and b > 180 and g < 60))
        for x in (-80, -60, -40, -20):  # points with gaps
            self.assertTrue(pic.near(x, -60, yellow), "a point at x=%d" % x)
            self.assertFalse(pic.near(x + 10, -60, yellow, radius=3), "a gap at x=%d" % (x + 10))
        self.assertGreater(pic.count(blue, 125, 25, 195, 95), 0.9 * 71 * 71)  # a filled square
        self.assertEqual(pic.count(blue, 120, 110, 200, 130), 0)
        along = [pic.count(orange, x, -170, x + 19, -130) for x in range(-200, -60, 20)]
        self.assertTrue(all(n > 15 for n in along), along)  # a brush stroke
        self.assertGreater(pic.count(orange, -60, -170, -41, -130), 0)  # its thin tail
        self.assertEqual(pic.count(orange, 0, -200, 100, -100), 0)

    def test_every_pen_mode_paints_marks_that_stay_until_a_new_field_colour(self):
        self.later("H 0 0 0")
        # where each mark starts, how it is painted, where its painter is parked
        for x, y, cmds, park in ((-100, 0, ["W 1", "K 0 1 0", "P D", "F 100"], -220),
                                 (20, 150, ["K 0 1 0", "P D", "F 1", "K 1 0 1", "F 100"], -180),
                                 (-100, -60, ["K 1 1 0", "L P", "W 4", "P D"] + ["F 20"] * 4, -140),
                                 (120, 20, ["K 0.2 0.4 1", "L S", "P D"] + ["F 80", "T L 90"] * 3
                                  + ["F 80"], -100),
                                 (-200, -150, ["K 1 0.2 0", "L B", "W 8", "P D"] + ["F 40"] * 4,
                                  220)):  # lifting the pen paints the stroke's tail
            t = self.painter(x, y, *cmds)
            self.put_away(t, park)
        self.check_marks(shot(self.arena))
        wait_ticks(t, 200)  # the canvas keeps them, frame after frame
        self.check_marks(shot(self.arena))
        self.assertTrue(t.field_color(0.2, 0.2, 0.6))
        wait_ticks(t, 4)
        pic = shot(self.arena)
        for x, y in ((-50, 0), (70, 150), (-60, -60), (160, 60), (-120, -150), (100, -100)):
            self.assertTrue(near(pic.field(x, y), (51, 51, 153), 4), (x, y, pic.field(x, y)))

    def test_text_is_printed_once_where_the_turtle_stands(self):
        t = self.painter(-150, -50, "K 1 0 1")
        self.assertTrue(t.print_text("Quill Mere"))
        for x, y in ((150, 150), (100, 0), (-200, 100)):  # moving on prints nothing more
            wait_ticks(t, 3)
            pic = shot(self.arena)
            self.assertGreater(pic.count(magenta), 30)
            # from the turtle to the right, above it
            self.assertEqual(pic.count(magenta), pic.count(magenta, -152, -53, -60, -36))
            t.jump(x, y)

    def test_battle_mode_shows_the_dark_red_background(self):
        t = self.painter(-240, 240)
        self.later("! -")
        self.assertTrue(t.battle(True))
        wait_ticks(t, 4)
        pic = shot(self.arena)
        samples = [pic.field(x, y) for x in range(-200, 201, 20) for y in range(-200, 201, 20)]
        self.assertEqual([p for p in samples if not dark_red(*p)], [])
        self.assertGreater(sum(p[0] for p in samples) / len(samples), 15)
        self.assertGreater(len(set(samples)), 20)  # a textured picture, not one colour


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class CommandPortTaken(unittest.TestCase):
    def test_a_red_warning_shows_and_the_field_runs_on_without_a_command_server(self):
        with hold_port(TCP_PORT), Arena() as arena:
            arena.wait_for_log("init_socket(): cannot bind to port 2222\n")
            self.assertEqual(feed("turtle"), [])  # the viewer server answers
            # four red lines of text in the upper half
            pic = wait_for(lambda: (p := shot(arena)).count(warning_red, -235, 45, 255, 150) > 300
                           and p, 20) or self.fail("no red warning")
            self.assertEqual(pic.count(warning_red, -256, -256, 255, 0), 0)
            # the window takes keys (a stone in the feed, the help screen)
            press(arena, "O", "h")
            self.assertEqual(len(live_entries(3)), 1)
            self.assertGreater(shot(arena).count(help_text), 400)


if __name__ == "__main__":
    unittest.main()
