"""An arena of its own under strain: a log nobody reads."""

import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import TCP_PORT, Arena, wait_for  # noqa: E402


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


if __name__ == "__main__":
    unittest.main()
