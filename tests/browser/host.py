"""host.py live|replay -- a headless arena for the browser tests, live or replaying
a recorded match; prints "READY KEY [FILE]" when up, takes "restart" and "quit"."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from arena import Arena  # noqa: E402


def record(path):
    with Arena(args=["--record", path], headless=True) as arena:
        with arena.connect() as ada, arena.connect() as bob:
            for t, name, colour, width in ((ada, "ada", (1, 0, 0), 4), (bob, "bob", (0, 0.3, 1), 8)):
                t.name(name), t.pencolor(*colour), t.width(width)
            ada.jump(-150, 40), bob.jump(60, -90), bob.brush_mode(), ada.pendown(), bob.pendown()
            for _ in range(200):  # about 400 frames, some 3 s of replay
                ada.forward(2), ada.left(1), bob.forward(2), bob.right(1)
            bob.penup()  # the brush's tail
            ada.forward(1)


def main(mode):
    work = tempfile.TemporaryDirectory(prefix="qmere-browser-")
    args, extra = [], ""
    if mode == "replay":
        extra = os.path.join(work.name, "match.qrec")
        record(extra)
        args = ["--replay", extra]
    arena = Arena(args=args, headless=True).start()
    try:
        print("READY", arena.key(), extra, flush=True)
        for line in sys.stdin:
            if line.strip() == "restart":
                arena.stop()
                arena = Arena(args=args, headless=True).start()
                print("READY", arena.key(), flush=True)
            elif line.strip() == "quit":
                break
    finally:
        arena.stop()
        work.cleanup()


if __name__ == "__main__":
    main(sys.argv[1])
