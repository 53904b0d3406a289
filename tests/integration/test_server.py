"""The command server as a whole: admission (private mode, the client
limit), zombies, a dead turtle's client sent away, the per-frame budget,
and hostile input (overlong text, binary garbage, absurd numbers)."""

import math
import os
import random
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from arena import ArenaCase, closed_by_peer, recv_line, stop_shared_arena  # noqa: E402
import quillmere  # noqa: E402
from quillmere import ArenaError, Reply  # noqa: E402

MAX_CLIENT = 10


def tearDownModule():
    stop_shared_arena()


def port_of(sock):
    return sock.getsockname()[1]


class Admission(ArenaCase):
    def test_private_mode_rejects_other_local_addresses(self):
        s = self.arena.raw(source="127.0.0.2")
        try:
            self.arena.wait_for_log("accept_connection(): reject connection from 127.0.0.2 %d\n"
                                    % port_of(s))
            self.assertTrue(closed_by_peer(s))
        finally:
            s.close()
        t = self.client()
        self.assertTrue(t.send(".").ok, "local clients are still served")

    def test_eleventh_client_is_closed(self):
        clients = [self.client(park=False) for _ in range(MAX_CLIENT)]
        for t in clients:
            self.assertTrue(t.send(".").ok)
        m = self.arena.mark()
        extra = self.arena.raw()
        try:
            self.assertTrue(closed_by_peer(extra))
            self.arena.wait_for_log("accept_connection(): reaches MAX_CLIENT\n", since=m)
        finally:
            extra.close()
        port = port_of(clients[0].sock)
        clients[0].close()
        self.arena.wait_for_log("closing connection from 127.0.0.1 %d\n" % port, since=m)
        late = self.client(park=False)
        self.assertTrue(late.send(".").ok, "a freed slot takes a new client")


class Departures(ArenaCase):
    def test_departed_client_leaves_a_zombie(self):
        a, b = self.client(), self.client()
        n = a.n_turtles()
        port = port_of(b.sock)
        b.close()
        self.arena.wait_for_log("closing connection from 127.0.0.1 %d\n" % port)
        self.assertEqual(a.n_turtles(), n, "the zombie still counts")
        c = self.client()
        self.assertEqual(c.n_turtles(), n + 1, "the newcomer gets a turtle of its own")

    def test_client_of_a_dead_turtle_is_sent_away(self):
        shooter, victim = self.client(), self.client()
        n = shooter.n_turtles()
        self.assertTrue(shooter.jump(-60, 150))
        self.assertTrue(victim.jump(-30, 150))
        self.assertTrue(shooter.head("east"))
        port = port_of(victim.sock)
        victim.take_events()
        deadline = time.monotonic() + 60
        gone = False
        while time.monotonic() < deadline and not gone:
            shooter.fire()
            try:
                victim.score()
            except (ArenaError, OSError):
                gone = True
            time.sleep(0.02)
        self.assertTrue(gone, "the victim's connection was never closed")
        self.assertTrue(victim.events & quillmere.EV_HIT)
        self.arena.wait_for_log("closing connection from 127.0.0.1 %d\n" % port)
        self.assertEqual(shooter.n_turtles(), n - 1, "a dead turtle leaves no zombie")
        self.assertGreater(shooter.score(), 100, "hits paid for the shots")


class Budget(ArenaCase):
    def test_sequential_moves_wait_for_the_next_frame(self):
        t = self.client()
        t.jump(-100, -50)
        t.head("north")
        ticks = [t.send("F 0.5").ticks for _ in range(8)]
        self.assertEqual(ticks, sorted(ticks))
        # a frame may still be due on the tick of a move, but never two
        for i in range(len(ticks) - 2):
            self.assertGreater(ticks[i + 2], ticks[i], ticks)

    def test_moves_in_one_write_run_in_one_pass(self):
        t = self.client()
        t.jump(-100, 0)
        t.head("north")
        replies = t.send_many(["F 0.5"] * 8)
        self.assertTrue(all(r.ok for r in replies))
        spread = max(r.ticks for r in replies) - min(r.ticks for r in replies)
        self.assertLessEqual(spread, 1)
        self.assertEqual(t.position(), (-100.0, 4.0))

    def test_queries_after_a_move_are_answered_in_the_same_pass(self):
        t = self.client()
        replies = t.send_many(["F 0"] + ["Q P"] * 40)
        self.assertEqual(len(replies), 41)
        spread = max(r.ticks for r in replies) - min(r.ticks for r in replies)
        self.assertLessEqual(spread, 1)
        self.assertTrue(all(r.ok for r in replies[1:]))


class HostileInput(ArenaCase):
    def test_unterminated_text_filling_the_buffer_closes_the_client(self):
        observer = self.client()
        s = self.arena.raw()
        try:
            s.sendall(b".\n")
            self.assertTrue(Reply(recv_line(s).decode() + "\n").ok)
            n = observer.n_turtles()
            s.sendall(b"A" * 600)
            self.assertTrue(closed_by_peer(s))
            self.arena.wait_for_log("closing connection from 127.0.0.1 %d: command too long\n"
                                    % port_of(s))
        finally:
            s.close()
        self.assertEqual(observer.n_turtles(), n, "the turtle stays as a zombie")
        self.assertTrue(observer.send(".").ok)

    def test_every_byte_value(self):
        observer = self.client()
        s = self.arena.raw()
        try:
            s.sendall(bytes(range(256)) * 4)
            # '!' ends at ';' in every round, and the run from '<' to DEL
            # ends at the next round's line feed: 7 commands, the last run
            # stays unterminated
            lines = []
            while len(lines) < 8:
                line = recv_line(s, timeout=1.0)
                if not line:
                    break
                lines.append(line)
            self.assertEqual(len(lines), 7)
            for line in lines:
                self.assertIsInstance(Reply(line.decode("latin-1") + "\n"), Reply)
        finally:
            s.close()
        self.assertTrue(observer.send("Q P").ok)

    def test_random_garbage_gets_replies_or_a_close(self):
        observer = self.client()
        rng = random.Random(20240)
        # letters that would leave robots or doughnuts behind are left out,
        # so later tests find the field as they expect
        alphabet = [b for b in range(256) if b not in b"RrDd"]
        for _ in range(6):
            s = self.arena.raw()
            try:
                for _ in range(20):
                    chunk = bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 120)))
                    s.sendall(chunk + (b"\n" if rng.random() < 0.5 else b""))
                s.sendall(b"\n.\n")
                s.settimeout(0.5)
                got = b""
                try:
                    while True:
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        got += chunk
                except OSError:  # a time-out once the replies stop, or a reset
                    pass
                for line in got.split(b"\n")[:-1]:
                    Reply(line.decode("latin-1") + "\n")
            finally:
                s.close()
        self.assertTrue(observer.battle(False))
        self.assertTrue(observer.send("Q P").ok, "the server still answers others")

    def test_absurd_numbers_never_unsettle_the_turtle(self):
        t = self.client()
        commands = [
            "F nan", "B inf", "F -inf", "F 1e999", "T L nan", "T R -inf", "J nan 0", "J 0 inf",
            "G -inf 0", "K nan 0 0", "K 0 inf 0", "W inf", "W nan", "E -inf", "E nan",
            "I 99999999999999999999", "Y + 1e999", "Y - -99999999999999999999",
            "Q R 99999999999999999999", "C nan", "J 1e308 -1e308", "G 1e308 0", "Q P",
            "T L 1e308", "T L 1e308", "Q D", "F 1e308", "B 1e308", "H nan inf -inf", "O nan",
            "P nan", "L inf", "T nan nan", "S nan", "N inf", "C 1e308",
        ]
        for cmd in commands:
            r = t.send(cmd)
            self.assertIsInstance(r, Reply, cmd)
            x, y = t.position()
            self.assertTrue(math.isfinite(x) and math.isfinite(y), cmd)
            self.assertTrue(math.isfinite(t.heading()), cmd)
        self.assertTrue(t.field_color(0, 0, 0))
        self.assertTrue(t.reset())
        self.assertEqual(t.position(), (0.0, 0.0))

    def test_client_that_leaves_before_its_replies(self):
        observer = self.client()
        s = self.arena.raw()
        port = port_of(s)
        s.sendall(b"Q P;" * 100)
        s.close()
        self.arena.wait_for_log("closing connection from 127.0.0.1 %d\n" % port)
        self.assertTrue(observer.send("Q P").ok)


if __name__ == "__main__":
    unittest.main()
