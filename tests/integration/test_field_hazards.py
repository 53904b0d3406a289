"""The field in arenas of its own: a client hammering commands while the
maze is switched on and off, captures with a missing, wrong or unwritable
HOME and with an odd USER, and a field whose command port is taken by
another program at start-up.

Run by ctest with QMERE_BIN naming the binary; needs Xvfb, xdotool and
ImageMagick. Uses the fixed ports 2222 and 2280, so it runs alone.
"""

import http.client
import json
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
from fieldkit import (HAVE_X, TCP_PORT, ArenaWithoutCommandPort, EnvArena,  # noqa: E402
                      FieldCase, capture_texts, client_sockets, complete_maze, feed,
                      hold_port, http_get, live_entries, maze_faults, press, wait_for,
                      wait_http)
import quillmere  # noqa: E402  (fieldkit's arena module puts it on the path)
from test_window import png_chunks  # noqa: E402


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
                            with lock:
                                counts["replies"] += 1
                        t.send_many(cmds)  # one write: the replies come in order
                        with lock:
                            counts["replies"] += len(cmds)
                except quillmere.ArenaError as e:
                    if "closed the connection" not in str(e):
                        problems.append(str(e))  # a cut or malformed reply
                        return
                    with lock:
                        counts["closed"] += 1
                    time.sleep(0.02)
                except (ConnectionResetError, BrokenPipeError):
                    with lock:
                        counts["closed"] += 1
                except socket.timeout:
                    problems.append("no reply within the time-out")
                    return
                finally:
                    t.close()

        def watch_walls():
            while not stop.is_set():
                try:
                    walls = feed("wall")
                except (OSError, http.client.HTTPException, ValueError) as e:
                    problems.append("wall feed: %r" % e)
                    return
                faults, _ = maze_faults(walls)
                if len(walls) != 4 and (faults or not complete_maze(walls)):
                    problems.append("half-built maze: %r" % (faults or len(walls)))
                    return
                with lock:
                    counts["walls"] += 1
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


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class Environment(unittest.TestCase):
    """Captures under a changed environment; the program always runs on."""

    def capture_in(self, env, where=None):
        """Starts an arena with `env`, presses p and returns (arena, the
        capture's path in `where`, default the working directory)."""
        arena = EnvArena(env).start()
        self.addCleanup(arena.stop)
        press(arena, "p")
        folder = where or arena.workdir
        names = wait_for(lambda: [f for f in os.listdir(folder)
                                  if f.startswith("qmere-capture-")], 5)
        self.assertEqual(len(names or []), 1, names)
        self.assertRegex(names[0], r"^qmere-capture-\d+\.png$")
        return arena, os.path.join(folder, names[0])

    def texts(self, path):
        chunks = wait_for(lambda: png_chunks(path), 5)
        self.assertIsNotNone(chunks, "the capture was never completed")
        return dict(capture_texts(chunks))

    def test_no_home_and_no_user(self):
        arena, path = self.capture_in({"HOME": None, "USER": None})
        self.assertEqual(self.texts(path)["Author"], "unknown")
        self.assertEqual(os.listdir(arena.home.name), [os.path.basename(arena.workdir)])

    def test_home_pointing_nowhere_and_a_long_user_name(self):
        user = "a-very-long-login-name-for-a-student-0123456789"
        arena, path = self.capture_in({"HOME": "/nonexistent/qmere-home", "USER": user})
        self.assertEqual(self.texts(path)["Author"], user[:31])

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
                arena = EnvArena({"HOME": home}).start()
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


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class CommandPortTaken(unittest.TestCase):
    def test_the_field_runs_on_without_a_command_server(self):
        blocker = hold_port(TCP_PORT)
        try:
            arena = ArenaWithoutCommandPort().start()
            try:
                arena.wait_for_log("init_socket(): cannot bind to port %d\n" % TCP_PORT)
                wait_http(arena)
                status, body = http_get("/turtle")
                self.assertEqual((status, json.loads(body)), (200, []))
                # the window still takes keys: a stone appears in the feed
                press(arena, "O")
                self.assertEqual(len(live_entries(3)), 1)
                self.assertIsNone(arena.proc.poll())
            finally:
                arena.stop()
        finally:
            blocker.close()


if __name__ == "__main__":
    unittest.main()
