#!/usr/bin/env python3
"""with_arena.py -- CMD [ARGS...]: runs CMD from the repository root against a
fresh headless arena named by QMERE_HOST and QMERE_PORT; exits with its status."""

import os
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))
from arena import TCP_PORT, Arena  # noqa: E402

if __name__ == "__main__":
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else sys.argv[1:]
    with Arena(headless=True):
        sys.exit(subprocess.call(argv, cwd=REPO, env=dict(
            os.environ, QMERE_HOST="127.0.0.1", QMERE_PORT=str(TCP_PORT))))
