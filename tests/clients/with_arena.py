#!/usr/bin/env python3
"""with_arena.py -- runs one command against a fresh arena.

    python3 tests/clients/with_arena.py -- CMD [ARGS...]

Starts the real program headless (tests/integration/arena.Arena:
QMERE_BIN), sets QMERE_HOST and QMERE_PORT for CMD, runs it from the
repository root and exits with its status. Every client and example test
starts its arena here, so they can move to another kind of arena in one
place.
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from arena import TCP_PORT, Arena  # noqa: E402


def main(argv):
    if "--" in argv:
        argv = argv[argv.index("--") + 1:]
    if not argv:
        sys.stderr.write("usage: with_arena.py -- CMD [ARGS...]\n")
        return 2
    env = dict(os.environ, QMERE_HOST="127.0.0.1", QMERE_PORT=str(TCP_PORT))
    with Arena(headless=True):
        return subprocess.call(argv, cwd=REPO, env=env)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
