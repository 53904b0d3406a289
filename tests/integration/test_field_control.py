"""The field as a person at the window controls it: the private/public
switch as other addresses see it, zoom and rotation limits in bird view,
killing, zombie erasing, stones, clearing, the bounded area, labels, the
maze and its rules, the pop-up menu's field entries, and the screen
capture compared with what the window shows. (Arenas of their own, with a
bad environment or a hammering client: test_field_hazards; with the
command port taken: test_scene.)

Run by ctest with QMERE_BIN naming the binary; needs Xvfb, xdotool and
ImageMagick. Uses the fixed ports 2222 and 2280, so it runs alone.
"""

import os
import re
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import (closed_by_peer, command, http_get, start_shared_arena,  # noqa: E402
                   stop_shared_arena, wait_for, wait_http)
import quillmere  # noqa: E402  (arena puts the client library on the path)
from fieldkit import (HAVE_X, SIDE, FieldCase, capture_texts, complete_maze,  # noqa: E402
                      differing_pixels, feed, live_entries, maze_faults, near, png_chunks,
                      png_rgb, press, settled_shot, shot)
from peerns import PeerNet  # noqa: E402

BLUE = (51, 51, 153)  # the field colour 0.2 0.2 0.6 as the window shows it


def setUpModule():
    if HAVE_X:
        start_shared_arena()


def tearDownModule():
    stop_shared_arena()


def light(r, g, b):
    """The label colour: bright in every channel, unlike the field, the
    painted marks and the turtle's body."""
    return min(r, g, b) > 150


def reddish(r, g, b):
    return r > 150 and g < 90 and b < 90


def not_blue(*p):
    return not near(p, BLUE)


class Privacy(FieldCase):
    def assert_refused(self, mark):
        with self.arena.raw(source="127.0.0.2") as s:
            self.assertTrue(closed_by_peer(s))
        with self.assertRaises(OSError):
            http_get("/turtle", source="127.0.0.2")
        # once by the command server, once by the viewer server
        line = "accept_connection(): reject connection from 127.0.0.2 "
        self.assertTrue(wait_for(lambda: self.arena.count(line, mark) == 2, 10),
                        self.arena.log()[mark:])

    def test_at_opens_both_servers_to_other_addresses_until_the_second_at(self):
        wait_http(self.arena)
        base = "Quill Mere @ " + socket.gethostname()
        self.assertEqual(self.win.title(), "Private " + base)
        self.assert_refused(self.arena.mark())

        mark = self.switch(public=True)
        self.addCleanup(self.back_to_private)
        self.assertTrue(wait_for(lambda: self.win.title() == "Public " + base, 10),
                        self.win.title())
        with quillmere.Turtle(source=("127.0.0.2", 0)) as t:
            self.assertTrue(t.nop().ok)
        self.arena.wait_for_log("handling client from 127.0.0.2 ", since=mark)
        lines, body = http_get("/turtle", source="127.0.0.2")
        self.assertEqual(lines[0], b"HTTP/1.1 200 OK")
        self.assertTrue(body.startswith(b"[") and body.endswith(b"]"))
        self.arena.wait_for_log("http connected from 127.0.0.2 ", since=mark)
        self.assertNotIn("reject connection", self.arena.log()[mark:])

        mark = self.switch(public=False)
        self.assertTrue(wait_for(lambda: self.win.title() == "Private " + base, 10),
                        self.win.title())
        self.assert_refused(mark)

    @unittest.skipUnless(PeerNet.available(), "needs root and ip netns")
    def test_another_network_namespace_is_served_only_in_public_mode(self):
        """A peer in a second network namespace, over a veth pair, is another
        host: refused on both ports while private, served while public."""
        wait_http(self.arena)
        with PeerNet() as net:
            def attempt(port, request):
                s = net.socket()
                try:
                    s.connect((net.here, port))
                    local = s.getsockname()[1]
                    s.sendall(request)
                    got = b""
                    while b"\n" not in got:
                        chunk = s.recv(4096)
                        if not chunk:
                            break
                        got += chunk
                    return local, got
                except (ConnectionResetError, BrokenPipeError):
                    return local, b""
                finally:
                    s.close()

            def assert_refused_from_peer():
                mark = self.arena.mark()
                for port, request in ((2222, b".\n"), (2280, b"GET /turtle HTTP/1.0\r\n\r\n")):
                    local, got = attempt(port, request)
                    self.assertEqual(got, b"", "port %d answered a foreign host" % port)
                    self.arena.wait_for_log("accept_connection(): reject connection from %s %d\n"
                                            % (net.peer, local), since=mark)

            assert_refused_from_peer()
            mark = self.switch(public=True)
            self.addCleanup(self.back_to_private)
            local, got = attempt(2222, b".\n")
            self.assertRegex(got.decode("latin-1"), r"^OK @ \d+ \d+\n$")
            self.arena.wait_for_log("handling client from %s %d\n" % (net.peer, local), since=mark)
            local, got = attempt(2280, b"GET /turtle HTTP/1.0\r\n\r\n")
            self.assertTrue(got.startswith(b"HTTP/1.1 200 OK"), got[:40])
            self.assertNotIn("reject connection", self.arena.log()[mark:])

            self.switch(public=False)
            assert_refused_from_peer()

    def switch(self, public):
        """@, waiting for the new mode's log line; returns the log mark of
        the moment before."""
        mark = self.arena.mark()
        self.win.key("at")
        self.arena.wait_for_log("entering %s mode...\n" % ("public" if public else "private"),
                                since=mark)
        return mark

    def back_to_private(self):
        log = self.arena.log()
        if log.rfind("entering public mode...\n") > log.rfind("entering private mode...\n"):
            self.switch(public=False)


class BirdView(FieldCase):
    def test_zoom_stops_at_15_and_60_degrees_and_rotation_wraps(self):
        self.paint_mark()
        clock = self.frame_clock()
        views = {"top": settled_shot(self.arena, clock)}
        self.addCleanup(press, self.arena, "3")
        # keys pressed, the view the picture must match ("=") or differ
        # from ("!="), and a name for the picture it shows then
        steps = [
            (["3"], "!= top", "55"),                      # bird view starts at 55 degrees
            (["plus"] * 7, "!= 55", "20"), (["plus"], "!= 20", "15"),
            (["plus"] * 12, "= 15", None),                # zoom in stops at 15
            (["minus"] * 8, "= 55", None), (["minus"], "!= 55", "60"),
            (["minus"] * 11, "= 60", None),               # zoom out stops at 60
            (["semicolon"], "= 55", None), (["equal"], "= 60", None),  # the other zoom keys
            (["period"] * 72, "!= 60", "180"),            # 72 steps of 2.5: half a turn
            (["period"] * 72, "= 60", None), (["comma"] * 72, "= 180", None),
            (["greater"] * 72, "= 60", None), (["less"], "!= 60", None),
            (["period", "plus"], "= 55", None),           # the view as it was
            (["3"], "= top", None), (["3"], "= 55", None)]
        for keys, want, name in steps:
            press(self.arena, *keys)
            pic = settled_shot(self.arena, clock)
            how, other = want.split()
            n = differing_pixels(views[other], pic)
            if how == "=":
                self.assertLess(n, 20, "%s after %s: %d pixels differ" % (want, keys[:2], n))
            else:
                self.assertGreater(n, 200, "%s after %s: only %d differ" % (want, keys[:2], n))
            if name:
                views[name] = pic


class Turtles(FieldCase):
    def test_K_kills_every_turtle_and_sends_every_client_away_k_does_nothing(self):
        socks = [self.arena.raw() for _ in range(3)]
        for s in socks:
            self.addCleanup(s.close)
            self.assertTrue(command(s, ".").startswith("OK @ "))
        # a robot too; its reply carries a payload chosen by its slot number
        quillmere.Reply(command(socks[0], "R"))
        press(self.arena, "k")
        for s in socks:
            self.assertTrue(command(s, ".").startswith("OK @ "))
        self.assertGreaterEqual(int(command(socks[0], "Q N").split()[0]), 5)

        mark = self.arena.mark()
        self.win.key("K")
        for s in socks:
            self.assertTrue(closed_by_peer(s), "a client stayed connected")
        self.arena.wait_all_closed()
        self.assertEqual(self.arena.count("closing connection from 127.0.0.1 ", mark), 3)
        with self.arena.connect() as t:
            self.assertEqual(t.n_turtles(), 1)
            # the feed shows the newcomer from the next frame on
            self.assertTrue(wait_for(lambda: len(live_entries()) == 1))

    def test_Z_and_z_erase_zombies(self):
        me = self.client()
        for key in ("Z", "z"):
            mark = self.arena.mark()
            for _ in range(2):
                self.arena.connect().close()
            self.wait_closed(2, mark)
            before = me.n_turtles()
            self.assertGreaterEqual(before, 3)
            press(self.arena, key)
            self.assertEqual(me.n_turtles(), 1, key)
            self.assertTrue(me.nop().ok)

    def test_O_and_o_scatter_stones(self):
        self.addCleanup(press, self.arena, "K")  # no stone is left for later tests
        self.assertEqual(live_entries(3), [])
        press(self.arena, "O")
        self.assertEqual(len(live_entries(3)), 1)
        press(self.arena, "o")
        stones = live_entries(3)
        self.assertEqual(len(stones), 2)
        for s in stones:
            self.assertLessEqual(abs(s["x"]), 246)
            self.assertLessEqual(abs(s["y"]), 246)
        # a stone is not a turtle: the count leaves it out
        with self.arena.connect() as t:
            self.assertTrue(wait_for(lambda: t.n_turtles() == len(live_entries()) - 2))

    def test_B_and_b_toggle_the_bounded_area(self):
        t = self.client(park=False)
        self.assertTrue(t.jump(0, 0))
        self.assertTrue(t.head("east"))
        self.assertTrue(t.forward(600))  # plain mode: out through the boundary
        self.assertEqual(t.position(), (600.0, 0.0))
        self.assertTrue(t.jump(0, 0))
        press(self.arena, "B")
        t.take_events()
        self.assertFalse(t.forward(600))
        self.assertEqual(t.position(), (0.0, 0.0))
        self.assertTrue(t.take_events() & quillmere.EV_BUMP_WALL)
        self.assertFalse(t.jump(300, 0))  # nor jumps out
        press(self.arena, "b")
        self.assertTrue(t.forward(600))
        self.assertEqual(t.position(), (600.0, 0.0))

    def test_N_and_S_show_and_hide_names_and_scores(self):
        t = self.client(park=False)
        self.assertTrue(t.jump(0, 0))
        self.assertTrue(t.head("east"))
        self.assertTrue(t.name("WWWW"))

        def labels():  # the name is written below the turtle, the score above it
            pic = shot(self.arena)
            return pic.count(light, -14, -25, 39, -12), pic.count(light, -14, 12, 19, 22)

        self.assertEqual(labels(), (0, 0))
        press(self.arena, "N")
        self.assertTrue(wait_for(lambda: labels()[0] > 15 and labels()[1] == 0, 10), labels())
        press(self.arena, "S")
        self.assertTrue(wait_for(lambda: min(labels()) > 3, 10), labels())
        press(self.arena, "n", "s")
        self.assertTrue(wait_for(lambda: labels() == (0, 0), 10), labels())


class BattleKey(FieldCase):
    def test_exclamation_mark_toggles_battle_mode(self):
        t = self.client(park=False)
        mark = self.arena.mark()
        press(self.arena, "exclam")
        self.arena.wait_for_log("entering battle mode...\n", since=mark)
        self.assertFalse(t.jump(30, 30))  # no jumps in battle
        mark = self.arena.mark()
        press(self.arena, "exclam")
        self.arena.wait_for_log("entering turtle graphics mode...\n", since=mark)
        self.assertTrue(t.jump(30, 30))


class Canvas(FieldCase):
    def paint_line(self, t):
        """A red line along y = 100 from x = -200 to -50; the turtle then
        waits out of the way."""
        self.assertTrue(t.jump(-200, 100))
        self.assertTrue(t.head("east"))
        t.color(1, 0, 0)
        t.width(6)
        t.pen_down()
        self.assertTrue(t.forward(150))
        t.pen_up()
        self.assertTrue(t.jump(150, -150))

    def line_pixels(self):
        return shot(self.arena).count(reddish, -180, 97, -71, 103)

    def background_only(self):
        return shot(self.arena).count(not_blue, -180, 97, -71, 103) == 0

    def test_C_c_and_the_menu_clear_the_painted_field(self):
        t = self.client(park=False)
        self.assertTrue(t.field_color(0.2, 0.2, 0.6))
        self.assertTrue(wait_for(self.background_only, 10))
        for how in ("C", "c", "menu"):
            self.paint_line(t)
            self.assertTrue(wait_for(lambda: self.line_pixels() > 300, 10), how)
            if how == "menu":
                self.choose_until(0, self.background_only, "Clear Field")
            else:
                press(self.arena, how)
                self.assertTrue(wait_for(self.background_only, 10), how)
            self.assertTrue(t.nop().ok)  # the turtle lives on

    def test_a_field_at_rest_still_shows_every_change(self):
        # Once nothing on the field moves, the arena stops drawing the same
        # picture over and over; every change must still reach the window.
        t = self.client(park=False)
        self.assertTrue(t.field_color(0.2, 0.2, 0.6))
        self.paint_line(t)
        self.assertTrue(wait_for(lambda: self.line_pixels() > 300, 10))
        press(self.arena, "K")  # every turtle gone: the field is at rest
        self.assertTrue(closed_by_peer(t.sock))
        rest = settled_shot(self.arena)
        self.assertEqual(rest.count(not_blue, 138, -162, 162, -138), 0,
                         "the killed turtle is gone from the window")
        self.assertGreater(self.line_pixels(), 300, "the paint stays")

        press(self.arena, "h")
        self.assertGreater(differing_pixels(rest, settled_shot(self.arena)), 200,
                           "help shown on a field at rest")
        press(self.arena, "h")
        self.assertLess(differing_pixels(rest, settled_shot(self.arena)), 20, "help gone")
        press(self.arena, "c")
        self.assertTrue(wait_for(self.background_only, 10), "cleared on a field at rest")

        # a client that comes and goes in one breath: its last command shows
        mark = self.arena.mark()
        with self.arena.connect() as late:
            self.assertTrue(late.field_color(0.2, 0.6, 0.2))
        self.wait_closed(1, mark)
        press(self.arena, "z")
        green = settled_shot(self.arena)
        self.assertTrue(near(green.at(400, 100), (51, 153, 51)), green.at(400, 100))


class Maze(FieldCase):
    def test_M_builds_a_maze_and_M_again_leaves_the_boundary_in_battle_mode(self):
        old = self.arena.raw()
        self.addCleanup(old.close)
        self.assertTrue(command(old, ".").startswith("OK @ "))

        log = self.toggle_maze(True)
        self.assertRegex(log, r"entering battle mode\.\.\.\n(.*\n)*entering maze mode\.\.\.\n")
        self.assertTrue(closed_by_peer(old), "the old client stayed connected")

        walls = feed("wall")
        faults, segments = maze_faults(walls)
        self.assertEqual(faults, [])
        self.assertGreater(len(segments), 100)
        self.assertTrue(complete_maze(walls))

        doughnuts = [(e["tid"], e["x"], e["y"]) for e in live_entries(2)]
        self.assertEqual(doughnuts, [(0, 16.0, 16.0), (1, -16.0, 16.0), (2, 16.0, -16.0),
                                     (3, -16.0, -16.0)])
        self.assertEqual(len(live_entries()), 4)

        t = self.arena.connect()
        self.addCleanup(t.close)
        x, y = t.position()
        self.assertTrue(-256 < x < -224 and -256 < y < -224, (x, y))

        # lower-case m changes nothing
        mark = self.arena.mark()
        press(self.arena, "m")
        self.assertEqual(feed("wall"), walls)
        self.assertNotIn("maze mode", self.arena.log()[mark:])
        self.assertTrue(t.nop().ok)

        log = self.toggle_maze(False)
        self.assertNotIn("turtle graphics mode", log)
        self.assertSentAway(t)
        boundary = feed("wall")
        self.assertEqual(len(boundary), 4)
        self.assertEqual(maze_faults(boundary), ([], []))
        self.assertEqual(live_entries(), [])
        # still battle: a new turtle cannot jump
        with self.arena.connect() as u:
            self.assertFalse(u.jump(10, 10))


class Menu(FieldCase):
    def test_battle_erase_zombie_and_kill_all_from_the_menu(self):
        for line in ("entering battle mode...\n", "entering turtle graphics mode...\n"):
            mark = self.arena.mark()
            self.choose_until(2, lambda: line in self.arena.log()[mark:],
                              "Toggle Graphics/Battle Mode for " + line.strip())
        self.assertNotIn("entering battle mode", self.arena.log()[mark:])

        me = self.client()
        mark = self.arena.mark()
        self.arena.connect().close()
        self.wait_closed(1, mark)
        self.assertGreaterEqual(me.n_turtles(), 3)
        self.choose_until(1, lambda: me.n_turtles() == 1, "Erase Zombie")

        s = self.arena.raw()
        self.addCleanup(s.close)
        self.assertTrue(command(s, ".").startswith("OK @ "))
        self.choose_until(7, lambda: live_entries() == [], "Kill All Turtles")
        self.assertTrue(closed_by_peer(s))
        self.assertSentAway(me)


class Capture(FieldCase):
    def test_p_writes_what_the_window_shows_named_by_the_tick(self):
        self.paint_mark()
        press(self.arena, "O")  # a stone: it must show in the capture too
        self.addCleanup(press, self.arena, "K")
        clock = self.frame_clock()
        window = settled_shot(self.arena, clock)
        home = self.arena.home.name
        for f in os.listdir(home):
            if f.startswith("qmere-capture-"):
                os.unlink(os.path.join(home, f))

        t0 = clock.turtle.ticks()
        press(self.arena, "p")
        names = wait_for(lambda: [f for f in os.listdir(home) if f.startswith("qmere-capture-")],
                         10)
        t1 = clock.turtle.ticks()
        self.assertEqual(len(names), 1, names)
        tick = int(re.fullmatch(r"qmere-capture-(\d+)\.png", names[0]).group(1))
        self.assertTrue(t0 <= tick <= t1, (t0, tick, t1))

        path = os.path.join(home, names[0])
        chunks = wait_for(lambda: png_chunks(path), 10)
        self.assertIsNotNone(chunks)
        kinds = [k for k, _ in chunks]
        self.assertEqual(kinds[0], "IHDR")
        self.assertEqual(struct.unpack(">IIBBBBB", chunks[0][1]), (SIDE, SIDE, 8, 2, 0, 0, 0))
        texts = capture_texts(chunks)
        self.assertEqual([k for k, _ in texts], ["Author", "Software", "Source", "Description"])
        # the text chunks come before the image data
        self.assertLess(max(i for i, k in enumerate(kinds) if k == "zTXt"), kinds.index("IDAT"))
        t = dict(texts)
        self.assertEqual(t["Author"], (os.environ.get("USER") or "unknown")[:31])
        self.assertTrue(t["Software"].startswith("qmere"))
        self.assertEqual(t["Source"], socket.gethostname()[:127])
        self.assertRegex(t["Description"], r"^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}$")

        png = png_rgb(path)
        self.assertEqual(differing_pixels(png, window, rows=1), 0, "top row")
        self.assertLess(differing_pixels(png, window), 20)
        # the hook (east, then north) shows unturned: its corner is up right
        self.assertFalse(near(png.field(150, 40), BLUE), png.field(150, 40))
        self.assertTrue(near(png.field(-150, -40), BLUE), png.field(-150, -40))


if __name__ == "__main__":
    unittest.main()
