"""The window program under a private Xvfb: banner and options, the window
title, the fixed window size, the menu's window entries and the Q key.

Run by ctest with QMERE_BIN naming the binary; needs Xvfb, xdotool, xprop
and xwininfo. Uses the fixed ports 2222 and 2280, so it runs alone.
"""

import os
import re
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import Arena, wait_for  # noqa: E402
from fieldkit import HAVE_X, Window  # noqa: E402

BANNER = re.compile(
    r"Quillmere: [^\n]+\n"
    r"starting quill mere build on [A-Z][a-z]{2} [1-9][0-9]? [0-9]{4}\n")
HELP = 'options:\n -js "URL1;URL2;...\"\n'


class Options(unittest.TestCase):
    """Options are read before any window opens: no display needed."""

    def run_qmere(self, *args):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        return subprocess.run([Arena().binary] + list(args), env=env, capture_output=True,
                              text=True, timeout=20)

    def test_help_prints_banner_then_usage_and_exits_0(self):
        for args in (["-h"], ["-help"], ["-js", "a;b", "-h"], ["extra", "-hh"]):
            r = self.run_qmere(*args)
            self.assertEqual(r.returncode, 0, args)
            self.assertRegex(r.stderr, "^" + BANNER.pattern)
            self.assertTrue(r.stderr.endswith(HELP), r.stderr)
            if "-js" not in args:
                self.assertEqual(BANNER.sub("", r.stderr, count=1), HELP)

    def test_js_consumes_its_argument_and_no_display_means_headless(self):
        # "-h" right after -js is the script list, not the help switch: the
        # program goes on and, finding no display, runs without a window
        arena = Arena(args=["-js", "-h"], headless="fallback")
        arena.start()
        self.addCleanup(arena.stop)
        self.assertIn("script: -h\n", arena.log())
        self.assertNotIn("options:", arena.log())
        arena.wait_for_log("qmere: no display to open (DISPLAY is not set), running headless\n")


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class WindowCase(unittest.TestCase):

    def setUp(self):
        self.arena = Arena()
        self.arena.start()
        self.addCleanup(self.arena.stop)
        self.win = Window(self.arena)
        self.home = self.arena.home.name

    def test_banner_title_and_a_size_that_snaps_back_to_512(self):
        # (the @ key's switch to public and back: test_field_control Privacy)
        w = self.win
        self.assertRegex(self.arena.log(), "^" + BANNER.pattern)
        self.assertEqual(w.title(), "Private Quill Mere @ " + socket.gethostname())
        self.assertEqual(w.size(), (512, 512))
        w.x(["xdotool", "windowsize", w.id, "640", "400"])
        self.assertEqual(wait_for(lambda: w.size() == (512, 512), 5), True, w.size())

    def test_menu_entries(self):
        w = self.win
        base = "Quill Mere @ " + socket.gethostname()
        w.choose(3)  # Toggle Private/Public Mode
        self.assertTrue(wait_for(lambda: w.title() == "Public " + base, 5), w.title())
        w.choose(4)  # Capture Screen
        self.assertTrue(wait_for(
            lambda: any(f.startswith("qmere-capture-") for f in os.listdir(self.home)), 5))
        w.choose(5)  # the separator: nothing happens
        time.sleep(0.5)
        self.assertIsNone(self.arena.proc.poll())
        w.choose(8)  # Exit
        self.assertEqual(self.arena.proc.wait(10), 0)

    def test_q_exits_with_status_0_and_lower_case_q_does_nothing(self):
        self.win.key("q")
        time.sleep(0.5)
        self.assertIsNone(self.arena.proc.poll())
        # the window is gone before the key's release reaches it
        self.win.key("Q", check=False)
        self.assertEqual(self.arena.proc.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
