"""The Python client against a real arena (see with_arena.py): the shared
cases, errors naming what happened, text cut whole, handlers."""

import os
import socket
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cases  # noqa: E402

sys.path.insert(0, os.path.join(cases.REPO, "clients", "python"))
import quillmere  # noqa: E402
from quillmere import Turtle  # noqa: E402


class Library(unittest.TestCase):
    def test_1_shared_protocol_cases(self):  # first: the turtle is alone on the field
        with Turtle() as t:
            for case in cases.CASES:
                with self.subTest(send=case["send"]):
                    r = t.send(case["send"])
                    self.assertTrue(cases.reply_matches(case["reply"], r.line), r.line)
                    if "call" in case:
                        got = getattr(t, case["call"][0])(*case["call"][1:])
                        self.assertTrue(cases.result_matches(case["result"], got), got)

    def test_errors_name_what_happened(self):
        with socket.socket() as s:  # a port where nobody listens
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        with self.assertRaisesRegex(quillmere.ArenaUnreachable, "cannot connect.*:%d" % port):
            Turtle(port=port)
        for answer, error, text in [(b"", quillmere.ArenaClosed, "the arena closed"),
                                    (None, quillmere.ArenaTimeout, "did not answer"),
                                    (b"hello\n", quillmere.MalformedReply, "malformed reply")]:
            with Turtle(port=cases.fake_arena(answer), timeout=0.5) as t:
                with self.assertRaisesRegex(error, text):
                    t.forward(1)
                with self.assertRaises(error, msg="the connection stays given up"):
                    t.nop()

    def test_text_is_cut_without_splitting_a_character(self):
        for text, limit, nbytes in [("x" * 300, 128, 128), ("é" * 100, 127, 126),
                                    ("aé" * 100, 127, 127), ("€" * 50, 127, 126)]:
            hexed = quillmere.to_hex(text, limit)
            self.assertEqual(len(hexed), 2 * nbytes, text[:4])
            bytes.fromhex(hexed).decode("utf-8")  # whole characters only

    def test_handlers_run_for_their_events(self):
        with Turtle() as a, Turtle() as b:
            self.assertTrue(a.jump(-100, 100) and b.jump(-70, 100) and a.setheading(0))
            seen = []
            a.on("bump_turtle", lambda t, r: seen.append(t.position()))
            a.on("hit", lambda t, r: seen.append("hit"))
            self.assertFalse(a.forward(15))  # b is in the way
            self.assertEqual(seen, [(-100.0, 100.0)])


if __name__ == "__main__":
    unittest.main()
