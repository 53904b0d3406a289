"""arena.py -- runs the real qmere program for integration tests.

An Arena starts a private Xvfb on a free display number, starts the binary
(QMERE_BIN, default <repo>/build/qmere) on it, records its standard error
so tests can search and wait for log lines, waits until port 2222 is
listening in that very process, and stops both again (process groups).

    arena = Arena()
    arena.start()
    with arena.connect() as t:
        t.forward(10)
    arena.wait_for_log("closing connection from 127.0.0.1")
    arena.stop()
"""

import atexit
import ctypes
import os
import re
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
    fd_dir = "/proc/%d/fd" % pid
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return found
    for name in names:
        try:
            link = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            continue
        m = re.match(r"socket:\[(\d+)\]", link)
        if m:
            found.add(m.group(1))
    return found


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


class Arena:
    """The program under test, on a private X display."""

    def __init__(self, binary=None, args=()):
        self.binary = os.path.abspath(binary or os.environ.get("QMERE_BIN")
                                      or os.path.join(REPO, "build", "qmere"))
        self.args = list(args)
        self.display = None
        self.xvfb = None
        self.proc = None
        self.home = None
        self._log = bytearray()
        self._cond = threading.Condition()
        self._reader = None

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
        while _listening_inodes(TCP_PORT):
            if time.monotonic() > deadline:
                raise RuntimeError("port %d stays busy: another program listens there" % TCP_PORT)
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
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env["HOME"] = self.home.name
        self.proc = subprocess.Popen(
            [self.binary] + self.args, cwd=self.home.name, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, start_new_session=True, preexec_fn=_die_with_parent)
        self._reader = threading.Thread(target=self._read_stderr, args=(self.proc.stderr,),
                                        daemon=True)
        self._reader.start()

    def _read_stderr(self, pipe):
        while True:
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
                raise RuntimeError("qmere ended (%s) at start-up:\n%s" % (self.proc.returncode,
                                                                        self.log()))
            if "init_socket(): cannot bind" in self.log():
                raise PortTaken(self.log())
            mine = _socket_inodes_of(self.proc.pid)
            if _listening_inodes(TCP_PORT) & mine:
                return
            if time.monotonic() > deadline:
                raise RuntimeError("qmere never listened on %d:\n%s" % (TCP_PORT, self.log()))
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
        """A plain connected socket (optionally bound to `source` first)."""
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(timeout)
        if source:
            s.bind((source, 0))
        s.connect(("127.0.0.1", TCP_PORT))
        return s

    def wait_all_closed(self, timeout=10.0):
        """Wait until every admitted client has been closed again."""
        deadline = time.monotonic() + timeout
        while True:
            text = self.log()
            opened = text.count("handling client from ")
            closed = text.count("closing connection from ")
            if closed >= opened:
                return
            if time.monotonic() > deadline:
                raise AssertionError("%d clients still connected" % (opened - closed))
            time.sleep(0.02)

    def tidy(self):
        """Battle mode off, zombies removed; only the tidying client's own
        zombie stays, parked in a corner."""
        self.wait_all_closed()
        with self.connect() as t:
            t.battle(False)
            t.clear_zombies()
            t.jump(240, -240)
        self.wait_all_closed()


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
