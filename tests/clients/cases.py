"""cases.py -- the shared protocol cases (protocol_cases.json) for the
Python-driven client tests: loading them and judging replies and results."""

import json
import math
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


def load():
    with open(os.path.join(HERE, "protocol_cases.json"), encoding="utf-8") as f:
        return json.load(f)["cases"]


def reply_matches(pattern, line):
    """The reply line (line feed and all) is the case's pattern plus ' @ t e'."""
    return re.fullmatch(pattern + r" @ \d+ \d+\n?", line) is not None


def result_matches(want, got):
    """'*' matches anything; numbers within 1e-6; lists element by element."""
    if want == "*":
        return True
    if isinstance(want, bool) or want is None or isinstance(got, bool):
        return want is got or want == got and type(want) is type(got)
    if isinstance(want, (int, float)):
        return isinstance(got, (int, float)) and math.isclose(want, got, abs_tol=1e-6)
    if isinstance(want, list):
        return (isinstance(got, (list, tuple)) and len(want) == len(got)
                and all(result_matches(w, g) for w, g in zip(want, got)))
    return want == got
