"""The command server as a whole: admission (private mode on both ports,
the client limit), a dead turtle's client sent away, the per-frame budget,
and hostile input (overlong text, binary garbage, absurd numbers, a client
that leaves early)."""

import math
import os
import random
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import arena  # noqa: E402

arena.HEADLESS = True  # nothing here looks at the window

from arena import (TCP_PORT, ArenaCase, closed_by_peer, http_get, http_socket, recv_line,  # noqa: E402
                   stop_shared_arena, wait_http)
import quillmere  # noqa: E402
from quillmere import ArenaError, Reply  # noqa: E402

MAX_CLIENT = 10


def tearDownModule():
    stop_shared_arena()


def port_of(sock):
    return sock.getsockname()[1]


class Admission(ArenaCase):
    def test_private_mode_rejects_other_local_addresses_on_both_ports(self):
        # (served once public, and a peer from another network namespace:
        # test_field_control Privacy)
        wait_http(self.arena)
        for connect, request in ((self.arena.raw, b".\n"),
                                 (http_socket, b"GET / HTTP/1.1\r\n\r\n")):
            with self.subTest(request=request):
                mark = self.arena.mark()
                with connect(source="127.0.0.2") as s:
                    self.arena.wait_for_log("accept_connection(): reject connection from "
                                            "127.0.0.2 %d\n" % port_of(s), since=mark)
                    try:
                        s.sendall(request)
                    except OSError:
                        pass
                    self.assertTrue(closed_by_peer(s))
        t = self.client()
        self.assertTrue(t.send(".").ok, "local clients are still served")
        self.assertEqual(http_get("/coin")[0][0], b"HTTP/1.1 200 OK", "and local browsers")

    def test_eleventh_client_is_closed(self):
        clients = [self.client(park=False) for _ in range(MAX_CLIENT)]
        for t in clients:
            self.assertTrue(t.send(".").ok)
        m = self.arena.mark()
        with self.arena.raw() as extra:
            self.assertTrue(closed_by_peer(extra))
            self.arena.wait_for_log("accept_connection(): reaches MAX_CLIENT\n", since=m)
        port = port_of(clients[0].sock)
        clients[0].close()
        self.arena.wait_for_log("closing connection from 127.0.0.1 %d\n" % port, since=m)
        late = self.client(park=False)
        self.assertTrue(late.send(".").ok, "a freed slot takes a new client")


class Departures(ArenaCase):
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
    def test_a_move_waits_for_the_next_frame_unless_it_came_in_the_same_write(self):
        t = self.client()
        t.jump(-100, -50)
        t.head("north")
        ticks = [t.send("F 0.5").ticks for _ in range(8)]
        self.assertEqual(ticks, sorted(ticks))
        # a frame may still be due on the tick of a move, but never two
        for i in range(len(ticks) - 2):
            self.assertGreater(ticks[i + 2], ticks[i], ticks)
        # moves, or a move and queries, in one write run in one pass
        for cmds in (["F 0.5"] * 8, ["F 0"] + ["Q P"] * 40):
            replies = t.send_many(cmds)
            self.assertEqual(len(replies), len(cmds))
            self.assertTrue(all(r.ok for r in replies))
            self.assertLessEqual(max(r.ticks for r in replies) - min(r.ticks for r in replies), 1)
        self.assertEqual(t.position(), (-100.0, -42.0))


class HostileInput(ArenaCase):
    def test_unterminated_text_filling_the_buffer_closes_the_client(self):
        observer = self.client()
        with self.arena.raw() as s:
            s.sendall(b".\n")
            self.assertTrue(Reply(recv_line(s).decode() + "\n").ok)
            n = observer.n_turtles()
            s.sendall(b"A" * 600)
            self.assertTrue(closed_by_peer(s))
            self.arena.wait_for_log("closing connection from 127.0.0.1 %d: command too long\n"
                                    % port_of(s))
        self.assertEqual(observer.n_turtles(), n, "the turtle stays as a zombie")
        self.assertTrue(observer.send(".").ok)

    def test_every_byte_value(self):
        observer = self.client()
        with self.arena.raw() as s:
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
        self.assertTrue(observer.send("Q P").ok)

    def test_random_garbage_gets_replies_or_a_close(self):
        observer = self.client()
        rng = random.Random(20240)
        # letters that would leave robots or doughnuts behind are left out,
        # so later tests find the field as they expect
        alphabet = [b for b in range(256) if b not in b"RrDd"]
        for _ in range(6):
            with self.arena.raw() as s:
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

    def test_client_that_never_reads_its_replies_is_closed(self):
        # A prankster floods queries and reads nothing: once its replies no
        # longer fit, it is closed; the others keep moving meanwhile.
        mover = self.client()
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.settimeout(10)
        s.connect(("127.0.0.1", TCP_PORT))
        port = port_of(s)
        line = b"Q T;" * 124 + b"\n"
        mark = self.arena.mark()
        try:
            end = time.monotonic() + 60
            while "replies not read" not in self.arena.log()[mark:]:
                self.assertLess(time.monotonic(), end, "the flooder was never closed")
                try:
                    s.sendall(line * 16)
                except OSError:  # closed (reset) by the arena
                    break
                self.assertTrue(mover.forward(0.5), "a flooder stopped the field")
        finally:
            s.close()
        self.arena.wait_for_log("closing connection from 127.0.0.1 %d: replies not read\n" % port,
                                since=mark)
        t0 = mover.ticks()
        self.assertTrue(mover.forward(0.5))
        self.assertGreater(mover.ticks(), t0)

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
