"""The field in arenas of its own: a client hammering commands while the
maze is switched on and off, and captures with a missing, wrong or
unwritable HOME and with an odd USER. (A command port taken at start-up:
test_scene.)

Run by ctest with QMERE_BIN naming the binary; needs Xvfb, xdotool and
ImageMagick. Uses the fixed ports 2222 and 2280, so it runs alone.
"""

import os
import random
import re
import socket
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import Arena, wait_for  # noqa: E402
from fieldkit import (HAVE_X, FieldCase, capture_texts, client_sockets,  # noqa: E402
                      complete_maze, feed, maze_faults, png_chunks, press)
import quillmere  # noqa: E402  (the arena module puts it on the path)


class MazeUnderLoad(FieldCase):
    # A client refused for want of a free place (the maze's corner cell
    # fills up) gets no log line, so the harness's count of open
    # connections no longer holds afterwards: an arena of its own.
    own_arena = True

    def test_maze_toggled_20_times_under_a_hammering_client(self):
        stop = threading.Event()
        problems = []
        counts = {"replies": 0, "closed": 0, "walls": 0}
        lock = threading.Lock()

        def bump(what, n=1):
            with lock:
                counts[what] += n

        def hammer():
            cmds = ["F 5", "T L 30", "Q P", "Q N", "X", "Q W", "B 3", "Q A", "Q R 1", "."]
            n = 0
            while not stop.is_set():
                try:
                    t = self.arena.connect()
                except OSError as e:
                    problems.append("connect: %r" % e)
                    return
                n += 1
                try:
                    if n % 3 == 1:
                        t.send("R")  # a robot now and then
                    while not stop.is_set():
                        for c in cmds:
                            t.send(c)
                            bump("replies")
                        t.send_many(cmds)  # one write: the replies come in order
                        bump("replies", len(cmds))
                except (quillmere.ArenaError, ConnectionResetError, BrokenPipeError) as e:
                    if "closed the connection" not in str(e) and not isinstance(e, OSError):
                        problems.append(str(e))  # a cut or malformed reply
                        return
                    bump("closed")
                    time.sleep(0.02)
                except socket.timeout:
                    problems.append("no reply within the time-out")
                    return
                finally:
                    t.close()

        def watch_walls():
            while not stop.is_set():
                try:
                    walls = feed("wall")
                except (OSError, ValueError) as e:
                    problems.append("wall feed: %r" % e)
                    return
                faults, _ = maze_faults(walls)
                if len(walls) != 4 and (faults or not complete_maze(walls)):
                    problems.append("half-built maze: %r" % (faults or len(walls)))
                    return
                bump("walls")
                time.sleep(0.01)

        threads = [threading.Thread(target=hammer), threading.Thread(target=hammer),
                   threading.Thread(target=watch_walls)]
        for th in threads:
            th.start()
        try:
            rnd = random.Random(2222)
            for k in range(20):
                # the clients get going between two switches, however slow
                # the machine (a full corner cell may keep them out a while)
                seen = counts["replies"]
                wait_for(lambda: counts["replies"] > seen + 5 or problems, 5)
                self.toggle_maze(k % 2 == 0)
                time.sleep(rnd.uniform(0.05, 0.3))
                self.assertIsNone(self.arena.proc.poll(), "the arena died")
        finally:
            stop.set()
            for th in threads:
                th.join(30)
        self.assertEqual(problems, [])
        self.assertFalse(any(th.is_alive() for th in threads), "a client thread hangs")
        self.assertGreater(counts["replies"], 20)
        self.assertGreater(counts["closed"], 0)
        self.assertGreater(counts["walls"], 10)

        self.assertTrue(wait_for(lambda: client_sockets(self.arena) == 0, 10),
                        "%d connections stay open" % client_sockets(self.arena))
        self.assertEqual(len(feed("wall")), 4)
        self.toggle_maze(True)
        faults, _ = maze_faults(feed("wall"))
        self.assertEqual(faults, [])
        with self.arena.connect() as t:
            self.assertEqual(t.n_turtles(), 5)  # four doughnuts and itself
            x, y = t.position()
            self.assertTrue(x < -224 and y < -224, (x, y))


def sanitized_binary():
    """True for a build with ASan or TSan, whose log goes straight to
    standard error so that a crash report always gets out."""
    path = Arena().binary
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return False
    return b"__asan_init" in data or b"__tsan_init" in data


class UnreadLog(unittest.TestCase):
    @unittest.skipIf(sanitized_binary(), "a sanitized build writes its log without the relay")
    def test_a_log_nobody_reads_never_stops_the_arena(self):
        # Nobody reads the program's standard error (a terminal paused with
        # Ctrl-S, a pager left waiting) while far more is logged than any
        # pipe holds: the arena plays on and drops whole lines, and once the
        # log is read again it carries on with whole lines.
        arena = Arena().start()
        self.addCleanup(arena.stop)
        with arena.connect() as t:
            arena.pause_log()
            # every refused connection (private mode: any address but
            # 127.0.0.1) logs a line; the sources change all the time, so no
            # connection meets the arena's TIME-WAIT entry of an earlier one
            line_bytes = len("accept_connection(): reject connection from 127.1.0.2 65535\n")
            needed = (2 << 20) // line_bytes  # twice the arena's own 1 MiB pipe
            for i in range(needed):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.settimeout(10)
                s.bind(("127.1.%d.%d" % (i // 250 % 250, i % 250 + 2), 0))
                try:
                    s.connect(("127.0.0.1", 2222))
                    s.recv(1)  # the arena's close: one refusal at a time
                except TimeoutError:
                    self.fail("the arena stopped while its log was unread")
                except OSError:
                    pass
                finally:
                    s.close()
                if i % 2000 == 0:
                    self.assertTrue(t.forward(0), "the arena stopped while its log was unread")
            t0 = t.ticks()
            self.assertTrue(t.forward(1))
            self.assertTrue(wait_for(lambda: t.ticks() > t0 + 10, 10), "the frames stopped")
            arena.resume_log()

        def logged_again():
            mark = arena.mark()
            with arena.connect() as late:
                late.nop()
            return wait_for(lambda: "handling client from 127.0.0.1 " in arena.log()[mark:], 2)
        self.assertTrue(wait_for(logged_again, 60, 0.5), "the log never came back")
        log = arena.log()
        rejects = [ln for ln in log.splitlines() if "accept_connection" in ln]
        for line in rejects:
            self.assertRegex(line, r"^accept_connection\(\): reject connection from 127\.1\.\d+\.\d+ \d+$")
        self.assertLess(len(rejects), needed, "the log was never full: nothing tested")


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class Environment(unittest.TestCase):
    """Captures under a changed environment; the program always runs on."""

    def test_captures_without_home_or_user_and_with_a_long_user_name(self):
        user = "a-very-long-login-name-for-a-student-0123456789"
        for env, author in (({"HOME": None, "USER": None}, "unknown"),
                            ({"HOME": "/nonexistent/qmere-home", "USER": user}, user[:31])):
            with self.subTest(env=env):
                arena = Arena(env=env).start()
                self.addCleanup(arena.stop)
                press(arena, "p")  # the capture lands in the working directory
                names = wait_for(lambda: os.listdir(arena.workdir), 5)
                self.assertEqual(len(names or []), 1, names)
                self.assertRegex(names[0], r"^qmere-capture-\d+\.png$")
                chunks = wait_for(lambda: png_chunks(os.path.join(arena.workdir, names[0])), 5)
                self.assertIsNotNone(chunks, "the capture was never completed")
                self.assertEqual(dict(capture_texts(chunks))["Author"], author)
                self.assertEqual(os.listdir(arena.home.name), [os.path.basename(arena.workdir)])
                arena.stop()

    def test_home_that_cannot_be_written(self):
        # /proc exists and takes no new files, even from root; nor does a
        # regular file standing where HOME's directory should be
        scratch = tempfile.TemporaryDirectory(prefix="qmere-test-")
        self.addCleanup(scratch.cleanup)
        plain = os.path.join(scratch.name, "plain-file")
        with open(plain, "w") as f:
            f.write("not a directory\n")
        for home in ("/proc", plain):
            with self.subTest(home=home):
                arena = Arena(env={"HOME": home}).start()
                try:
                    mark = arena.mark()
                    press(arena, "p")
                    m = arena.wait_for_log(re.compile(
                        r"saveImageToPNG: cannot open file:(.*)/qmere-capture-\d+\.png\n"),
                        since=mark)
                    self.assertEqual(m.group(1), home)
                    press(arena, "P")  # again: still running, still reporting
                    self.assertTrue(wait_for(
                        lambda: arena.count("saveImageToPNG: cannot open file:", mark) == 2, 10))
                    with arena.connect() as t:
                        self.assertTrue(t.nop().ok)
                    self.assertIsNone(arena.proc.poll())
                    self.assertEqual(os.listdir(arena.workdir), [])
                finally:
                    arena.stop()


if __name__ == "__main__":
    unittest.main()
