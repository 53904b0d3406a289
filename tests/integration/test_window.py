"""The program's options, and its window: banner, title, the fixed size, the
@ key, the menu's window entries and Q."""

import os
import re
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import HAVE_X, Arena, Window, press, wait_for  # noqa: E402

BANNER = (r"Quillmere: [^\n]+\nstarting quill mere build on "
          r"[A-Z][a-z]{2} [1-9][0-9]? [0-9]{4}\n")
HELP = 'options:\n -js "URL1;URL2;...\"\n'
TITLE = "Quill Mere @ " + socket.gethostname()


class Options(unittest.TestCase):
    def test_help_prints_banner_then_usage_and_exits_0(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        for args in (["-h"], ["-help"], ["-js", "a;b", "-h"], ["extra", "-hh"]):
            r = subprocess.run([Arena().binary] + args, env=env, capture_output=True, text=True,
                               timeout=20)
            self.assertEqual(r.returncode, 0, args)
            self.assertRegex(r.stderr, "^" + BANNER + "(script: .*\n)*" + re.escape(HELP) + "$")

    def test_js_takes_the_next_argument_and_no_display_means_headless(self):
        # "-h" right after -js is the first script, not the help switch
        urls = ["-h"] + ["http://127.0.0.1/s%d.js" % i for i in range(2, 12)]
        with Arena(args=["-js", " ; ".join(urls)], headless="fallback") as arena:
            arena.wait_for_log("qmere: no display to open (DISPLAY is not set), running headless\n")
        # the page made of them: the unit tests
        self.assertIn("".join("script: %s\n" % u for u in urls[:10]), arena.log())
        self.assertNotIn("options:", arena.log())


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class WindowCase(unittest.TestCase):
    def setUp(self):
        self.arena = Arena().start()
        self.addCleanup(self.arena.stop)
        self.win = Window(self.arena)

    def test_title_size_at_and_q(self):
        w = self.win
        self.assertEqual(w.title(), "Private " + TITLE)
        self.assertEqual(w.size(), (512, 512))
        w.x(["xdotool", "windowsize", w.id, "640", "400"])
        self.assertTrue(wait_for(lambda: w.size() == (512, 512), 5), w.size())
        w.key("at")
        self.assertTrue(wait_for(lambda: w.title() == "Public " + TITLE, 5), w.title())
        press(self.arena, "at", "q")  # private again; lower-case q does nothing
        self.assertEqual(w.title(), "Private " + TITLE)
        self.assertIsNone(self.arena.proc.poll())
        w.key("Q", check=False)  # the window is gone before the key's release
        self.assertEqual(self.arena.proc.wait(10), 0)

    def test_menu_entries(self):
        w, log = self.win, self.arena.log
        for line in ("entering battle mode...\n", "entering turtle graphics mode...\n"):
            mark = self.arena.mark()
            w.choose(2, lambda: line in log()[mark:])  # Toggle Graphics/Battle Mode
        self.assertNotIn("entering battle mode", log()[mark:])
        with self.arena.connect() as me:
            mark = self.arena.mark()
            self.arena.connect().close()
            self.assertTrue(wait_for(lambda: "closing connection" in log()[mark:]))
            self.assertEqual(me.n_turtles(), 2)
            w.choose(1, lambda: me.n_turtles() == 1)  # Erase Zombie
            w.choose(3, lambda: w.title() == "Public " + TITLE)  # Toggle Private/Public Mode
            w.choose(4, lambda: any(f.startswith("qmere-capture-")  # Capture Screen
                                    for f in os.listdir(self.arena.home.name)))
            w.choose(7, lambda: "closing connection from 127.0.0.1 %d\n"  # Kill All Turtles
                     % me.sock.getsockname()[1] in log())
        w.choose(8, lambda: self.arena.proc.poll() == 0)  # Exit

if __name__ == "__main__":
    unittest.main()
