"""Commands that leave lasting entries on the field (robots, doughnuts):
they get an arena of their own, so the other suites find the field empty."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import arena  # noqa: E402

arena.HEADLESS = True  # nothing here looks at the window

from arena import ArenaCase, stop_shared_arena  # noqa: E402

TAIL = r" @ \d+ \d+"
MAX_DOUGHNUT = 10


def tearDownModule():
    stop_shared_arena()


class Spawning(ArenaCase):
    def test_a_robot_and_ten_doughnuts_per_turtle_join_the_field_without_clients(self):
        t = self.client()
        n = t.n_turtles()
        # the reply carries the query payload of the robot's slot number
        # when that number is a query code, so only OK is certain
        self.assertTrue(t.send("R").ok)
        for _ in range(MAX_DOUGHNUT):
            self.assertTrue(t.doughnut())
        self.assertReply(t.send("D"), "ERR" + TAIL)
        self.assertEqual(t.n_turtles(), n + 1 + MAX_DOUGHNUT)
        self.assertEqual(self.arena.count("handling client from "),
                         self.arena.count("closing connection from ") + 1)


if __name__ == "__main__":
    unittest.main()
