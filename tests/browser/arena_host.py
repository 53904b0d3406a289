"""arena_host.py -- keeps a real arena running for the browser test.

Starts the program headless through the integration harness (QMERE_BIN)
and prints "READY KEY" once both servers listen, KEY being the teacher's
key from the arena's control line. It then reads commands from standard
input, one a line:
    restart   stop the arena and start it again (prints READY KEY again)
    quit      stop the arena and end (so does the end of input)
"""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))

from arena import HTTP_PORT, Arena  # noqa: E402


def start():
    arena = Arena(headless=True).start()
    arena.wait_for_log("httpd: listening for connections on port %d...\n" % HTTP_PORT)
    key = arena.wait_for_log(re.compile(r"control: http://localhost:%d/\?key=(\S+)\n"
                                        % HTTP_PORT)).group(1)
    print("READY " + key, flush=True)
    return arena


def main():
    arena = start()
    try:
        for line in sys.stdin:
            cmd = line.strip()
            if cmd == "restart":
                arena.stop()
                arena = start()
            elif cmd == "quit":
                break
    finally:
        arena.stop()


if __name__ == "__main__":
    main()
