"""arena.py -- runs the real qmere program for integration tests.

An Arena starts the binary (QMERE_BIN, default <repo>/build/qmere) either
headless (no display at all) or on a private Xvfb of a free display number
(what the window tests need), records its standard error
so tests can search and wait for log lines, waits until port 2222 is
listening in that very process, and stops both again (process groups).

    arena = Arena()
    arena.start()
    with arena.connect() as t:
        t.forward(10)
    arena.wait_for_log("closing connection from 127.0.0.1")
    arena.stop()

It also holds the helpers every suite shares: polling (wait_for,
wait_ticks), raw command lines (command, recv_line, closed_by_peer) and
raw HTTP requests to the viewer server (http_socket, read_response,
http_get).
"""

import atexit
import ctypes
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "clients", "python"))

import quillmere  # noqa: E402

TCP_PORT = 2222
HTTP_PORT = 2280
START_TIMEOUT = 30.0      # seconds for Xvfb or the program to come up
PORT_BUSY_TIMEOUT = 60.0  # seconds to wait for another program to free 2222


class PortTaken(Exception):
    """The program could not bind the command port."""


def tcp_sockets():
    """(local port, remote port, state, inode) of every IPv4/IPv6 TCP socket
    the kernel lists; state is its hex code ("0A" listening)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                rows = [row.split() for row in f]
        except OSError:
            continue
        for cols in rows:
            yield (int(cols[1].rsplit(":", 1)[1], 16), int(cols[2].rsplit(":", 1)[1], 16),
                   cols[3], cols[9])


def _listening_inodes(port):
    """Socket inodes of IPv4/IPv6 TCP listeners on `port`."""
    return {inode for local, _, state, inode in tcp_sockets() if state == "0A" and local == port}


def _socket_inodes_of(pid):
    found = set()
    try:
        names = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return found
    for name in names:
        try:
            m = re.match(r"socket:\[(\d+)\]", os.readlink("/proc/%d/fd/%s" % (pid, name)))
        except OSError:
            continue
        if m:
            found.add(m.group(1))
    return found


def _tcp_connect(port, source=None, timeout=10.0):
    """A plain socket connected to `port` here (bound to `source` first)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    if source:
        s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def _die_with_parent():
    """Run in the child before exec: end it when the test process dies, so
    an interrupted run leaves no arena behind."""
    try:
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _stop_group(proc, grace=5.0):
    """Terminate a process started in its own session, and its group."""
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(grace)


# Suites that never look at the window set this, and their arenas run
# headless.
HEADLESS = False


class Arena:
    """The program under test, headless or on a private X display."""

    def __init__(self, binary=None, args=(), env=None, command_port_taken=False,
                 headless=None):
        self.binary = os.path.abspath(binary or os.environ.get("QMERE_BIN")
                                      or os.path.join(REPO, "build", "qmere"))
        # "fallback": no display and no --headless either
        self.headless = HEADLESS if headless is None else headless
        self.args = (["--headless"] if self.headless is True else []) + list(args)
        self.env_changes = dict(env or {})  # name -> value, or None to remove it
        self.display = None
        self.xvfb = None
        self.proc = None
        self.home = None
        self.workdir = None  # the program's working directory, inside home
        # the port whose listener shows that the program is up: the viewer
        # port when a test holds the command port on purpose
        self.up_port = HTTP_PORT if command_port_taken else TCP_PORT
        self._log = bytearray()
        self._cond = threading.Condition()
        self._reader = None
        self._reading = threading.Event()  # cleared: nobody reads the log
        self._reading.set()

    # ------------------------------------------------------------ start/stop

    def start(self):
        if not os.access(self.binary, os.X_OK):
            raise RuntimeError("no qmere binary at %s (set QMERE_BIN)" % self.binary)
        # Another program may grab the port between our check and our bind;
        # then wait for it to go and try again.
        atexit.register(self.stop)
        for attempt in range(5):
            self._wait_port_free()
            try:
                if not self.headless:
                    self._start_xvfb()
                self._start_program()
                self._wait_listening()
                return self
            except PortTaken:
                self.stop()
                self._log = bytearray()
            except BaseException:
                self.stop()
                raise
        raise RuntimeError("port %d was taken by another program every time" % TCP_PORT)

    def stop(self):
        _stop_group(self.proc)
        if self._reader is not None:
            self._reader.join(5)
            self._reader = None
        self.proc = None
        _stop_group(self.xvfb)
        self.xvfb = None
        if self.home is not None:
            self.home.cleanup()
            self.home = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _wait_port_free(self):
        deadline = time.monotonic() + PORT_BUSY_TIMEOUT
        while _listening_inodes(self.up_port):
            if time.monotonic() > deadline:
                raise RuntimeError("port %d stays busy: another program listens there"
                                   % self.up_port)
            time.sleep(0.2)

    def _start_xvfb(self):
        for n in range(90, 400):
            sock = "/tmp/.X11-unix/X%d" % n
            if os.path.exists(sock) or os.path.exists("/tmp/.X%d-lock" % n):
                continue
            proc = subprocess.Popen(
                ["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, start_new_session=True,
                preexec_fn=_die_with_parent)
            deadline = time.monotonic() + START_TIMEOUT
            while proc.poll() is None and not os.path.exists(sock):
                if time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            if proc.poll() is None and os.path.exists(sock):
                self.xvfb = proc
                self.display = ":%d" % n
                return
            _stop_group(proc)  # lost a race for this number: try the next
        raise RuntimeError("no free X display number for Xvfb")

    def _start_program(self):
        self.home = tempfile.TemporaryDirectory(prefix="qmere-home-")
        self.workdir = tempfile.mkdtemp(prefix="qmere-cwd-", dir=self.home.name)
        env = dict(os.environ, HOME=self.home.name)
        env.pop("DISPLAY", None)
        if self.display:
            env["DISPLAY"] = self.display
        for k, v in self.env_changes.items():
            if v is None:
                env.pop(k, None)
            else:
                env[k] = v
        self.proc = subprocess.Popen(
            [self.binary] + self.args, cwd=self.workdir, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, start_new_session=True, preexec_fn=_die_with_parent)
        self._reader = threading.Thread(target=self._read_stderr, args=(self.proc.stderr,),
                                        daemon=True)
        self._reader.start()

    def pause_log(self):
        """Stop reading the program's standard error, as a paused terminal
        or a pager left waiting would; resume_log() reads on."""
        self._reading.clear()

    def resume_log(self):
        self._reading.set()

    def _read_stderr(self, pipe):
        while True:
            self._reading.wait()
            chunk = pipe.read1(65536)
            if not chunk:
                break
            with self._cond:
                self._log += chunk
                self._cond.notify_all()
        pipe.close()
        with self._cond:
            self._cond.notify_all()

    def _wait_listening(self):
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("qmere ended (%s) at start-up:\n%s"
                                   % (self.proc.returncode, self.log()))
            if self.up_port == TCP_PORT and "init_socket(): cannot bind" in self.log():
                raise PortTaken(self.log())
            if _listening_inodes(self.up_port) & _socket_inodes_of(self.proc.pid):
                return
            if time.monotonic() > deadline:
                raise RuntimeError("qmere never listened on %d:\n%s" % (self.up_port, self.log()))
            time.sleep(0.05)

    # --------------------------------------------------------------- the log

    def log(self):
        """Everything the program wrote to standard error so far."""
        with self._cond:
            return self._log.decode("latin-1")

    def mark(self):
        """A position in the log; pass it to wait_for_log to look only later."""
        with self._cond:
            return len(self._log)

    def wait_for_log(self, pattern, since=0, timeout=10.0):
        """Wait until `pattern` (plain text, or a compiled regular
        expression) shows up in the log after `since`; returns the match
        object, or raises AssertionError."""
        rx = re.compile(pattern if isinstance(pattern, re.Pattern) else re.escape(pattern))
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                m = rx.search(self._log.decode("latin-1"), since)
                if m:
                    return m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("log never showed %r; log since mark:\n%s"
                                         % (rx.pattern, self._log[since:].decode("latin-1")))
                self._cond.wait(left)

    def count(self, text, since=0):
        with self._cond:
            return self._log.decode("latin-1").count(text, since)

    # ---------------------------------------------------------------- clients

    def connect(self, **kw):
        """A quillmere.Turtle connected to the arena."""
        return quillmere.Turtle("127.0.0.1", TCP_PORT, **kw)

    def raw(self, source=None, timeout=10.0):
        """A plain socket connected to the command port (optionally bound to
        `source` first)."""
        return _tcp_connect(TCP_PORT, source, timeout)

    def wait_all_closed(self, timeout=10.0):
        """Wait until every admitted client has been closed again."""
        def still_open():
            return self.count("handling client from ") - self.count("closing connection from ")
        if not wait_for(lambda: still_open() <= 0, timeout, 0.02):
            raise AssertionError("%d clients still connected" % still_open())

    def tidy(self):
        """Battle mode off, zombies removed; only the tidying client's own
        zombie stays, parked in a corner."""
        self.wait_all_closed()
        with self.connect() as t:
            t.battle(False)
            t.clear_zombies()
            t.jump(240, -240)
        self.wait_all_closed()


def wait_for(pred, timeout=10.0, step=0.05):
    """Polls pred until it returns something true or the time is up; returns
    its last value."""
    end = time.monotonic() + timeout
    while True:
        v = pred()
        if v or time.monotonic() > end:
            return v
        time.sleep(step)


def wait_ticks(turtle, n=3, timeout=30.0):
    """Waits until the arena's clock has gone n ticks further, as a client
    sees it (a tick's frame is drawn before the next tick's timer runs)."""
    t0 = turtle.ticks()
    if not wait_for(lambda: turtle.ticks() >= t0 + n, timeout, 0.02):
        raise AssertionError("the arena's clock stands still")


def hold_port(port, timeout=PORT_BUSY_TIMEOUT):
    """A listening socket on `port` (all addresses), once nobody else has it."""
    end = time.monotonic() + timeout
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
            s.listen(1)
            return s
        except OSError:
            s.close()
            if time.monotonic() > end:
                raise
            time.sleep(0.2)


def recv_line(sock, timeout=10.0):
    """One line from a raw socket (bytes, without the line feed); b'' on close."""
    sock.settimeout(timeout)
    data = bytearray()
    while not data.endswith(b"\n"):
        try:
            chunk = sock.recv(1)
        except (ConnectionResetError, socket.timeout):
            return b""
        if not chunk:
            return b""
        data += chunk
    return bytes(data[:-1])


def closed_by_peer(sock, timeout=10.0):
    """True when the other side closes the socket (EOF or reset) in time,
    discarding anything it still sends."""
    sock.settimeout(timeout)
    try:
        while True:
            chunk = sock.recv(4096)
            if not chunk:
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def command(sock, text):
    """Sends one command line on a raw socket and returns its reply line."""
    sock.sendall((text + "\n").encode())
    return recv_line(sock).decode("latin-1")


def nothing_arrives(sock, wait=0.3):
    """True when nothing comes within `wait` seconds, "closed" when the peer
    closes, False when data arrives (it stays unread)."""
    r, _, _ = select.select([sock], [], [], wait)
    if not r:
        return True
    try:
        return False if sock.recv(1, socket.MSG_PEEK) else "closed"
    except ConnectionResetError:
        return "closed"


# ------------------------------------------------------- the viewer server

def wait_http(arena):
    arena.wait_for_log("httpd: listening for connections on port %d...\n" % HTTP_PORT)


def http_socket(source=None, timeout=10.0):
    """A plain socket connected to the viewer port (bound to `source` first)."""
    return _tcp_connect(HTTP_PORT, source, timeout)


def read_response(sock, head=False):
    """(raw header bytes, [header lines], body) of one response; the body is
    read by its Content-Length (none for HEAD). A close inside the header
    raises ConnectionError."""
    raw = bytearray()
    while not raw.endswith(b"\r\n\r\n"):
        chunk = sock.recv(1)
        if not chunk:
            raise ConnectionError("closed inside the header: %r" % bytes(raw))
        raw += chunk
    lines = bytes(raw[:-4]).split(b"\r\n")
    lengths = [int(line[16:]) for line in lines if line.startswith(b"Content-Length: ")]
    size = lengths[0] if lengths and not head else 0
    body = bytearray()
    while len(body) < size:
        chunk = sock.recv(min(65536, size - len(body)))
        if not chunk:
            raise ConnectionError("closed after %d of %d body bytes" % (len(body), size))
        body += chunk
    return bytes(raw), lines, bytes(body)


def http_get(path, method="GET", extra=b"", source=None):
    """One request on a fresh connection; returns ([header lines], body)."""
    with http_socket(source) as s:
        s.sendall(b"%s %s HTTP/1.1\r\nHost: t\r\n%s\r\n"
                  % (method.encode(), path.encode(), extra))
        _, lines, body = read_response(s, head=(method.upper() == "HEAD"))
        return lines, body


# ------------------------------------------------------------ test support

_shared = {}


def start_shared_arena():
    """One arena for all the module's cases (started at most once); the
    first ArenaCase starts it when setUpModule did not."""
    if "arena" not in _shared:
        _shared["arena"] = Arena().start()
    return _shared["arena"]


def stop_shared_arena():
    """For tearDownModule."""
    arena = _shared.pop("arena", None)
    if arena is not None:
        arena.stop()


class ArenaCase(unittest.TestCase):
    """A test against the module's shared arena (or the class's own when
    `own_arena` is set). Each test starts on a tidy field; clients made with
    self.client() are parked in a row along y = -200 and closed afterwards."""

    own_arena = False

    @classmethod
    def setUpClass(cls):
        cls.arena = Arena().start() if cls.own_arena else start_shared_arena()

    @classmethod
    def tearDownClass(cls):
        if cls.own_arena:
            cls.arena.stop()

    def setUp(self):
        self.arena.tidy()
        self._clients = []

    def tearDown(self):
        for t in self._clients:
            try:
                t.close()
            except OSError:
                pass

    def client(self, park=True):
        t = self.arena.connect()
        self._clients.append(t)
        if park:
            k = len(self._clients)
            t.jump(-220 + 40 * k, -200)
        return t

    def assertReply(self, reply, pattern):
        """The raw reply line (without its line feed) matches `pattern`."""
        self.assertRegex(reply.line.rstrip("\n"), "^" + pattern + "$")
