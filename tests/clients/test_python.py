"""The Python client against a real arena (QMERE_HOST/QMERE_PORT, set by
with_arena.py): the shared protocol cases, then what is the library's own:
errors naming what happened, text cut without splitting a character, and
event handlers."""

import os
import socket
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cases  # noqa: E402

sys.path.insert(0, os.path.join(cases.REPO, "clients", "python"))
import quillmere  # noqa: E402
from quillmere import Turtle  # noqa: E402


class FakeArena:
    """A listener on a free port that answers every line with `answer`
    (or nothing when it is None)."""

    def __init__(self, answer):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.answer = answer
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        conn, _ = self.sock.accept()
        self.sock.close()
        with conn:
            while conn.recv(512):
                if self.answer is not None:
                    conn.sendall(self.answer)


class Library(unittest.TestCase):
    # the arena is fresh and our turtle alone: the cases run first
    def test_1_shared_protocol_cases(self):
        with Turtle() as t:
            for case in cases.load():
                with self.subTest(send=case["send"]):
                    r = t.send(case["send"])
                    self.assertTrue(cases.reply_matches(case["reply"], r.line), r.line)
                if "call" in case:
                    name, *args = case["call"]
                    with self.subTest(call=name):
                        got = getattr(t, name)(*args)
                        self.assertTrue(cases.result_matches(case["result"], got),
                                        "%s%r gave %r" % (name, tuple(args), got))

    def test_errors_name_what_happened(self):
        # clients one by one until the field is full: the next is let in and closed at once
        held = []
        try:
            with self.assertRaisesRegex(quillmere.ArenaClosed, "the arena closed the connection"):
                while len(held) < 12:
                    held.append(Turtle())
                    held[-1].nop()
        finally:
            for t in held:
                t.close()
        with socket.socket() as s:  # a port where nobody listens
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        with self.assertRaisesRegex(quillmere.ArenaUnreachable, "cannot connect.*:%d" % port):
            Turtle(port=port)
        for answer, error, text in [(None, quillmere.ArenaTimeout, "did not answer"),
                                    (b"hello\n", quillmere.MalformedReply, "malformed reply")]:
            fake = FakeArena(answer)
            with Turtle(port=fake.port, timeout=0.5) as t:
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

    def test_handlers_run_for_their_events_and_may_send(self):
        with Turtle() as a, Turtle() as b:
            self.assertTrue(a.jump(-100, 100) and b.jump(-70, 100))
            a.setheading(0)
            seen = []
            a.on("bump_turtle", lambda t, r: seen.append(t.position()))
            a.on("hit", lambda t, r: seen.append("hit"))
            self.assertFalse(a.forward(15))  # b is in the way
            self.assertEqual(seen, [(-100.0, 100.0)])


if __name__ == "__main__":
    unittest.main()
