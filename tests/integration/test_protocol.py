"""The command language over real sockets and through the student client
library: reply lines, events in the reply that raised them, framing across
writes, and the library's calls against the real program. (Each command's
rules in detail: the unit tests.)"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import arena  # noqa: E402

arena.HEADLESS = True  # nothing here looks at the window

from arena import ArenaCase, nothing_arrives, stop_shared_arena  # noqa: E402
import quillmere  # noqa: E402
from quillmere import Reply  # noqa: E402

NUM = r"-?\d+\.\d{6}"
TAIL = r" @ \d+ \d+"


def tearDownModule():
    stop_shared_arena()


class ClientLibrary(unittest.TestCase):
    """The parts of quillmere.py that need no arena."""

    def test_reply_parsing(self):
        r = Reply("12.500000 -3.000000 OK @ 120 33\n")
        self.assertTrue(r.ok)
        self.assertEqual((r.payload, r.fields, r.ticks, r.events),
                         ("12.500000 -3.000000", ["12.500000", "-3.000000"], 120, 33))
        self.assertEqual(r.number(1), -3.0)
        r = Reply("ERR @ 7 0\n")
        self.assertFalse(r)
        self.assertEqual((r.payload, r.fields), ("", []))
        r = Reply("5 a @ b  OK @ 9 256\n")
        self.assertEqual(r.payload, "5 a @ b ", "a board text keeps its blanks and '@'")
        self.assertEqual(quillmere.event_names(r.events), ["team_msg"])
        for bad in ("OK\n", "FINE @ 1 2\n", "OK @ x 2\n", "OK @ 1\n", ""):
            with self.assertRaises(quillmere.ArenaError, msg=bad):
                Reply(bad)

    def test_hex_text(self):
        self.assertEqual(quillmere.to_hex("ABC"), "414243")
        self.assertEqual(quillmere.to_hex(b"\xe3\x81"), "e381")
        self.assertEqual(quillmere.from_hex("41 42 43"), b"ABC")
        self.assertEqual(len(quillmere.to_hex("x" * 300)), 256)


class ReplyLine(ArenaCase):
    def test_reply_line_of_each_kind_of_command(self):
        t = self.client()
        self.assertTrue(t.jump(12.5, -30))
        # one of each kind; every query letter and sub-option: the unit tests
        cases = [
            (".", "OK"), ("Z", "ERR"), ("Q P", "12.500000 -30.000000 OK"),
            ("q p", NUM + " " + NUM + " OK"), ("QP", "ERR"), ("Q", "ERR"), ("Q Z", "ERR"),
            ("Q W", "[01] [01] [01] OK"), ("Q B", r"\d+ .* OK"), ("Q R 6", "ERR"),
            ("T X 90", "ERR"), ("I 9", "OK"), ("P X", "OK"), ("S 4", "OK"), ("O S", "ERR"),
            ("." + " " * 400 + "x", "OK"),
        ]
        for cmd, pattern in cases:
            with self.subTest(cmd=cmd[:12]):
                self.assertReply(t.send(cmd), pattern + TAIL)
        self.assertEqual(t.position(), (12.5, -30.0), "nothing above moved the turtle")
        first = t.send("Q T")  # the tick field is the arena's clock, and it runs
        self.assertIn(first.ticks - first.integer(), (0, 1))
        time.sleep(0.3)
        self.assertGreater(t.send(".").ticks, first.ticks)

    def test_events_travel_in_the_reply_that_raised_them_or_the_next(self):
        a, b = self.client(), self.client()
        self.assertTrue(a.jump(-100, 100))
        self.assertTrue(b.jump(-70, 100))
        self.assertTrue(a.head("east"))
        a.take_events()
        b.take_events()
        r = a.send("F 15")  # blocked by b: the bump comes in this very reply
        self.assertFalse(r.ok)
        self.assertEqual(r.events, quillmere.EV_BUMP_TURTLE)
        self.assertEqual(a.send("F 15").events, 0, "the contact latch holds")
        self.assertTrue(a.forward(5), "a step that ends short of contact is free")
        # a's finder marks b: b hears of it with its next reply, once
        self.assertEqual(a.finder(), (1, 0))
        self.assertEqual(b.send(".").events & quillmere.EV_FINDER, quillmere.EV_FINDER)
        self.assertEqual(b.send(".").events, 0)
        # a masked event is not reported; unmasked, it is again
        self.assertTrue(a.disable_events(quillmere.EV_BUMP_TURTLE))
        self.assertEqual(a.send("F 10").events, 0)
        a.left(1)
        a.right(1)  # turning frees the latch
        self.assertTrue(a.enable_events(quillmere.EV_BUMP_TURTLE))
        self.assertEqual(a.send("F 10").events, quillmere.EV_BUMP_TURTLE)


class Framing(ArenaCase):
    def test_split_write_runs_when_the_terminator_arrives(self):
        t = self.client()
        t.jump(0, 0)
        t.head("east")
        for part in ("F 1", "0"):
            t.send_raw(part)
            self.assertIs(nothing_arrives(t.sock), True, "a reply before the terminator")
        t.send_raw("\n")
        self.assertTrue(t.read_reply().ok)
        self.assertEqual(t.position(), (10.0, 0.0))

    def test_blanks_crlf_stray_bytes_and_several_commands_in_one_write(self):
        t = self.client()
        t.jump(0, 20)
        t.head("east")
        t.send_raw("   F\t 1\t0\r\n")
        self.assertTrue(t.read_reply().ok)
        t.send_raw(";;\n\r\n ;")  # empty commands get no reply
        self.assertIs(nothing_arrives(t.sock), True)
        t.send_raw(b"Q\xff \xe3\x81\x82P\x00\n")  # bytes outside ASCII are dropped
        self.assertEqual(t.read_reply().payload, "10.000000 20.000000")
        t.send_raw("F 1;F 1;F 1\nQ P;")
        replies = [t.read_reply() for _ in range(4)]
        self.assertTrue(all(r.ok for r in replies))
        self.assertEqual(replies[3].payload, "13.000000 20.000000")


class Library(ArenaCase):
    """Every call of the client library against the real program."""

    def test_motion_and_pen_calls(self):
        # (jumps, heads, modes, colours and widths run in every other suite)
        t = self.client()
        t.jump(-50, 0)
        t.head("east")
        self.assertTrue(t.send("forward 10").ok)  # only the first letter counts
        self.assertTrue(t.back(4))
        self.assertTrue(t.rjump(10, 5))
        self.assertEqual(t.position(), (-34.0, 5.0))
        self.assertTrue(t.left(90) and t.right(30))
        self.assertAlmostEqual(t.heading(), 60.0)
        self.assertTrue(t.clear() and t.team(4) and t.home())
        self.assertEqual((t.position(), t.heading(), t.my_team()), ((0.0, 0.0), 0.0, 4))
        self.assertTrue(t.reset(5))
        self.assertEqual((t.position(), t.my_team()), ((5.0, 0.0), 0), "a reset forgets the team")

    def test_team_board_coins_gun_and_sensors(self):
        a, b, c = self.client(), self.client(), self.client()
        self.assertTrue(a.team(2) and b.team(2) and c.team(3))
        self.assertEqual(a.my_team(), 2)
        b.take_events()
        c.take_events()
        self.assertTrue(a.say("meet at  the  north gate "))
        time_written, text = b.board()
        self.assertEqual(text, "meet at  the  north gate ")
        self.assertGreater(time_written, 0)
        self.assertTrue(b.events & quillmere.EV_TEAM_MSG)
        self.assertFalse(c.send(".").events & quillmere.EV_TEAM_MSG)
        self.assertNotEqual(c.board()[1], text)

        a.jump(-150, 150)
        self.assertEqual(a.coins_carried(), 0)
        self.assertTrue(a.borrow_coins())
        self.assertEqual(a.coins_carried(), 10)
        self.assertTrue(a.drop_coin())
        self.assertEqual(a.coins_near(), 1)
        self.assertTrue(a.pick_coin())
        self.assertEqual((a.coins_near(), a.coins_carried()), (0, 10))
        self.assertTrue(a.scatter_coin())
        while a.coins_carried() > 0:  # give them all back to the bank
            self.assertTrue(a.send("O +").ok)

        a.jump(100, 0)
        b.jump(125, 0)
        a.head("east")
        self.assertTrue(a.finder_range(20))
        self.assertEqual(a.finder(), (1, 2))
        self.assertEqual(a.sonar(), (1, 1, 1), "each probe passes within reach of b")
        direction, team = a.radar(1)
        self.assertEqual(team, 2)
        self.assertLessEqual(abs(direction), 20.0)
        self.assertTrue(a.alive())
        score = a.score()
        self.assertTrue(a.head("south") and a.fire())
        self.assertEqual(a.score(), score - 1, "a shot costs a point")


if __name__ == "__main__":
    unittest.main()
