"""The C header against a real arena (see with_arena.py), built without a
warning as C99 (the shared cases) and as C++17 (errors, text cut whole)."""

import json
import os
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cases  # noqa: E402

WARN = ["-Wall", "-Wextra", "-Werror", "-pedantic"]


def run_driver(binary, requests, port=None):  # its answer lines to requests (field lists)
    env = dict(os.environ, **({"QMERE_PORT": str(port)} if port else {}))
    text = "".join("\t".join(map(str, r)) + "\n" for r in requests)
    return subprocess.run([binary], input=text.encode(), capture_output=True, env=env,
                          timeout=120, check=True).stdout.decode().splitlines()


class Header(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="qm-c-")
        cls.c99, cls.cxx = (os.path.join(cls.tmp.name, n) for n in ("c99", "cxx"))
        for out, cmd in ((cls.c99, ["cc", "-std=c99"]),
                         (cls.cxx, ["c++", "-x", "c++", "-std=c++17"])):
            subprocess.run(cmd + WARN + [os.path.join(HERE, "c_driver.c"), "-o", out], check=True)

    @classmethod
    def tearDownClass(cls): cls.tmp.cleanup()

    def test_1_shared_protocol_cases(self):  # first: the turtle is alone on the field
        requests, checks = [], []
        for case in cases.CASES:
            requests.append(["raw", case["send"]])
            checks.append(("reply", case))
            if "call" in case:
                requests.append(["call"] + case["call"])
                checks.append(("call", case))
        answers = run_driver(self.c99, requests)
        self.assertEqual(len(answers), len(requests), answers[-3:])
        for (kind, case), answer in zip(checks, answers):
            with self.subTest(send=case["send"], kind=kind):
                if kind == "reply":
                    self.assertTrue(cases.reply_matches(case["reply"], answer), answer)
                else:
                    self.assertTrue(cases.result_matches(case["result"], json.loads(answer)),
                                    "%r gave %s" % (case["call"], answer))

    def test_errors_name_what_happened(self):
        with socket.socket() as s:  # a port where nobody listens
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        for port, code in ((port, "-1 cannot connect to the arena at 127.0.0.1:%d" % port),
                           (cases.fake_arena(b""), "-2 the arena closed the connection"),
                           (cases.fake_arena(None), "-3 the arena did not answer")):
            answers = run_driver(self.cxx, [["timeout", 300], ["call", "forward", 1]], port)
            self.assertTrue(answers[1].startswith("ERROR " + code), answers)

    def test_text_is_cut_without_splitting_a_character(self):
        table = [("x" * 300, 128, 128), ("é" * 100, 127, 126), ("aé" * 100, 127, 127)]
        answers = run_driver(self.cxx, [["hex", limit, text] for text, limit, _ in table])
        for (text, _, nbytes), hexed in zip(table, answers):
            self.assertEqual(len(hexed), 2 * nbytes, text[:4])
            bytes.fromhex(hexed).decode("utf-8")


if __name__ == "__main__":
    unittest.main()
