"""The field as a person at the window controls it: keys and menu for turtles,
modes, labels, clearing, a field at rest, the maze, bird view and captures."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import (FieldCase, closed_by_peer, differing_pixels, feed, live_entries,  # noqa: E402
                   near, png_file, press, settled_shot, shot, wait_for)

BLUE = (51, 51, 153)  # the field colour 0.2 0.2 0.6 in the window


def light(r, g, b): return min(r, g, b) > 150  # labels, unlike field, paint and turtle
def reddish(r, g, b): return r > 150 and g < 90 and b < 90
def not_blue(*p): return not near(p, BLUE)


class Turtles(FieldCase):
    def test_K_kills_every_turtle_k_does_not_Z_and_z_erase_zombies(self):
        clients = [self.client() for _ in range(3)]
        clients[0].send("R")  # and a robot
        self.close_and_wait(self.arena.connect())
        press(self.arena, "k")
        self.assertEqual(clients[0].n_turtles(), 6)  # with two zombies, the tidying one's too
        for key in ("Z", "z"):
            press(self.arena, key)
            self.assertEqual(clients[0].n_turtles(), 4, key)
            self.close_and_wait(self.arena.connect())
        self.win.key("K")
        for t in clients:
            self.assertTrue(closed_by_peer(t.sock), "a client stayed connected")
        self.assertEqual(self.client().n_turtles(), 1)

    def test_O_and_o_scatter_stones_that_are_no_turtles(self):
        self.addCleanup(press, self.arena, "K")  # no stone is left for later tests
        n = self.client().n_turtles()
        press(self.arena, "O", "o")
        self.assertEqual(len(live_entries(3)), 2)
        self.assertEqual(self.client().n_turtles(), n + 1)

    def test_B_and_b_bound_the_field_and_exclamation_mark_toggles_battle(self):
        t = self.client()
        for key, moves in (("B", False), ("b", True)):
            press(self.arena, key)
            self.assertTrue(t.jump(0, 0) and t.head("east"))
            self.assertEqual(t.forward(600), moves, key)
        for jumps in (False, True):  # battle mode refuses jumps
            press(self.arena, "exclam")
            self.assertEqual(t.jump(30, 30), jumps)

    def test_N_and_S_show_names_below_and_scores_above(self):
        t = self.client()
        self.assertTrue(t.jump(0, 0) and t.head("east") and t.name("WWWW"))

        def labels():
            pic = shot(self.arena)
            return pic.count(light, -14, -25, 39, -12), pic.count(light, -14, 12, 19, 22)
        for keys, want in (([], lambda n, s: n == s == 0), (["N"], lambda n, s: n > 15 and s == 0),
                           (["S"], lambda n, s: n > 15 and s > 3),
                           (["n", "s"], lambda n, s: n == s == 0)):
            press(self.arena, *keys)
            self.assertTrue(wait_for(lambda: want(*labels()), 10), (keys, labels()))


class Canvas(FieldCase):
    def paint_line(self, t):  # red along y = 100, x -200 to -50; the turtle then parks
        self.assertTrue(t.jump(-200, 100) and t.head("east") and t.color(1, 0, 0))
        self.assertTrue(t.width(6) and t.pen_down() and t.forward(150) and t.pen_up())
        self.assertTrue(t.jump(150, -150))
        self.assertTrue(wait_for(lambda: shot(self.arena).count(reddish, -180, 97, -71, 103)
                                 > 300, 10))

    def blank(self): return shot(self.arena).count(not_blue, -180, 97, -71, 103) == 0

    def test_C_c_and_the_menu_clear_the_painted_field(self):
        t = self.client()
        self.assertTrue(t.field_color(0.2, 0.2, 0.6))
        for how in ("C", "c", "menu"):
            self.paint_line(t)
            if how == "menu":
                self.win.choose(0, self.blank)  # Clear Field
            else:
                press(self.arena, how)
                self.assertTrue(wait_for(self.blank, 10), how)
            self.assertTrue(t.nop().ok)  # the turtle lives on

    def test_a_field_at_rest_still_shows_every_change(self):
        # once nothing moves the arena stops redrawing; every change must still show
        t = self.client()
        self.assertTrue(t.field_color(0.2, 0.2, 0.6))
        self.paint_line(t)
        press(self.arena, "K")
        self.assertTrue(closed_by_peer(t.sock))
        rest = settled_shot(self.arena)
        self.assertEqual(rest.count(not_blue, 138, -162, 162, -138), 0, "the turtle is gone")
        self.assertGreater(rest.count(reddish, -180, 97, -71, 103), 300, "the paint stays")
        press(self.arena, "h")
        help_shown = settled_shot(self.arena)
        self.assertGreater(differing_pixels(rest, help_shown), 200, "help shown")
        press(self.arena, "Escape")
        self.assertLess(differing_pixels(rest, settled_shot(self.arena)), 20, "help gone")
        press(self.arena, "c")
        self.assertTrue(wait_for(self.blank, 10), "cleared")
        # a client that comes and goes in one breath: its last command shows
        late = self.arena.connect()
        self.assertTrue(late.field_color(0.2, 0.6, 0.2))
        self.close_and_wait(late)
        press(self.arena, "z")
        self.assertTrue(near(settled_shot(self.arena).at(400, 100), (51, 153, 51)))


class Maze(FieldCase):
    def test_M_builds_a_maze_in_battle_mode_and_M_again_leaves_the_boundary(self):
        old = self.client()
        log = self.toggle_maze(True)
        self.assertRegex(log, r"entering battle mode\.\.\.\n(.*\n)*entering maze mode\.\.\.\n")
        self.assertTrue(closed_by_peer(old.sock), "the old client stayed connected")
        walls = feed("wall")  # the maze's own rules: the unit tests
        self.assertGreater(len(walls), 4)
        t = self.client()
        mark = self.arena.mark()
        press(self.arena, "m")  # lower-case m changes nothing
        self.assertEqual(feed("wall"), walls)
        self.assertNotIn("maze mode", self.arena.log()[mark:])
        self.assertNotIn("turtle graphics mode", self.toggle_maze(False))
        self.assertSentAway(t)
        self.assertEqual(len(feed("wall")), 4)


class BirdView(FieldCase):
    def test_3_tilts_the_view_whose_zoom_in_stops(self):
        t = self.client()
        self.assertTrue(t.field_color(0.2, 0.2, 0.6) and t.jump(0, 0) and t.head("east"))
        self.assertTrue(t.color(1, 0.5, 0) and t.width(8) and t.pen_down() and t.forward(150))
        self.assertTrue(t.left(90) and t.forward(80) and t.pen_up() and t.jump(4000, 4000))
        press(self.arena, "z")  # a zombie never stands still
        shots = [settled_shot(self.arena, t)]
        try:  # bird view at 55 degrees, in to 15, where it stops
            for keys in (["3"], ["plus"] * 8, ["plus"]):
                press(self.arena, *keys)
                shots.append(settled_shot(self.arena, t))
        finally:
            press(self.arena, "3")
        steps = [differing_pixels(a, b) for a, b in zip(shots, shots[1:])]
        self.assertTrue(steps[0] > 200 and steps[1] > 200 and steps[2] < 20, steps)
        self.assertLess(differing_pixels(shots[0], settled_shot(self.arena, t)), 20, "top again")


class Capture(FieldCase):
    def test_p_writes_what_the_window_shows_named_by_the_tick(self):
        t = self.client()
        self.assertTrue(t.field_color(0.2, 0.2, 0.6) and t.jump(100, 40) and t.head("east"))
        self.assertTrue(t.color(1, 0.5, 0) and t.width(8) and t.pen_down() and t.forward(50))
        self.assertTrue(t.left(90) and t.forward(40) and t.pen_up() and t.jump(4000, 4000))
        # a stone, in the capture too: placed only now, as one that fell on
        # the L's path would have stopped the drawing
        self.addCleanup(press, self.arena, "K")
        press(self.arena, "O", "z")  # and a zombie never stands still
        window = settled_shot(self.arena, t)
        t0 = t.ticks()
        press(self.arena, "p")
        home = self.arena.home.name
        names = wait_for(lambda: [f for f in os.listdir(home) if f.startswith("qmere-capture-")])
        self.assertEqual(len(names), 1, names)
        tick = int(re.fullmatch(r"qmere-capture-(\d+)\.png", names[0])[1])
        self.assertTrue(t0 <= tick <= t.ticks(), (t0, tick))
        png, texts, kinds = wait_for(lambda: png_file(os.path.join(home, names[0])))
        self.assertEqual([k for k, _ in texts], ["Author", "Software", "Source", "Description"])
        self.assertEqual(kinds[:5], ["IHDR"] + ["zTXt"] * 4)
        self.assertLess(differing_pixels(png, window), 20)  # an L: neither turned nor mirrored


if __name__ == "__main__":
    unittest.main()
