"""The viewer server over real sockets: header bytes, keep-alive and close,
refused requests, private mode against another host, vanishing browsers,
the painted canvas, a viewer port taken at start-up."""

import os
import resource
import select
import socket
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from arena import (HTTP_PORT, TCP_PORT, Arena, ArenaCase, PeerNet, Pixels,  # noqa: E402
                   closed_by_peer, hold_port, http_get, http_socket, read_response, wait_for)

JSON, HTML, JS, PNG = b"application/json", b"text/html", b"application/javascript", b"image/png"
SCRIPTS = b"/mizzen/qmere/script/"


def ok_lines(ctype, length=None):
    return ([b"HTTP/1.1 200 OK", b"Content-Type: " + ctype]
            + ([b"Content-Length: %d" % length] if length is not None else [])
            + [b"Connection: Keep-Alive", b"Server: Quillmere/0.1"])


class Wire(ArenaCase):
    headless = True

    def test_requests_and_what_becomes_of_the_connection(self):
        pad = b"GET /coin HTTP/1.1\r\nX-Pad: "
        # request, the answer's type (None: closed unanswered), whether the connection stays
        cases = [(b"gEt /wall\r\n\r\n", JSON, True), (b"GET /%74urtle\r\n\r\n", HTML, True),
            (b"GET /a/b/TURTLE/\r\n\r\n", JSON, True), (b"GET %squillmere.js\r\n\r\n" % SCRIPTS, JS, True),
            (b"GET  HTTP/1.1\r\n\r\n", HTML, True), (b"head /img/5\r\n\r\n", PNG, True),
            (b"GETTER /turtle\r\n\r\n", JSON, True),  # three letters name the method
            (b"GET /coin HTTP/1.1\r\n\r\nGET /wall HTTP/1.1\r\n\r\n", JSON, True),  # one answer
            (b"GET /coin HTTP/1.1\r\nConnection: close\r\n\r\n", JSON, False),
            (b"GET / HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n", HTML, True),
            (b"GET / HTTP/1.1\r\nconnection: close\r\n\r\n", HTML, True),
            (b"GET /wall HTTP/1.0\r\n\r\n", JSON, True),
            (pad + b"p" * (2048 - len(pad) - 4) + b"\r\n\r\n", JSON, True),  # one whole read
            (pad + b"p" * 5000 + b"\r\n\r\n", JSON, False),  # the rest is a bad request
            (b"OPTIONS * HTTP/1.1\r\n\r\n", None, False), (b"GE\r\n", None, False),
            (b"GET / HTTP/1.1", None, False), (b"GET /" + b"a" * 2048, None, False)]
        for request, ctype, stays in cases:
            with self.subTest(request=request[:60]), http_socket() as s:
                s.sendall(request)
                if ctype is None:
                    self.assertEqual(s.recv(65536), b"")
                    continue
                head = request[:4].upper() == b"HEAD"
                _, lines, body = read_response(s, head)
                self.assertEqual(lines, ok_lines(ctype, None if head else len(body)))
                if not stays:
                    self.assertTrue(closed_by_peer(s))
                    continue
                self.assertFalse(select.select([s], [], [], 0.3)[0],
                                 "more than one answer, or a HEAD's body")
                s.sendall(b"GET /coin HTTP/1.1\r\n\r\n")
                self.assertEqual(read_response(s)[1:], (ok_lines(JSON, 2), b"[]"))

    @unittest.skipUnless(PeerNet.available, "needs root and ip netns")
    def test_private_mode_refuses_another_host_on_both_ports(self):
        key = b"X-Quillmere-Key: %s\r\n" % self.arena.key().encode()
        with PeerNet() as net:
            def ask(port, request):  # (local port, answer)
                with net.socket() as s:
                    s.connect((net.here, port))
                    local = s.getsockname()[1]
                    try:
                        s.sendall(request)
                        return local, s.recv(100)
                    except ConnectionResetError:
                        return local, b""

            for i, private in enumerate((True, False, True)):
                if i:
                    http_get("/control/private", "POST", key)
                for port, request, answer in ((TCP_PORT, b".\n", b"OK @ "),
                                              (HTTP_PORT, b"GET /coin HTTP/1.0\r\n\r\n",
                                               b"HTTP/1.1 200 OK\r\n")):
                    with self.subTest(private=private, port=port):
                        mark = self.arena.mark()
                        local, got = ask(port, request)
                        if private:
                            self.assertEqual(got, b"")
                            self.arena.wait_for_log("accept_connection(): reject connection "
                                                    "from %s %d\n" % (net.peer, local), mark)
                        else:
                            self.assertTrue(got.startswith(answer), got)
        # local clients are served all along
        self.assertEqual(http_get("/coin")[1], b"[]")
        self.assertTrue(self.client().nop().ok)

    def test_a_thousand_idle_connections_do_not_block_a_new_browser(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        mark, idle = self.arena.mark(), []
        self.addCleanup(lambda: [s.close() for s in idle])
        while len(idle) < 1000:  # a few at a time: the listen queue holds ten
            idle += [http_socket() for _ in range(8)]
            self.assertTrue(wait_for(lambda: self.arena.count("http connected from ", mark)
                                     >= len(idle), 30, 0.002))
        idle.append(http_socket())
        for s in (idle[-1], idle[0], idle[-2]):
            s.sendall(b"GET /wall HTTP/1.1\r\n\r\n")
            self.assertEqual(read_response(s)[1][0], b"HTTP/1.1 200 OK")

    def test_browsers_vanishing_mid_response(self):
        # NOTE: the kernel often takes a whole body before the reset comes, so
        # whether a send is cut off is up to it; the arena must serve on either way
        for path, tries in ((SCRIPTS + b"three.min.js", 20), (b"/wall", 5), (b"/img/7", 5)):
            for _ in range(tries):
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.connect(("127.0.0.1", HTTP_PORT))
                s.sendall(b"GET %s HTTP/1.1\r\n\r\n" % path)
                s.recv(100)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()  # with a reset
        self.assertIsNone(self.arena.proc.poll())
        self.assertEqual(http_get("/coin")[1], b"[]")

    def test_a_painted_square_shows_on_the_canvas(self):
        t = self.client()
        for cmd in ("L", "W 3", "K 1 0 0", "J 20 30", "T E", "P D") + ("F 100", "T L 90") * 4:
            self.assertTrue(t.send(cmd), cmd)
        t.pen_up()

        def red(r, g, b): return r > 200 and g < 60 and b < 60

        def canvas():  # the picture once the square shows
            pic = Pixels(subprocess.run(["convert", "png:-", "-depth", "8", "rgb:-"],
                                        input=http_get("/canvas.png")[1], capture_output=True,
                                        check=True).stdout)
            # off the centre, so a picture turned or mirrored does not pass
            return all(pic.near(x, y, red) for x, y in ((70, 30), (120, 80), (70, 130), (20, 80))) \
                and pic
        pic = wait_for(canvas) or self.fail("the square never showed on the canvas")
        for x, y in ((70, 80), (-70, 80), (70, -80)):  # inside, and the mirror images
            self.assertFalse(pic.near(x, y, red), (x, y))


class ViewerPortTaken(unittest.TestCase):
    def test_the_field_runs_on_without_a_viewer_server(self):
        with hold_port(HTTP_PORT), Arena(headless=True) as arena:
            arena.wait_for_log("httpd(): cannot bind to port 2280\n")
            with arena.connect() as t:
                self.assertTrue(t.jump(5, 5))
            self.assertNotIn("httpd: listening", arena.log())


if __name__ == "__main__":
    unittest.main()
