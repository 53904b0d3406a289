"""The C header against a real arena (QMERE_HOST/QMERE_PORT, set by
with_arena.py): it compiles without a warning as C99 and as C++17, and both
builds run c_driver.c, one of them through the shared protocol cases; then what is the
library's own: error codes naming what happened, and text cut without
splitting a character."""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cases  # noqa: E402

DRIVER = os.path.join(HERE, "c_driver.c")
BUILDS = [("c99", ["cc", "-std=c99", "-pedantic"]),
          ("c++17", ["c++", "-x", "c++", "-std=c++17", "-pedantic"])]
WARN = ["-Wall", "-Wextra", "-Werror"]


def run_driver(binary, requests, port=None):
    """Answers of the driver to `requests` (lists of fields), one a line."""
    env = dict(os.environ)
    if port is not None:
        env["QMERE_PORT"] = str(port)
    text = "".join("\t".join(map(str, r)) + "\n" for r in requests)
    out = subprocess.run([binary], input=text.encode(), capture_output=True, env=env,
                         timeout=120, check=True).stdout.decode()
    return out.splitlines()


class Header(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="qm-c-")
        cls.binaries = {}
        for name, cmd in BUILDS:
            out = os.path.join(cls.tmp, "driver-" + name)
            subprocess.run(cmd + WARN + [DRIVER, "-o", out], check=True)
            cls.binaries[name] = out

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_1_shared_protocol_cases(self):
        # NOTE: one build runs them: the cases leave a robot on the field
        requests, checks = [], []
        for case in cases.load():
            requests.append(["raw", case["send"]])
            checks.append(("reply", case))
            if "call" in case:
                requests.append(["call"] + case["call"])
                checks.append(("call", case))
        answers = run_driver(self.binaries["c99"], requests)
        self.assertEqual(len(answers), len(requests), answers[-3:])
        for (kind, case), answer in zip(checks, answers):
            with self.subTest(send=case["send"], kind=kind):
                if kind == "reply":
                    self.assertTrue(cases.reply_matches(case["reply"], answer), answer)
                else:
                    self.assertTrue(cases.result_matches(case["result"], json.loads(answer)),
                                    "%r gave %s" % (case["call"], answer))

    def test_errors_name_what_happened(self):
        binary = self.binaries["c99"]
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        held = []  # a peer that takes the command and never answers
        threading.Thread(target=lambda: held.append(listener.accept()[0]), daemon=True).start()
        self.assertRegex(run_driver(binary, [["timeout", 300], ["call", "forward", 1]], port)[1],
                         r"^ERROR -3 the arena did not answer")
        listener.close()
        for s in held:
            s.close()
        self.assertRegex(run_driver(binary, [["call", "forward", 1]], port)[0],
                         r"^ERROR -1 cannot connect to the arena at 127.0.0.1:%d" % port)
        # the eleventh client is let in and closed at once
        holders = []
        try:
            while len(holders) < 10:  # each one served holds a slot
                holders.append(socket.create_connection(("127.0.0.1",
                                                         int(os.environ["QMERE_PORT"]))))
                holders[-1].sendall(b".\n")
                self.assertTrue(holders[-1].recv(64), "a slot was still taken")
            self.assertRegex(run_driver(binary, [["call", "forward", 1]])[0],
                             r"^ERROR -2 the arena closed the connection")
        finally:
            for s in holders:
                s.close()

    def test_text_is_cut_without_splitting_a_character(self):
        table = [("x" * 300, 128, 128), ("é" * 100, 127, 126), ("aé" * 100, 127, 127)]
        answers = run_driver(self.binaries["c++17"], [["hex", limit, text]
                                                      for text, limit, _ in table])
        for (text, _, nbytes), hexed in zip(table, answers):
            self.assertEqual(len(hexed), 2 * nbytes, text[:4])
            bytes.fromhex(hexed).decode("utf-8")


if __name__ == "__main__":
    unittest.main()
