"""Recordings by the real program: the same bots give the same file, replayed to
where the match ended; a killed recording replays; bad command lines refused."""

import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import Arena, http_get, wait_for  # noqa: E402
import quillmere  # noqa: E402


def feeds(): return {f: http_get("/" + f)[1] for f in ("turtle", "wall", "coin")}


def console(arena, action, method="POST"):
    body = http_get("/control/" + action, method, b"X-Quillmere-Key: %s\r\n"
                    % arena.key().encode())[1]
    return json.loads(body) if method == "GET" else None


class Recordings(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name): return os.path.join(self.dir.name, name)

    def replay(self, name):
        arena = Arena(args=["--replay", self.path(name)], headless=True).start()
        self.addCleanup(arena.stop)
        return arena

    def record_match(self, name):
        """Two bots in lockstep for 120 frames, painting and sensing; the feeds
        and canvas at the end."""
        # NOTE: a long lockstep time-out, so a slow machine cannot start a frame early
        arena = Arena(args=["--seed", "7", "--lockstep=30000", "--record", self.path(name)],
                      headless=True).start()
        try:
            with quillmere.Turtle() as a, quillmere.Turtle() as b:
                a.brush_mode(), b.robot(), b.pen_up(), a.pen_down(), b.forward(0)
                for i in range(120):
                    a.forward(4)
                    if i % 20 == 0:
                        b.radar()
                    b.forward(2)
                    a.left(6)
                    b.right(3)
            arena.wait_all_closed()
            time.sleep(0.3)  # NOTE: the departures' frame has no sign of its own
            end = feeds(), http_get("/canvas.png")[1]
            console(arena, "quit")
            self.assertEqual(arena.proc.wait(10), 0)
        finally:
            arena.stop()
        return end

    def test_same_bots_same_file_and_the_replay_ends_where_the_match_did(self):
        live_feeds, live_canvas = self.record_match("one.qrec")
        self.record_match("two.qrec")
        with open(self.path("one.qrec"), "rb") as f1, open(self.path("two.qrec"), "rb") as f2:
            self.assertTrue(f1.read() == f2.read(), "two runs of the same bots differ")
        a = self.replay("one.qrec")
        self.assertTrue(wait_for(lambda: not console(a, "state", "GET")["playing"], 30))
        self.assertEqual(feeds(), live_feeds)
        self.assertEqual(http_get("/canvas.png")[1], live_canvas)
        with socket.create_connection(("127.0.0.1", 2222)):  # nobody drives a recording
            a.wait_for_log("replaying a recording, closing connection from 127.0.0.1 ")

    def test_a_killed_recording_replays_to_its_last_whole_frame(self):
        with Arena(args=["--record", self.path("killed.qrec")], headless=True) as a:
            with a.connect() as t:
                t.pen_down()
                for _ in range(300):  # more than two seconds of frames: blocks on disk
                    t.forward(1)
                os.kill(a.proc.pid, signal.SIGKILL)
                a.proc.wait(10)
        b = self.replay("killed.qrec")
        st = console(b, "state", "GET")
        self.assertGreater(st["ticks_total"] - st["first_tick"], 100)
        self.assertTrue(wait_for(lambda: any(e["alive"] for e in json.loads(feeds()["turtle"]))))

    def test_bad_command_lines_are_refused_at_start_up(self):
        with open(self.path("junk.qrec"), "wb") as f:
            f.write(b"QMREC\x09\x00\x00")
        junk, none = self.path("junk.qrec"), self.path("none.qrec")
        for args, line in ((["--lockstep"], "qmere: --lockstep needs --headless"),
                (["--record"], "qmere: --record needs a file"),
                (["--headless", "--replay", none], "cannot open the recording"),
                (["--headless", "--replay", junk, "--record", junk], "would overwrite the recording"),
                (["--seed", "x"], "qmere: --seed needs a number"),
                (["--headless", "--lockstep=0"], "--lockstep=MS needs MS from 1")):
            with self.subTest(args=args):
                r = subprocess.run([Arena().binary] + args, capture_output=True, text=True,
                                   timeout=20, env=dict(os.environ, HOME=self.dir.name))
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(line, r.stderr)


if __name__ == "__main__":
    unittest.main()
