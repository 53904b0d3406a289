"""Recordings over the real program, headless: the same bots in lockstep
give the same file; a replay ends on the feeds and canvas of the live run;
a killed recording replays to its last whole frame; a seek shows the feeds
of that moment; bad command lines are refused at start-up."""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import arena  # noqa: E402

arena.HEADLESS = True
from arena import Arena, command, wait_for  # noqa: E402
import quillmere  # noqa: E402


def http(path, key=None, method="GET"):
    req = urllib.request.Request("http://127.0.0.1:2280" + path, method=method,
                                 headers={"X-Quillmere-Key": key} if key else {})
    with urllib.request.urlopen(req, timeout=10) as r:
        return r.read()


def key_of(a):
    return re.search(r"key=(\w+)", a.log()).group(1)


def pixels(png):
    """The decoded rows of one of the arena's PNGs (one IDAT stream)."""
    at, data = 8, b""
    while at < len(png):
        n = int.from_bytes(png[at:at + 4], "big")
        if png[at + 4:at + 8] == b"IDAT":
            data += png[at + 8:at + 8 + n]
        at += 12 + n
    return zlib.decompress(data)


def feeds():
    return {f: http("/" + f) for f in ("turtle", "wall", "coin")}


def match(frames, snapshot_at=None):
    """Two bots in lockstep, painting and sensing: each frame bot 0 makes its
    move, then bot 1 looks around and makes its move (the turns go in slot
    order, and a frame starts once both have moved). Returns the feeds seen
    after frame `snapshot_at`."""
    a, b = quillmere.Turtle(), quillmere.Turtle()
    seen = None
    try:
        a.brush_mode()
        b.robot()
        b.pen_up()
        a.pen_down()
        b.forward(0)
        for i in range(frames):
            a.forward(4)
            if i % 20 == 0:
                b.radar()
            b.forward(2)
            a.left(6)
            b.right(3)
            if i == snapshot_at:
                seen = feeds()
    finally:
        a.close()
        b.close()
    return seen


class Recordings(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def record_match(self, name, frames, snapshot_at=None):
        # NOTE: the bots never wait for the lockstep's time-out, which is long
        # here: a slow machine cannot make a frame start early
        a = Arena(args=["--seed", "7", "--lockstep=30000", "--record", self.path(name)]).start()
        try:
            seen = match(frames, snapshot_at)
            time.sleep(0.3)
            live = feeds(), pixels(http("/canvas.png"))
            http("/control/quit", key_of(a), "POST")
            self.assertEqual(a.proc.wait(10), 0)
        finally:
            a.stop()
        return live, seen

    def test_same_bots_same_file_and_the_replay_ends_where_the_match_did(self):
        (live_feeds, live_canvas), seen = self.record_match("one.qrec", 120, snapshot_at=60)
        self.record_match("two.qrec", 120)
        with open(self.path("one.qrec"), "rb") as f1, open(self.path("two.qrec"), "rb") as f2:
            self.assertEqual(f1.read(), f2.read(), "two runs of the same bots differ")

        a = Arena(args=["--replay", self.path("one.qrec")]).start()
        self.addCleanup(a.stop)
        key = key_of(a)
        self.assertTrue(wait_for(lambda: not json.loads(http("/control/state", key))["playing"],
                                 timeout=30), "the replay never reached its end")
        self.assertEqual(feeds(), live_feeds)
        self.assertEqual(pixels(http("/canvas.png")), live_canvas)
        # a seek shows the feeds of that moment, to the byte
        tick = json.loads(seen["turtle"])[0]["time"]
        http("/control/seek?tick=%d" % tick, key, "POST")
        self.assertTrue(wait_for(lambda: feeds() == seen, timeout=10), "the seek never arrived")
        # nobody drives a recording
        s = a.raw()
        self.addCleanup(s.close)
        a.wait_for_log(re.compile(r"replaying a recording, closing connection from 127\.0\.0\.1 \d+"))

    def test_a_killed_recording_replays_to_its_last_whole_frame(self):
        a = Arena(args=["--record", self.path("killed.qrec")]).start()
        try:
            with a.connect() as t:
                t.pen_down()
                for _ in range(300):  # more than two seconds of frames: blocks on disk
                    t.forward(1)
                os.kill(a.proc.pid, signal.SIGKILL)
                a.proc.wait(10)
        finally:
            a.stop()
        b = Arena(args=["--replay", self.path("killed.qrec")]).start()
        self.addCleanup(b.stop)
        st = json.loads(http("/control/state", key_of(b)))
        self.assertGreater(st["ticks_total"] - st["first_tick"], 100)
        self.assertTrue(wait_for(lambda: any(e["alive"] for e in json.loads(http("/turtle")))))

    def test_bad_command_lines_are_refused_at_start_up(self):
        with open(self.path("junk.qrec"), "wb") as f:
            f.write(b"QMREC\x09\x00\x00")
        cases = [
            (["--lockstep"], "qmere: --lockstep needs --headless"),
            (["--record"], "qmere: --record needs a file"),
            (["--headless", "--replay", self.path("none.qrec")], "cannot open the recording"),
            (["--headless", "--replay", self.path("junk.qrec")], "a recording of another version"),
            (["--headless", "--replay", self.path("junk.qrec"), "--record", self.path("junk.qrec")],
             "would overwrite the recording"),
            (["--seed", "x"], "qmere: --seed needs a number"),
            (["--headless", "--lockstep=0"], "--lockstep=MS needs MS from 1"),
        ]
        binary = Arena().binary
        for args, line in cases:
            with self.subTest(args=args):
                r = subprocess.run([binary] + args, capture_output=True, text=True, timeout=20,
                                   env=dict(os.environ, HOME=self.dir.name))
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(line, r.stderr)


if __name__ == "__main__":
    unittest.main()
