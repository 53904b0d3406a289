"""The viewer server over real sockets: status lines and header order byte
for byte, keep-alive and close, HEAD, refused methods and malformed
requests, every kind of body over the wire (each route's rules in detail:
the unit tests), the -js list, oversized and hostile requests, a thousand
idle connections and browsers that vanish in the middle of a response; the
painted canvas as a PNG with its ETag, and the teacher's console behind its
key. (Private mode: test_server and test_field_control.)"""

import json
import os
import random
import re
import resource
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import arena  # noqa: E402

arena.HEADLESS = True  # nothing here looks at the window

from arena import (HTTP_PORT, REPO, Arena, ArenaCase, closed_by_peer, hold_port,  # noqa: E402
                   http_get, http_socket, nothing_arrives, read_response, tcp_sockets,
                   wait_for, wait_http, wait_ticks)
from fieldkit import Pixels, near  # noqa: E402

SERVER = b"Server: Quillmere/0.1\r\n"
CONTROL_LINE = re.compile(r"control: http://localhost:2280/\?key=(\S+)\n")
OVERVIEW = {"x0": 0.0, "y0": 0.0, "z0": 450.0, "x1": 0.0, "y1": 0.0, "z1": 0.0}
VIEWER_JS = os.path.join(REPO, "web", "quillmere.js")
THREE_JS = os.path.join(REPO, "web", "node_modules", "three", "build", "three.min.js")


def ok_lines(ctype, length=None):
    lines = [b"HTTP/1.1 200 OK", b"Content-Type: " + ctype]
    if length is not None:
        lines.append(b"Content-Length: %d" % length)
    return lines + [b"Connection: Keep-Alive", SERVER[:-2]]


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
    own_arena = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        wait_http(cls.arena)

    def assertServing(self):
        """The server still answers a plain request on a new connection."""
        lines, body = http_get("/")
        self.assertEqual(lines[0], b"HTTP/1.1 200 OK")
        self.assertTrue(body.startswith(b"<html>"))


class Responses(Http):
    def test_page_then_keep_alive(self):
        with http_socket() as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: t\r\n\r\n")
            raw, lines, body = read_response(s)
            self.assertEqual(lines, ok_lines(b"text/html", len(body)))
            self.assertEqual(raw, b"\r\n".join(lines) + b"\r\n\r\n")
            self.assertTrue(body.startswith(b"<html><head><title>Quill Mere</title>"))
            self.assertTrue(body.endswith(b"</body></html>\n"))
            # the same connection serves the next request
            s.sendall(b"GET /wall HTTP/1.1\r\n\r\n")
            _, lines, body = read_response(s)
            self.assertEqual(lines, ok_lines(b"application/json", len(body)))
            self.assertIsInstance(json.loads(body), list)

    def test_only_a_last_connection_close_line_closes(self):
        # the response says Keep-Alive all the same
        for request, closes in (
                (b"GET /coin HTTP/1.1\r\nConnection: close\r\n\r\n", True),
                (b"GET / HTTP/1.1\r\nConnection: keep-alive\r\nConnection: close\r\n\r\n", True),
                (b"GET / HTTP/1.1\r\nconnection: close\r\n\r\n", False),
                (b"GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", False),
                (b"GET / HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n",
                 False),
                (b"GET /wall HTTP/1.0\r\n\r\n", False)):
            with self.subTest(request=request), http_socket() as s:
                s.sendall(request)
                self.assertEqual(read_response(s)[1][-2:], ok_lines(b"")[-2:])
                if closes:
                    self.assertTrue(closed_by_peer(s))
                else:
                    self.assertIs(nothing_arrives(s), True)
                    s.sendall(b"GET /coin HTTP/1.1\r\n\r\n")
                    self.assertEqual(read_response(s)[1][0], b"HTTP/1.1 200 OK")

    def test_head_has_no_length_and_no_body(self):
        with http_socket() as s:
            s.sendall(b"HEAD / HTTP/1.1\r\n\r\n")
            raw, lines, _ = read_response(s, head=True)
            self.assertEqual(lines, ok_lines(b"text/html"))
            # the next bytes on the wire are the next response, not a body
            s.sendall(b"head /img/5 HTTP/1.1\r\n\r\n")
            _, lines, _ = read_response(s, head=True)
            self.assertEqual(lines, ok_lines(b"image/png"))
            self.assertIs(nothing_arrives(s), True)

    def test_method_letters_in_any_case_and_requests_without_a_path(self):
        for request, ctype in ((b"get /wall HTTP/1.1", b"application/json"),
                               (b"Get /wall", b"application/json"),
                               (b"gEt /wall", b"application/json"), (b"GET", b"text/html"),
                               (b"GET ", b"text/html"), (b"GET  HTTP/1.1", b"text/html"),
                               # only the first three letters name the method
                               (b"GETTER /turtle", b"application/json")):
            with self.subTest(request=request), http_socket() as s:
                s.sendall(request + b"\r\n\r\n")
                _, lines, body = read_response(s)
                self.assertEqual(lines, ok_lines(ctype, len(body)))

    def test_refused_requests_close_without_a_response(self):
        for req in (b"POST / HTTP/1.1\r\n\r\n", b"PUT /turtle HTTP/1.1\r\n\r\n",
                    b"OPTIONS * HTTP/1.1\r\n\r\n", b"GE\r\n", b"\r\n", b"\n",
                    b"GET / HTTP/1.1", b"HEAD /wall HTTP/1.1\r"):
            with http_socket() as s:
                s.sendall(req)
                s.settimeout(10)
                self.assertEqual(s.recv(65536), b"", req)
        self.assertServing()

    def test_two_requests_in_one_read_are_answered_once(self):
        with http_socket() as s:
            s.sendall(b"GET /coin HTTP/1.1\r\n\r\nGET /wall HTTP/1.1\r\n\r\n")
            _, lines, body = read_response(s)
            self.assertEqual(body, b"[]")
            self.assertIs(nothing_arrives(s, 0.5), True)


class Routing(Http):
    def test_every_kind_of_body_over_the_wire(self):
        t = self.client()
        self.assertTrue(t.name("bob") and t.jump(12.5, -30) and t.head("north"))
        wait_ticks(t, 2)  # the feeds show the world as the last frame left it
        bodies = {}
        for path, ctype in (("/a/b/TURTLE/", b"application/json"),
                            ("/wall", b"application/json"), ("/coin", b"application/json"),
                            ("/BOB/camera", b"application/json"),
                            ("/camera", b"application/json"), ("/img/5", b"image/png"),
                            ("/img/9", b"image/png"), ("/index.html", b"text/html"),
                            ("/%74urtle", b"text/html"),  # no percent decoding
                            ("/mizzen/qmere/script/quillmere.js", b"application/javascript"),
                            ("/mizzen/qmere/script/three.min.js", b"application/javascript")):
            with self.subTest(path=path):
                lines, body = http_get(path)
                self.assertEqual(lines, ok_lines(ctype, len(body)))
                bodies[path] = body
        bob = [e for e in json.loads(bodies["/a/b/TURTLE/"]) if e["name"] == "bob"]
        self.assertEqual([(e["x"], e["y"], e["type"], e["alive"], e["score"]) for e in bob],
                         [(12.5, -30.0, 1, True, t.score())])
        self.assertIn(b'"x":12.500000,"y":-30.000000,', bodies["/a/b/TURTLE/"])
        self.assertEqual(len(json.loads(bodies["/wall"])), 4)  # the boundary's front faces
        self.assertEqual(bodies["/coin"], b"[]")
        cam = json.loads(bodies["/BOB/camera"])
        want = {"x0": 12.5, "y0": -30.0, "z0": 10.0, "x1": 12.5, "y1": 70.0, "z1": 10.0}
        for k, v in want.items():
            self.assertAlmostEqual(cam[k], v, places=5, msg=k)
        self.assertEqual(json.loads(bodies["/camera"]), OVERVIEW)
        self.assertEqual((png_size(bodies["/img/5"]), png_size(bodies["/img/9"])),
                         ((32, 32), (64, 64)))
        self.assertTrue(bodies["/index.html"].startswith(b"<html>"))
        with open(VIEWER_JS, "rb") as f:
            self.assertEqual(bodies["/mizzen/qmere/script/quillmere.js"], f.read())
        if os.path.exists(THREE_JS):
            with open(THREE_JS, "rb") as f:
                self.assertEqual(bodies["/mizzen/qmere/script/three.min.js"], f.read())

    def test_long_and_many_segment_paths(self):
        self.assertEqual(http_get("/" * 2000)[0][1], b"Content-Type: text/html")
        self.assertEqual(http_get("/a" * 39 + "/turtle")[0][1], b"Content-Type: text/html")
        self.assertEqual(http_get("/a" * 31 + "/turtle")[0][1], b"Content-Type: application/json")
        self.assertEqual(http_get("/" + "x" * 1500 + "/turtle")[0][1], b"Content-Type: text/html")


class Hostile(Http):
    def test_requests_of_2048_bytes_and_more(self):
        # exactly one read's worth: served, and the connection stays
        head = b"GET /coin HTTP/1.1\r\nX-Pad: "
        pad = 2048 - len(head) - 4
        with http_socket() as s:
            s.sendall(head + b"p" * pad + b"\r\n\r\n")
            self.assertEqual(read_response(s)[2], b"[]")
            self.assertIs(nothing_arrives(s), True)
        # longer: the first read is served, the rest is a bad request
        with http_socket() as s:
            s.sendall(head + b"p" * 5000 + b"\r\n\r\n")
            self.assertEqual(read_response(s)[2], b"[]")
            self.assertTrue(closed_by_peer(s))
        # no line feed within the read: closed without a response
        for n in (2048, 2049, 10000):
            with http_socket() as s:
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
            with http_socket() as s:
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
            with http_socket(timeout=10) as s:
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
        # NOTE: the kernel takes a whole body into its buffers about half the
        # time before the reset arrives, so the large one is tried until a
        # send is cut off
        for path, tries in (("/mizzen/qmere/script/three.min.js", 40), ("/wall", 5),
                            ("/img/7", 5)):
            for _ in range(tries):
                if tries > 5 and "error sending data to client\n" in self.arena.log()[mark:]:
                    break
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
        if os.path.exists(THREE_JS):  # large enough to be cut off
            self.arena.wait_for_log("error sending data to client\n", since=mark)
        self.assertEqual(self.arena.proc.poll(), None)


def header(lines, name):
    """The value of header `name` in a response's lines, or None."""
    for line in lines[1:]:
        if line.lower().startswith(name.lower() + b": "):
            return line[len(name) + 2:]
    return None


def canvas(tag=None):
    """(status line, ETag, picture or None) of GET /canvas.png, sent with
    If-None-Match when `tag` is given."""
    lines, body = http_get("/canvas.png", extra=b"If-None-Match: %s\r\n" % tag if tag else b"")
    picture = None
    if lines[0] == b"HTTP/1.1 200 OK":
        picture = Pixels(subprocess.run(["convert", "png:-", "-depth", "8", "rgb:-"], input=body,
                                        capture_output=True, check=True, timeout=30).stdout)
    return lines[0], header(lines, b"ETag"), picture


class Canvas(Http):
    def test_a_painted_square_shows_and_an_unchanged_canvas_answers_304(self):
        status, tag, before = wait_for(lambda: canvas(), 10)
        self.assertEqual(status, b"HTTP/1.1 200 OK")
        self.assertRegex(tag, rb'^"[^"]+"$')
        field = before.field(0, 0)
        t = self.client()
        # off the centre, so a picture turned or mirrored does not pass
        sides = [(70, 30), (120, 80), (70, 130), (20, 80)]  # the middle of each side
        self.assertTrue(t.line_mode() and t.width(3) and t.color(1, 0, 0))
        self.assertTrue(t.jump(20, 30) and t.head("east") and t.pen_down())
        for _ in range(4):
            self.assertTrue(t.forward(100) and t.left(90))
        t.pen_up()

        def red(r, g, b):
            return r > 200 and g < 60 and b < 60

        def painted():
            status, new_tag, pic = canvas(tag)
            if status == b"HTTP/1.1 200 OK" and all(pic.near(x, y, red) for x, y in sides):
                return new_tag, pic
            return None
        got = wait_for(painted, 10)
        self.assertTrue(got, "the square never showed on /canvas.png")
        new_tag, pic = got
        self.assertNotEqual(new_tag, tag)
        for x, y in ((70, 80), (-70, 80), (70, -80)):  # inside, and its mirror images
            self.assertTrue(near(pic.field(x, y), field), (x, y, pic.field(x, y), field))
        # the same canvas again: 304 with its tag and nothing else
        lines, body = http_get("/canvas.png", extra=b"If-None-Match: %s\r\n" % new_tag)
        self.assertEqual(lines, [b"HTTP/1.1 304 Not Modified", b"ETag: " + new_tag,
                                 b"Connection: Keep-Alive", SERVER[:-2]])
        self.assertEqual(body, b"")
        # and a cleared field is cleared for the browsers too
        self.assertTrue(t.clear())

        def cleared():
            pic = canvas(new_tag)[2]
            return pic is not None and not any(pic.near(x, y, red) for x, y in sides)
        self.assertTrue(wait_for(cleared, 10), "the clear never showed on /canvas.png")


class Console(Http):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.key = CONTROL_LINE.search(cls.arena.log()).group(1)

    def ask(self, method, action, key=True):
        """(status line, body) of one console request; key: True for the
        arena's key, None for no key header, or the text to send."""
        key = self.key if key is True else key
        extra = b"X-Quillmere-Key: %s\r\n" % key.encode() if key is not None else b""
        lines, body = http_get("/control/" + action, method, extra)
        return lines[0], body

    def state(self):
        status, body = self.ask("GET", "state")
        self.assertEqual(status, b"HTTP/1.1 200 OK")
        return json.loads(body)

    def test_the_console_switches_battle_mode_and_the_maze(self):
        t = self.client()
        self.assertEqual(self.ask("POST", "battle"), (b"HTTP/1.1 204 No Content", b""))
        self.addCleanup(self.arena.tidy)
        st = self.state()
        self.assertEqual((st["battle"], st["walls"], st["maze"]), (True, True, False))
        self.assertFalse(t.jump(30, 30))  # as a client sees battle mode
        self.ask("POST", "battle")
        self.assertFalse(self.state()["battle"])
        self.assertTrue(t.jump(30, 30))
        # the maze: the feeds show its walls and doughnuts, the state both modes
        self.ask("POST", "maze")
        self.addCleanup(self.ask, "POST", "maze")
        st = self.state()
        self.assertEqual((st["battle"], st["maze"], st["turtles"]), (True, True, 4))
        def doughnuts():  # the feeds show the next frame's world
            return len([e for e in json.loads(http_get("/turtle")[1])
                        if e["alive"] and e["type"] == 2])
        self.assertEqual(wait_for(lambda: doughnuts() == 4 and doughnuts(), 5), 4)
        self.assertGreater(len(json.loads(http_get("/wall")[1])), 4)

    def test_a_thousand_wrong_keys_change_nothing_and_the_key_is_never_logged(self):
        with self.client() as t:
            before = self.state()
            rnd = random.Random(12)
            near_misses = [self.key[:-1], self.key + "0", self.key.upper(), " ", "x" * 1500,
                           self.key[:-1] + chr(ord(self.key[-1]) ^ 1)]
            with http_socket() as s:
                for i in range(1000):
                    key = near_misses[i % len(near_misses)] if i % 2 else \
                        "%032x" % rnd.getrandbits(128)
                    action = ("battle", "maze", "private", "quit", "state")[i % 5]
                    method = "GET" if action == "state" else "POST"
                    s.sendall(b"%s /control/%s HTTP/1.1\r\nX-Quillmere-Key: %s\r\n\r\n"
                              % (method.encode(), action.encode(), key.encode()))
                    self.assertEqual(read_response(s)[1][0], b"HTTP/1.1 403 Forbidden", key)
            self.assertEqual(self.ask("POST", "battle", None)[0], b"HTTP/1.1 403 Forbidden")
            after = self.state()
            for k in ("battle", "maze", "private", "walls", "names", "scores"):
                self.assertEqual(after[k], before[k], k)
            self.assertTrue(t.jump(10, 10))  # still served, still no battle
            self.assertGreater(after["ticks"], before["ticks"])
        # the right key at work, then: it is in no log line but the first
        self.ask("POST", "names")
        self.ask("POST", "names")
        log = self.arena.log()
        self.assertEqual([line for line in log.splitlines() if self.key in line],
                         ["control: http://localhost:2280/?key=" + self.key])
        for path in ("/", "/turtle", "/wall", "/camera"):
            self.assertNotIn(self.key.encode(), http_get(path)[1], path)


class ScriptOption(unittest.TestCase):
    def test_js_replaces_the_default_scripts_with_the_first_ten_urls(self):
        urls = ["http://127.0.0.1/s%d.js" % i for i in range(1, 12)]
        with Arena(args=["-js", " ; ".join(urls)]) as arena:
            wait_http(arena)
            _, body = http_get("/")
            log = arena.log()
        self.assertIn(b"".join(b'<script type="text/javascript" src="%s"></script>\r\n'
                               % u.encode() for u in urls[:10]), body)
        self.assertNotIn(b"s11.js", body)
        self.assertNotIn(b"/mizzen/", body)
        self.assertIn("".join("script: %s\n" % u for u in urls[:10]), log)
        self.assertEqual(log.count("script: "), 10)
        self.assertTrue(body.endswith(b"</body></html>\n"))


class PortTaken(unittest.TestCase):
    def test_the_field_runs_on_without_a_viewer_server(self):
        blocker = hold_port(HTTP_PORT)
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
