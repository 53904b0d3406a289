"""The viewer server over real sockets: status lines and header order byte
for byte, keep-alive and close, HEAD, refused methods and malformed
requests, routing of feeds, images and the built-in scripts, the -js list,
private mode, oversized and hostile requests, a thousand idle connections
and browsers that vanish in the middle of a response."""

import json
import os
import random
import resource
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from arena import REPO, Arena, ArenaCase, closed_by_peer, tcp_sockets  # noqa: E402

HTTP_PORT = 2280
SERVER = b"Server: Quillmere/0.1\r\n"
OVERVIEW = {"x0": 0.0, "y0": 0.0, "z0": 450.0, "x1": 0.0, "y1": 0.0, "z1": 0.0}
VIEWER_JS = os.path.join(REPO, "web", "quillmere.js")
THREE_JS = os.path.join(REPO, "web", "node_modules", "three", "build", "three.min.js")


def wait_http(arena):
    arena.wait_for_log("httpd: listening for connections on port %d...\n" % HTTP_PORT)


def http(source=None, timeout=10.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    if source:
        s.bind((source, 0))
    s.connect(("127.0.0.1", HTTP_PORT))
    return s


def read_exact(sock, n):
    data = bytearray()
    while len(data) < n:
        chunk = sock.recv(min(65536, n - len(data)))
        if not chunk:
            raise AssertionError("connection closed after %d of %d body bytes" % (len(data), n))
        data += chunk
    return bytes(data)


def read_head(sock):
    """Status line and header lines up to the blank line, as raw bytes."""
    data = bytearray()
    while not data.endswith(b"\r\n\r\n"):
        chunk = sock.recv(1)
        if not chunk:
            raise AssertionError("connection closed inside the header: %r" % bytes(data))
        data += chunk
    return bytes(data)


def read_response(sock, head=False):
    """(raw header bytes, [header lines], body); the body is read by its
    Content-Length (none for HEAD)."""
    raw = read_head(sock)
    lines = raw[:-4].split(b"\r\n")
    body = b""
    if not head:
        for line in lines:
            if line.startswith(b"Content-Length: "):
                body = read_exact(sock, int(line[16:]))
    return raw, lines, body


def get(path, method="GET", extra=b""):
    """One request on a fresh connection; returns (lines, body)."""
    with http() as s:
        s.sendall(b"%s %s HTTP/1.1\r\nHost: t\r\n%s\r\n" % (method.encode(), path.encode(), extra))
        _, lines, body = read_response(s, head=(method == "HEAD"))
        return lines, body


def ok_lines(ctype, length=None):
    lines = [b"HTTP/1.1 200 OK", b"Content-Type: " + ctype]
    if length is not None:
        lines.append(b"Content-Length: %d" % length)
    return lines + [b"Connection: Keep-Alive", SERVER[:-2]]


def nothing_arrives(sock, wait=0.3):
    sock.settimeout(wait)
    try:
        data = sock.recv(1)
    except socket.timeout:
        return True
    return False if data else "closed"


def _ports_to_avoid():
    """Local ports in use here, and the peer ports of connections to the
    viewer port still in TIME_WAIT: a new connection from such a port meets
    the old one's ghost and waits a second for the SYN to be retried."""
    avoid = set()
    for local, remote, _, _ in tcp_sockets():
        avoid.add(local)
        if local == HTTP_PORT:
            avoid.add(remote)
    return avoid


def open_idle(arena, n, batch=8, timeout=30.0):
    """n connections that the server has accepted (its log says so), opened
    a few at a time so that the listen queue of ten never overflows, from
    source ports without a TIME_WAIT ghost."""
    avoid = _ports_to_avoid()
    ports = (p for p in range(20000, 32000) if p not in avoid)
    mark = arena.mark()
    socks = []
    try:
        while len(socks) < n:
            fresh = []
            while len(fresh) < min(batch, n - len(socks)):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                try:
                    s.bind(("127.0.0.1", next(ports)))
                except OSError:
                    s.close()
                    continue
                fresh.append(s)
            for s in fresh:
                s.settimeout(timeout)
                s.connect(("127.0.0.1", HTTP_PORT))
            socks += fresh
            deadline = time.monotonic() + timeout
            while arena.count("http connected from 127.0.0.1 ", since=mark) < len(socks):
                if time.monotonic() > deadline:
                    raise AssertionError("the server accepted fewer than %d" % len(socks))
                time.sleep(0.002)
        return socks
    except BaseException:
        for s in socks:
            s.close()
        raise


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


class Http(ArenaCase):
    @classmethod
    def setUpClass(cls):
        cls.arena = Arena().start()
        wait_http(cls.arena)

    @classmethod
    def tearDownClass(cls):
        cls.arena.stop()

    def assertServing(self):
        """The server still answers a plain request on a new connection."""
        lines, body = get("/")
        self.assertEqual(lines[0], b"HTTP/1.1 200 OK")
        self.assertTrue(body.startswith(b"<html>"))


class Responses(Http):
    def test_page_then_keep_alive(self):
        with http() as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: t\r\n\r\n")
            raw, lines, body = read_response(s)
            self.assertEqual(lines, ok_lines(b"text/html", len(body)))
            self.assertEqual(raw, b"\r\n".join(lines) + b"\r\n\r\n")
            self.assertTrue(body.startswith(b"<html><head><title>Quill Mere</title>"))
            self.assertTrue(body.endswith(b"</body></html>\n"))
            self.assertIn(b'onload="webGLStart();"', body)
            self.assertLess(body.index(b"/mizzen/qmere/script/quillmere.js"),
                            body.index(b"/mizzen/qmere/script/three.min.js"))
            for i in range(30):
                self.assertEqual(body.count(b'id="score%d"' % i), 1)
            # the same connection serves the next request
            s.sendall(b"GET /wall HTTP/1.1\r\n\r\n")
            _, lines, body = read_response(s)
            self.assertEqual(lines, ok_lines(b"application/json", len(body)))
            self.assertIsInstance(json.loads(body), list)

    def test_connection_close_still_says_keep_alive_then_closes(self):
        with http() as s:
            s.sendall(b"GET /coin HTTP/1.1\r\nConnection: close\r\n\r\n")
            _, lines, body = read_response(s)
            self.assertEqual(lines, ok_lines(b"application/json", len(body)))
            self.assertTrue(closed_by_peer(s))

    def test_only_the_last_connection_line_counts_and_case_matters(self):
        for extra in (b"connection: close\r\n", b"Connection: Close\r\n",
                      b"Connection: close\r\nConnection: keep-alive\r\n"):
            with http() as s:
                s.sendall(b"GET / HTTP/1.1\r\n" + extra + b"\r\n")
                read_response(s)
                self.assertIs(nothing_arrives(s), True, extra)
                s.sendall(b"GET /coin HTTP/1.1\r\n\r\n")
                self.assertEqual(read_response(s)[1][0], b"HTTP/1.1 200 OK")
        with http() as s:
            s.sendall(b"GET / HTTP/1.1\r\nConnection: keep-alive\r\nConnection: close\r\n\r\n")
            read_response(s)
            self.assertTrue(closed_by_peer(s))

    def test_http10_without_connection_line_stays_open(self):
        with http() as s:
            s.sendall(b"GET /wall HTTP/1.0\r\n\r\n")
            read_response(s)
            s.sendall(b"GET /wall HTTP/1.0\r\n\r\n")
            self.assertEqual(read_response(s)[1][0], b"HTTP/1.1 200 OK")

    def test_head_has_no_length_and_no_body(self):
        with http() as s:
            s.sendall(b"HEAD / HTTP/1.1\r\n\r\n")
            raw, lines, _ = read_response(s, head=True)
            self.assertEqual(lines, ok_lines(b"text/html"))
            # the next bytes on the wire are the next response, not a body
            s.sendall(b"head /img/5 HTTP/1.1\r\n\r\n")
            _, lines, _ = read_response(s, head=True)
            self.assertEqual(lines, ok_lines(b"image/png"))
            self.assertIs(nothing_arrives(s), True)

    def test_lower_case_and_mixed_case_methods(self):
        for method in ("get", "Get", "gEt"):
            lines, body = get("/wall", method=method)
            self.assertEqual(lines, ok_lines(b"application/json", len(body)))

    def test_refused_requests_close_without_a_response(self):
        for req in (b"POST / HTTP/1.1\r\n\r\n", b"PUT /turtle HTTP/1.1\r\n\r\n",
                    b"OPTIONS * HTTP/1.1\r\n\r\n", b"GE\r\n", b"\r\n", b"\n",
                    b"GET / HTTP/1.1", b"HEAD /wall HTTP/1.1\r"):
            with http() as s:
                s.sendall(req)
                s.settimeout(10)
                self.assertEqual(s.recv(65536), b"", req)
        self.assertServing()

    def test_two_requests_in_one_read_are_answered_once(self):
        with http() as s:
            s.sendall(b"GET /coin HTTP/1.1\r\n\r\nGET /wall HTTP/1.1\r\n\r\n")
            _, lines, body = read_response(s)
            self.assertEqual(body, b"[]")
            self.assertIs(nothing_arrives(s, 0.5), True)

    def test_request_without_path_gives_the_page(self):
        for line in (b"GET", b"GET ", b"GET  HTTP/1.1"):
            with http() as s:
                s.sendall(line + b"\r\n\r\n")
                _, lines, body = read_response(s)
                self.assertEqual(lines[1], b"Content-Type: text/html", line)
        # only the first three letters name the method
        with http() as s:
            s.sendall(b"GETTER /turtle\r\n\r\n")
            self.assertEqual(read_response(s)[1][1], b"Content-Type: application/json")


class Routing(Http):
    def feed(self, path):
        lines, body = get(path)
        self.assertEqual(lines, ok_lines(b"application/json", len(body)), path)
        return json.loads(body)

    def test_feed_paths(self):
        t = self.client()
        t.name("bob")
        for path in ("/turtle", "/TURTLE", "/turtle/", "/a/b/turtle", "/~0/Turtle"):
            turtles = self.feed(path)
            self.assertIsInstance(turtles, list, path)
            self.assertIn("bob", [e["name"] for e in turtles], path)
        walls = self.feed("/wall")
        self.assertEqual(len(walls), 4)  # the boundary, front faces only
        self.assertEqual(self.feed("/coin"), [])

    def test_turtle_feed_entry(self):
        t = self.client()
        t.name("bob")
        t.jump(12.5, -30)
        entry = [e for e in self.feed("/turtle") if e["name"] == "bob"][0]
        self.assertEqual((entry["x"], entry["y"]), (12.5, -30.0))
        self.assertEqual(entry["type"], 1)
        self.assertTrue(entry["alive"])
        self.assertEqual(entry["score"], t.score())
        lines, body = get("/turtle")
        self.assertIn(b'"x":12.500000,"y":-30.000000,', body)
        self.assertNotIn(b"},{", body)

    def test_camera_follows_a_designated_turtle(self):
        t = self.client()
        t.name("Bob")
        t.jump(10, 20)
        t.head("north")
        tid = [e["tid"] for e in self.feed("/turtle") if e["name"] == "Bob"][0]
        want = {"x0": 10.0, "y0": 20.0, "z0": 10.0, "x1": 10.0, "y1": 120.0, "z1": 10.0}
        for path in ("/bob/camera", "/BOB/camera", "/~%d/camera" % tid, "/$%d/x/camera" % tid):
            cam = self.feed(path)
            for k, v in want.items():
                self.assertAlmostEqual(cam[k], v, places=5, msg=path)
        for path in ("/camera", "/nobody/camera", "/~29/camera", "/~x/camera"):
            self.assertEqual(self.feed(path), OVERVIEW, path)

    def test_pages(self):
        for path in ("/", "/index.html", "/favicon.ico", "/turtle?x=1", "/img", "/" * 50,
                     "/%74urtle"):
            lines, body = get(path)
            self.assertEqual(lines, ok_lines(b"text/html", len(body)), path)
            self.assertTrue(body.startswith(b"<html>"), path)

    def test_images(self):
        images = {}
        for i in range(8):
            lines, body = get("/img/%d" % i)
            self.assertEqual(lines, ok_lines(b"image/png", len(body)))
            images[i] = body
        self.assertEqual([png_size(images[i]) for i in range(8)],
                         [(64, 64)] * 5 + [(32, 32)] * 2 + [(64, 64)])
        for path, i in (("/img/x", 0), ("/img/9", 7), ("/img/-1", 7), ("/IMG/6", 6),
                        ("/a/img/3", 3), ("/img/4/", 4)):
            self.assertEqual(get(path)[1], images[i], path)

    def test_viewer_scripts(self):
        lines, body = get("/mizzen/qmere/script/quillmere.js")
        self.assertEqual(lines, ok_lines(b"application/javascript", len(body)))
        with open(VIEWER_JS, "rb") as f:
            self.assertEqual(body, f.read())
        lines, body = get("/mizzen/qmere/script/three.min.js")
        self.assertEqual(lines, ok_lines(b"application/javascript", len(body)))
        if os.path.exists(THREE_JS):
            with open(THREE_JS, "rb") as f:
                self.assertEqual(body, f.read())
        lines, _ = get("/mizzen/qmere/script/three.min.js", method="HEAD")
        self.assertEqual(lines, ok_lines(b"application/javascript"))
        for path in ("/mizzen/qmere/script/three.min.js/", "/mizzen/qmere/script/x.js",
                     "/mizzen/qmere/script/quillmere.js?v=1"):
            self.assertEqual(get(path)[0][1], b"Content-Type: text/html", path)

    def test_long_and_many_segment_paths(self):
        self.assertEqual(get("/" * 2000)[0][1], b"Content-Type: text/html")
        self.assertEqual(get("/a" * 39 + "/turtle")[0][1], b"Content-Type: text/html")
        self.assertEqual(get("/a" * 31 + "/turtle")[0][1], b"Content-Type: application/json")
        self.assertEqual(get("/" + "x" * 1500 + "/turtle")[0][1], b"Content-Type: text/html")


class Hostile(Http):
    def test_private_mode_refuses_other_addresses_at_accept(self):
        mark = self.arena.mark()
        s = http(source="127.0.0.2")
        port = s.getsockname()[1]
        try:
            s.sendall(b"GET / HTTP/1.1\r\n\r\n")
        except OSError:
            pass
        self.assertTrue(closed_by_peer(s))
        s.close()
        self.arena.wait_for_log("accept_connection(): reject connection from 127.0.0.2 %d\n"
                                % port, since=mark)
        self.assertServing()
        with http() as s:
            self.arena.wait_for_log("http connected from 127.0.0.1 ", since=mark)

    def test_requests_of_2048_bytes_and_more(self):
        # exactly one read's worth: served, and the connection stays
        head = b"GET /coin HTTP/1.1\r\nX-Pad: "
        pad = 2048 - len(head) - 4
        with http() as s:
            s.sendall(head + b"p" * pad + b"\r\n\r\n")
            self.assertEqual(read_response(s)[2], b"[]")
            self.assertIs(nothing_arrives(s), True)
        # longer: the first read is served, the rest is a bad request
        with http() as s:
            s.sendall(head + b"p" * 5000 + b"\r\n\r\n")
            self.assertEqual(read_response(s)[2], b"[]")
            self.assertTrue(closed_by_peer(s))
        # no line feed within the read: closed without a response
        for n in (2048, 2049, 10000):
            with http() as s:
                s.sendall(b"GET /" + b"a" * n)
                s.settimeout(10)
                self.assertEqual(s.recv(65536), b"", n)
        self.assertServing()

    def test_binary_garbage(self):
        rnd = random.Random(2280)
        for i in range(40):
            blob = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 3000)))
            if i % 4 == 0:
                # a request line full of bytes: answered with the page, then
                # closed because the last Connection line asks for it
                blob = b"GET /" + blob[:1500] + b"\r\nConnection: close\r\n\r\n"
            with http() as s:
                try:
                    s.sendall(blob)
                    s.settimeout(10)
                    while s.recv(65536):
                        pass
                except ConnectionResetError:
                    pass
        self.assertServing()

    def test_a_thousand_idle_connections_do_not_block_a_new_browser(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < 1100:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        idle = open_idle(self.arena, 1000)
        try:
            # a generous socket time-out; the question is whether it is
            # answered at all while a thousand connections wait
            with http(timeout=10) as s:
                s.sendall(b"GET /turtle HTTP/1.1\r\n\r\n")
                _, lines, body = read_response(s)
                self.assertEqual(lines[0], b"HTTP/1.1 200 OK")
                self.assertIsInstance(json.loads(body), list)
            # and the idle ones can still be served too
            for s in (idle[0], idle[-1]):
                s.settimeout(10)
                s.sendall(b"GET /wall HTTP/1.1\r\n\r\n")
                self.assertEqual(read_response(s)[1][0], b"HTTP/1.1 200 OK")
        finally:
            for s in idle:
                s.close()
        self.assertServing()

    def test_browsers_vanishing_mid_response(self):
        mark = self.arena.mark()
        linger = struct.pack("ii", 1, 0)  # close with a reset
        for path in ("/mizzen/qmere/script/three.min.js", "/wall", "/img/7"):
            for _ in range(5):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.settimeout(10)
                # a small window keeps most of the body on the server's side
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.connect(("127.0.0.1", HTTP_PORT))
                s.sendall(b"GET %s HTTP/1.1\r\n\r\n" % path.encode())
                s.recv(100)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
                s.close()
        self.assertServing()
        if os.path.exists(THREE_JS):  # large enough to be cut off for sure
            self.arena.wait_for_log("error sending data to client\n", since=mark)
        self.assertEqual(self.arena.proc.poll(), None)


class ScriptOption(unittest.TestCase):
    """Arenas started with -js."""

    def page_with(self, option):
        with Arena(args=["-js", option]) as arena:
            wait_http(arena)
            _, body = get("/")
            return arena.log(), body

    def test_two_urls_replace_both_defaults(self):
        log, body = self.page_with("a.js;b.js")
        self.assertIn(b'<script type="text/javascript" src="a.js"></script>\r\n'
                      b'<script type="text/javascript" src="b.js"></script>\r\n', body)
        self.assertNotIn(b"/mizzen/", body)
        self.assertIn("script: a.js\nscript: b.js\n", log)

    def test_eleven_urls_load_the_first_ten(self):
        urls = ["http://127.0.0.1/s%d.js" % i for i in range(1, 12)]
        log, body = self.page_with(" ; ".join(urls))
        for u in urls[:10]:
            self.assertIn(b'src="%s"' % u.encode(), body)
        self.assertNotIn(b"s11.js", body)
        self.assertEqual(log.count("script: "), 10)
        self.assertTrue(body.endswith(b"</body></html>\n"))


class PortTaken(unittest.TestCase):
    def test_the_field_runs_on_without_a_viewer_server(self):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        blocker.bind(("0.0.0.0", HTTP_PORT))
        blocker.listen(1)
        try:
            with Arena() as arena:
                arena.wait_for_log("httpd(): cannot bind to port %d\n" % HTTP_PORT)
                with arena.connect() as t:
                    self.assertTrue(t.jump(5, 5))
                self.assertNotIn("httpd: listening", arena.log())
        finally:
            blocker.close()


if __name__ == "__main__":
    unittest.main()
