"""The command language over real sockets: reply lines, events in the reply
that raised them, framing across writes, and every command's effect and
refusal, driven through the student client library."""

import math
import os
import select
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from arena import ArenaCase, stop_shared_arena  # noqa: E402
import quillmere  # noqa: E402
from quillmere import Reply  # noqa: E402

NUM = r"-?\d+\.\d{6}"
TAIL = r" @ \d+ \d+"


def tearDownModule():
    stop_shared_arena()


def nothing_arrives(t, wait=0.3):
    r, _, _ = select.select([t.sock], [], [], wait)
    return not r


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
    def test_empty_payload_has_no_leading_blank(self):
        t = self.client()
        self.assertReply(t.send("."), "OK" + TAIL)
        self.assertReply(t.send("Z"), "ERR" + TAIL)

    def test_query_payload_then_status(self):
        t = self.client()
        t.jump(12.5, -30)
        r = t.send("Q P")
        self.assertReply(r, "12.500000 -30.000000 OK" + TAIL)
        self.assertEqual(r.fields, ["12.500000", "-30.000000"])

    def test_query_letter_must_be_its_own_token(self):
        t = self.client()
        self.assertReply(t.send("QP"), "ERR" + TAIL)
        self.assertReply(t.send("q p"), NUM + " " + NUM + " OK" + TAIL)

    def test_ticks_follow_the_arena_clock(self):
        t = self.client()
        first = t.send("Q T")
        self.assertIn(first.ticks - first.integer(), (0, 1))
        time.sleep(0.3)
        self.assertGreater(t.send(".").ticks, first.ticks)

    def test_blocked_step_reports_its_bump_in_its_own_reply(self):
        a, b = self.client(), self.client()
        self.assertTrue(a.jump(-100, 100))
        self.assertTrue(b.jump(-70, 100))
        self.assertTrue(a.head("east"))
        a.take_events()
        r = a.send("F 15")
        self.assertFalse(r.ok)
        self.assertEqual(r.events, quillmere.EV_BUMP_TURTLE)
        self.assertEqual(a.send("F 15").events, 0, "the contact latch holds")
        self.assertEqual(a.send(".").events, 0)
        self.assertTrue(a.forward(5), "a step that ends short of contact is free")

    def test_events_of_others_arrive_with_the_next_reply(self):
        a, b = self.client(), self.client()
        a.jump(-100, 60)
        b.jump(-75, 60)
        a.head("east")
        b.take_events()
        self.assertEqual(a.finder(), (1, 0))
        self.assertEqual(b.send(".").events & quillmere.EV_FINDER, quillmere.EV_FINDER)
        self.assertEqual(b.send(".").events, 0)


class Framing(ArenaCase):
    def test_split_write_runs_when_the_terminator_arrives(self):
        t = self.client()
        t.jump(0, 0)
        t.head("east")
        t.send_raw("F 1")
        self.assertTrue(nothing_arrives(t), "no reply before the terminator")
        t.send_raw("0")
        self.assertTrue(nothing_arrives(t))
        t.send_raw("\n")
        self.assertTrue(t.read_reply().ok)
        self.assertEqual(t.position(), (10.0, 0.0))

    def test_crlf_tabs_and_leading_blanks(self):
        t = self.client()
        t.jump(0, 20)
        t.head("east")
        t.send_raw("   F\t 1\t0\r\n")
        self.assertTrue(t.read_reply().ok)
        self.assertEqual(t.position(), (10.0, 20.0))

    def test_several_commands_in_one_write(self):
        t = self.client()
        t.jump(0, 40)
        t.head("east")
        t.send_raw("F 1;F 1;F 1\nQ P;")
        replies = [t.read_reply() for _ in range(4)]
        self.assertTrue(all(r.ok for r in replies))
        self.assertEqual(replies[3].payload, "3.000000 40.000000")

    def test_empty_commands_get_no_reply(self):
        t = self.client()
        t.send_raw(";;\n\r\n ;")
        self.assertTrue(nothing_arrives(t))
        self.assertReply(t.send("."), "OK" + TAIL)

    def test_bytes_outside_ascii_are_dropped(self):
        t = self.client()
        t.send_raw(b"Q\xff \xe3\x81\x82P\x00\n")
        self.assertRegex(t.read_reply().line, "^" + NUM + " " + NUM + " OK")

    def test_long_terminated_command_is_answered(self):
        t = self.client()
        self.assertReply(t.send("." + " " * 400 + "x"), "OK" + TAIL)


class Commands(ArenaCase):
    def test_forward_back_and_first_letter_rule(self):
        t = self.client()
        t.jump(-50, 0)
        t.head("east")
        self.assertTrue(t.send("forward 10").ok)
        self.assertTrue(t.back(4))
        self.assertTrue(t.send("F10").ok)
        self.assertEqual(t.position(), (-44.0, 0.0))

    def test_turns_and_headings(self):
        t = self.client()
        t.head("east")
        self.assertTrue(t.left(90))
        self.assertTrue(t.right(30))
        self.assertAlmostEqual(t.heading(), 60.0)
        for name, h in (("north", 90), ("west", 180), ("south", -90), ("east", 0)):
            self.assertTrue(t.head(name))
            self.assertEqual(t.heading(), h)
        r = t.send("T X 90")
        self.assertReply(r, "ERR" + TAIL)
        self.assertEqual(t.heading(), 0)

    def test_jumps(self):
        t = self.client()
        self.assertTrue(t.jump(100, 100))
        self.assertTrue(t.rjump(-10, 5))
        self.assertEqual(t.position(), (90.0, 105.0))

    def test_battle_mode_refusals_and_the_head_quirk(self):
        t = self.client()
        t.jump(30, 30)
        m = self.arena.mark()
        self.assertTrue(t.battle(True))
        self.arena.wait_for_log("entering battle mode...\n", since=m)
        self.assertFalse(t.jump(0, 0))
        # the head refusal is 1, the code of the position query
        self.assertReply(t.send("T N"), "30.000000 30.000000 OK" + TAIL)
        self.assertTrue(t.forward(100))
        x, y = t.position()
        self.assertLessEqual(math.hypot(x - 30, y - 30), 2.0 + 1e-5, "battle steps are clamped")
        m = self.arena.mark()
        self.assertTrue(t.battle(False))
        self.arena.wait_for_log("entering turtle graphics mode...\n", since=m)
        self.assertTrue(t.jump(0, 0))

    def test_pen_colour_width_and_modes(self):
        t = self.client()
        for ok in (t.pen_down(), t.color(0.2, 0.4, 1), t.width(3), t.fill_mode(),
                   t.point_mode(), t.brush_mode(), t.line_mode(), t.forward(5), t.pen_up(),
                   t.send("P X").ok, t.send("L Q").ok):
            self.assertTrue(ok)

    def test_print_and_name_take_hex_text(self):
        t = self.client()
        self.assertTrue(t.print_text("hello"))
        self.assertTrue(t.name("Speedy"))
        self.assertTrue(t.send("N 41 42 43").ok)
        self.assertTrue(t.send("S 4").ok)

    def test_team_and_board(self):
        a, b, c = self.client(), self.client(), self.client()
        self.assertTrue(a.team(2))
        self.assertTrue(b.team(2))
        self.assertTrue(c.team(3))
        self.assertEqual(a.my_team(), 2)
        self.assertReply(a.send("I 9"), "OK" + TAIL)
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

    def test_reset_home_and_clear(self):
        t = self.client()
        t.jump(50, 60)
        t.left(33)
        t.team(4)
        self.assertTrue(t.home())
        self.assertEqual(t.position(), (0.0, 0.0))
        self.assertEqual(t.heading(), 0.0)
        self.assertEqual(t.my_team(), 4)
        self.assertTrue(t.send("C 5").ok)
        self.assertEqual(t.position(), (5.0, 0.0))
        self.assertEqual(t.my_team(), 0, "a reset forgets the team")
        self.assertTrue(t.send("C").ok)
        self.assertEqual(t.position(), (0.0, 0.0))
        self.assertTrue(t.clear())
        self.assertTrue(t.field_color(0.1, 0.2, 0.3))
        self.assertTrue(t.field_color(0, 0, 0))

    def test_clear_all_removes_zombies(self):
        t = self.client()
        gone = self.client()
        before = t.n_turtles()
        port = gone.sock.getsockname()[1]
        gone.close()
        self.arena.wait_for_log("closing connection from 127.0.0.1 %d\n" % port)
        self.assertEqual(t.n_turtles(), before, "a zombie still counts")
        self.assertTrue(t.clear_zombies())
        self.assertEqual(t.n_turtles(), 1, "only the live client is left")

    def test_coins(self):
        t = self.client()
        t.jump(-150, 150)
        self.assertEqual(t.coins_carried(), 0)
        self.assertReply(t.send("O S"), "ERR" + TAIL)
        carried = 0
        self.assertTrue(t.borrow_coins())
        self.assertEqual(t.coins_carried(), carried + 10)
        self.assertTrue(t.drop_coin())
        self.assertEqual(t.coins_near(), 1)
        self.assertTrue(t.pick_coin())
        self.assertEqual(t.coins_near(), 0)
        self.assertEqual(t.coins_carried(), carried + 10)
        self.assertTrue(t.scatter_coin())
        while t.coins_carried() > 0:
            self.assertTrue(t.send("O +").ok)
        self.assertReply(t.send("O S"), "ERR" + TAIL)
        self.assertTrue(t.pick_coin(), "picking with nothing new in reach is still OK")

    def test_fire_costs_a_point(self):
        t = self.client()
        t.jump(0, -100)
        t.head("south")
        score = t.score()
        self.assertTrue(t.fire())
        self.assertEqual(t.score(), score - 1)

    def test_finder_sonar_and_radar(self):
        a, b = self.client(), self.client()
        a.jump(100, 0)
        b.jump(125, 0)
        a.head("east")
        b.team(3)
        self.assertTrue(a.finder_range(20))
        self.assertEqual(a.finder(), (1, 3))
        self.assertEqual(a.sonar(), (1, 1, 1), "each probe passes within reach of it")
        direction, team = a.radar(1)
        self.assertEqual(team, 3)
        self.assertLessEqual(abs(direction), 20.0)
        self.assertReply(a.send("Q R"), NUM + r" 3 OK" + TAIL)
        for bad in ("Q R 0", "Q R 6", "Q R x"):
            self.assertReply(a.send(bad), "ERR" + TAIL)

    def test_every_query_letter_answers(self):
        t = self.client()
        patterns = {
            "P": NUM + " " + NUM, "D": NUM, "M": r"\d", "F": r"\d \d", "W": r"[01] [01] [01]",
            "A": "1", "S": r"\d+", "T": r"\d+", "N": r"\d+", "C": r"\d+", "O": r"\d+",
            "B": r"\d+ .*",
        }
        for letter, pat in patterns.items():
            self.assertReply(t.send("Q " + letter), pat + " OK" + TAIL)
        self.assertReply(t.send("Q Z"), "ERR" + TAIL)
        self.assertReply(t.send("Q"), "ERR" + TAIL)

    def test_event_mask(self):
        a, b = self.client(), self.client()
        a.jump(-100, 140)
        b.jump(-75, 140)
        a.head("east")
        self.assertTrue(a.disable_events(quillmere.EV_BUMP_TURTLE))
        self.assertEqual(a.send("F 10").events, 0)
        a.left(1)
        a.right(1)
        self.assertReply(a.send("Y + 2"), "OK" + TAIL)
        self.assertReply(a.send("Y 2"), "OK" + TAIL)
        self.assertEqual(a.send("F 10").events, quillmere.EV_BUMP_TURTLE)

    def test_nop(self):
        t = self.client()
        self.assertReply(t.nop(), "OK" + TAIL)


if __name__ == "__main__":
    unittest.main()
