"""cases.py -- the shared protocol cases, how a reply and a call's result are
judged, and a fake arena for the libraries' error reports."""

import json
import math
import os
import re
import socket
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
with open(os.path.join(HERE, "protocol_cases.json"), encoding="utf-8") as f:
    CASES = json.load(f)["cases"]


def reply_matches(pattern, line): return re.fullmatch(pattern + r" @ \d+ \d+\n?", line) is not None


def result_matches(want, got):
    """'*' matches anything, numbers within 1e-6, lists element by element."""
    if want == "*":
        return True
    if isinstance(want, list):
        return (isinstance(got, (list, tuple)) and len(want) == len(got)
                and all(map(result_matches, want, got)))
    if isinstance(want, (int, float)) and not isinstance(want, bool):
        return type(got) in (int, float) and math.isclose(want, got, abs_tol=1e-6)
    return want == got and type(want) is type(got)


def fake_arena(answer):  # a port answering every line: None never, b"" closes at once
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        conn = listener.accept()[0]
        listener.close()
        with conn:
            while answer != b"" and conn.recv(512):
                if answer:
                    conn.sendall(answer)
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]
