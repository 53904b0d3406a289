"""replay_host.py -- a recorded match and an arena replaying it, for the
browser timeline test.

Records a short scripted match with a headless arena (`--record`): "ada"
draws a red line and "bob" a blue brush stroke, both turning as they go.
Stops that arena (which closes the file), starts `--headless --replay` of
the recording and prints "READY <key> <file>", the key being the teacher's
console key from the arena's start-up line. Then it waits for "quit" (or
the end of its input) on standard input and stops the arena.
"""

import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))

from arena import HTTP_PORT, Arena  # noqa: E402

STEPS = 200  # moves of each turtle: about 400 frames, some 3 s of replay


def record(path):
    arena = Arena(args=["--record", path], headless=True).start()
    try:
        with arena.connect() as ada, arena.connect() as bob:
            ada.name("ada")
            bob.name("bob")
            ada.jump(-150, 40)
            bob.jump(60, -90)
            ada.pencolor(1, 0, 0)
            ada.width(4)
            bob.pencolor(0, 0.3, 1)
            bob.width(8)
            bob.brush_mode()
            ada.pendown()
            bob.pendown()
            for _ in range(STEPS):
                ada.forward(2)
                ada.left(1)
                bob.forward(2)
                bob.right(1)
            bob.penup()  # the brush's tail
            ada.forward(1)
    finally:
        arena.stop()


def main():
    work = tempfile.TemporaryDirectory(prefix="qmere-replay-")
    path = os.path.join(work.name, "match.qrec")
    record(path)
    arena = Arena(args=["--replay", path], headless=True).start()
    try:
        arena.wait_for_log("httpd: listening for connections on port %d...\n" % HTTP_PORT)
        key = arena.wait_for_log(re.compile(r"control: \S+\?key=(\S+)\n")).group(1)
        print("READY", key, path, flush=True)
        for line in sys.stdin:
            if line.strip() == "quit":
                break
    finally:
        arena.stop()
        work.cleanup()


if __name__ == "__main__":
    main()
