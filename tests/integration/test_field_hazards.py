"""Arenas of their own under strain: clients hammering while the maze comes
and goes, a log nobody reads, a missing or unwritable HOME."""

import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import (HAVE_X, TCP_PORT, Arena, FieldCase, complete_maze, feed, png_file,  # noqa: E402
                   press, tcp_sockets, wait_for)
import quillmere  # noqa: E402


class MazeUnderLoad(FieldCase):
    own_arena = True  # a client refused from the maze's full corner cell logs nothing

    def test_maze_toggled_20_times_under_hammering_clients(self):
        stop, problems, counts = threading.Event(), [], {"replies": 0, "closed": 0, "walls": 0}

        def hammer():
            while not stop.is_set():
                try:
                    with self.arena.connect() as t:
                        t.send("R")  # a robot each time
                        while not stop.is_set():  # one write: the replies come in order
                            t.send_many(["F 5", "T L 30", "Q P", "Q N", "X", "Q W", "B 3", "."])
                            counts["replies"] += 8
                except (ConnectionResetError, BrokenPipeError, quillmere.ArenaClosed):
                    counts["closed"] += 1
                    time.sleep(0.02)
                except Exception as e:  # a cut or malformed reply, or none at all
                    problems.append(repr(e))
                    return

        def watch_walls():
            while not stop.is_set():
                try:
                    if not complete_maze(feed("wall")):
                        problems.append("a half-built maze in the wall feed")
                except Exception as e:
                    problems.append("wall feed: %r" % e)
                counts["walls"] += 1

        threads = [threading.Thread(target=f) for f in (hammer, hammer, watch_walls)]
        any(th.start() for th in threads)
        try:
            for k in range(20):
                seen = counts["replies"]  # the clients get going between two switches
                wait_for(lambda: counts["replies"] > seen + 5 or problems, 5)
                self.toggle_maze(k % 2 == 0)
        finally:
            stop.set()
            for th in threads:
                th.join(30)
        self.assertEqual(problems, [])
        self.assertFalse(any(th.is_alive() for th in threads), "a client thread hangs")
        self.assertTrue(counts["replies"] > 20 and counts["closed"] and counts["walls"] > 10)

        def open_connections():  # the program's, to the command port
            return [s for s in tcp_sockets() if s[0] == TCP_PORT and s[1] != "0A" and s[2] != "0"]
        self.assertEqual(wait_for(lambda: not open_connections()) or open_connections(), True)
        self.assertEqual(len(feed("wall")), 4)
        self.assertTrue(self.arena.connect().nop().ok)


def sanitized_binary():
    """A build with ASan or TSan writes its log straight to standard error, so
    that a crash report always gets out."""
    with open(Arena().binary, "rb") as f:
        data = f.read()
    return b"__asan_init" in data or b"__tsan_init" in data


class UnreadLog(unittest.TestCase):
    @unittest.skipIf(sanitized_binary(), "a sanitized build writes its log without the relay")
    def test_a_log_nobody_reads_never_stops_the_arena(self):
        # far more is logged than a pipe holds while nobody reads: the arena plays
        # on, dropping whole lines, and logs whole lines once read again
        arena = Arena(headless=True).start()
        self.addCleanup(arena.stop)
        with arena.connect() as t:
            arena.pause_log()
            # a refusal (private mode: any address but 127.0.0.1) logs a line; new
            # sources each time, so no connection meets an earlier one's TIME-WAIT
            needed = (2 << 20) // len("accept_connection(): reject connection from 127.1.0.2 "
                                      "65535\n")  # twice the arena's own 1 MiB pipe
            for i in range(needed):
                with socket.socket() as s:
                    s.settimeout(10)
                    s.bind(("127.1.%d.%d" % (i // 250 % 250, i % 250 + 2), 0))
                    try:
                        s.connect(("127.0.0.1", TCP_PORT))
                        s.recv(1)  # the arena's close: one refusal at a time
                    except TimeoutError:
                        self.fail("the arena stopped while its log was unread")
                    except OSError:
                        pass
            t0 = t.ticks()
            self.assertTrue(t.forward(1))
            self.assertTrue(wait_for(lambda: t.ticks() > t0 + 10), "the frames stopped")
            arena.resume_log()

        def logged_again():
            mark = arena.mark()
            with arena.connect() as late:
                late.nop()
            return wait_for(lambda: "handling client from 127.0.0.1 " in arena.log()[mark:], 2)
        self.assertTrue(wait_for(logged_again, 60, 0.5), "the log never came back")
        rejects = [ln for ln in arena.log().splitlines() if "accept_connection" in ln]
        for line in rejects:
            self.assertRegex(line, r"^accept_connection\(\): reject connection from 127\.1\.\d+\.\d+ \d+$")
        self.assertLess(len(rejects), needed, "the log was never full: nothing tested")


@unittest.skipUnless(HAVE_X, "Xvfb, xdotool and ImageMagick needed")
class Environment(unittest.TestCase):
    def test_a_capture_without_home_lands_here_and_an_unwritable_home_is_reported(self):
        for home in (None, "/proc"):  # /proc takes no new files, even from root
            with self.subTest(home=home), Arena(env={"HOME": home}) as arena:
                mark = arena.mark()
                press(arena, "p")
                if home:
                    arena.wait_for_log("saveImageToPNG: cannot open file:/proc/qmere-capture-",
                                       since=mark)
                    self.assertEqual(os.listdir(arena.workdir), [])
                else:
                    names = wait_for(lambda: os.listdir(arena.workdir))
                    self.assertRegex(" ".join(names), r"^qmere-capture-\d+\.png$")
                    self.assertTrue(wait_for(lambda: png_file(
                        os.path.join(arena.workdir, names[0]))), "never completed")

if __name__ == "__main__":
    unittest.main()
