"""arena.py -- runs the real qmere program for the arena suites.

An Arena starts the binary (QMERE_BIN, default <repo>/build/qmere) headless
or on a private Xvfb, keeps its standard error so tests can wait for log
lines, and stops both again. The suites run in a network namespace of their
own, so the fixed ports are theirs alone. Also here: polling, raw sockets,
raw HTTP requests, a peer host in a second network namespace, and the
test case that shares one arena across a module.
"""

import ctypes
import os
import re
import select
import shutil
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

TCP_PORT, HTTP_PORT = 2222, 2280
START_TIMEOUT = 30.0


def tcp_sockets():
    """(local port, state, inode) of every TCP socket; state "0A" listens."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for cols in (row.split() for row in list(f)[1:]):
                yield int(cols[1].rsplit(":", 1)[1], 16), cols[3], cols[9]


def listening(port):
    return any(p == port and st == "0A" for p, st, _ in tcp_sockets())


def _die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _stop(proc):
    if proc is None or proc.poll() is not None:
        return
    os.killpg(proc.pid, signal.SIGTERM)
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(5)


def _spawn(args, **kw):
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            start_new_session=True, preexec_fn=_die_with_parent, **kw)


class Arena:
    """The program under test. env: names to set, or to remove (None)."""

    def __init__(self, args=(), env=None, headless=False):
        self.binary = os.path.abspath(os.environ.get("QMERE_BIN")
                                      or os.path.join(REPO, "build", "qmere"))
        # headless: True passes --headless; "fallback" only leaves DISPLAY unset
        self.args = (["--headless"] if headless is True else []) + list(args)
        self.headless, self.env_changes = headless, dict(env or {})
        self.display = self.xvfb = self.proc = self.home = None
        self._log = bytearray()
        self._cond = threading.Condition()
        self._reading = threading.Event()  # cleared: nobody reads the log
        self._reading.set()

    def start(self):
        try:
            if not self.headless:
                self._start_xvfb()
            self.home = tempfile.TemporaryDirectory(prefix="qmere-home-")
            self.workdir = tempfile.mkdtemp(prefix="qmere-cwd-", dir=self.home.name)
            env = dict(os.environ, HOME=self.home.name)
            env.pop("DISPLAY", None)
            if self.display:
                env["DISPLAY"] = self.display
            env.update(self.env_changes)
            env = {k: v for k, v in env.items() if v is not None}
            self.proc = _spawn([self.binary] + self.args, cwd=self.workdir, env=env,
                               stderr=subprocess.PIPE)
            self.reader = threading.Thread(target=self._read_stderr, daemon=True)
            self.reader.start()
            # a port a test holds on purpose counts as listening
            if not wait_for(lambda: self.proc.poll() is not None or listening(TCP_PORT)
                            and listening(HTTP_PORT), START_TIMEOUT, 0.02) \
                    or self.proc.poll() is not None:
                raise RuntimeError("qmere never listened:\n%s" % self.log())
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        _stop(self.proc)
        if self.proc is not None and self.reader.join(5) is None and not self.reader.is_alive():
            self.proc.stderr.close()
        _stop(self.xvfb)
        self.xvfb = None
        if self.home is not None:
            self.home.cleanup()
            self.home = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _start_xvfb(self):
        for n in range(90, 400):
            sock = "/tmp/.X11-unix/X%d" % n
            if os.path.exists(sock) or os.path.exists("/tmp/.X%d-lock" % n):
                continue
            proc = _spawn(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                          stderr=subprocess.DEVNULL)
            if wait_for(lambda: proc.poll() is not None or os.path.exists(sock), START_TIMEOUT) \
                    and proc.poll() is None:
                self.xvfb, self.display = proc, ":%d" % n
                return
            _stop(proc)  # lost a race for this number: try the next
        raise RuntimeError("no free X display number for Xvfb")

    # --------------------------------------------------------------- the log

    def pause_log(self):
        """Stop reading the program's standard error, as a paused terminal
        would; resume_log() reads on."""
        self._reading.clear()

    def resume_log(self):
        self._reading.set()

    def _read_stderr(self):
        pipe = self.proc.stderr
        while self._reading.wait() and (chunk := pipe.read1(65536)):
            with self._cond:
                self._log += chunk
                self._cond.notify_all()

    def log(self):
        with self._cond:
            return self._log.decode("latin-1")

    def mark(self):
        """A position in the log, for wait_for_log and count to look after."""
        with self._cond:
            return len(self._log)

    def wait_for_log(self, pattern, since=0, timeout=10.0):
        """The match of `pattern` (text or compiled expression) after `since`."""
        rx = pattern if isinstance(pattern, re.Pattern) else re.compile(re.escape(pattern))
        deadline = time.monotonic() + timeout
        with self._cond:
            while not (m := rx.search(self._log.decode("latin-1"), since)):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("log never showed %r; since mark:\n%s"
                                         % (rx.pattern, self._log[since:].decode("latin-1")))
                self._cond.wait(left)
            return m

    def count(self, text, since=0):
        return self.log().count(text, since)

    def key(self):
        """The teacher's console key from the start-up line."""
        return self.wait_for_log(re.compile(r"control: \S+\?key=(\w+)\n")).group(1)

    # ---------------------------------------------------------------- clients

    def connect(self, **kw):
        return quillmere.Turtle("127.0.0.1", TCP_PORT, **kw)

    def raw(self):
        return socket.create_connection(("127.0.0.1", TCP_PORT), 10)

    def wait_all_closed(self):
        def still_open():
            return self.count("handling client from ") - self.count("closing connection from ")
        if not wait_for(lambda: still_open() <= 0):
            raise AssertionError("%d clients still connected" % still_open())

    def tidy(self):
        """Battle mode off, zombies gone but the tidying client's own, parked."""
        self.wait_all_closed()
        with self.connect() as t:
            t.battle(False)
            t.clear_zombies()
            t.jump(240, -240)
        self.wait_all_closed()


def wait_for(pred, timeout=10.0, step=0.05):
    """Polls pred until it gives something true or the time is up; its last value."""
    end = time.monotonic() + timeout
    while not (v := pred()) and time.monotonic() < end:
        time.sleep(step)
    return v


def wait_ticks(turtle, n=3):
    """Waits until the arena's clock, as `turtle` sees it, has gone n ticks on."""
    t0 = turtle.ticks()
    if not wait_for(lambda: turtle.ticks() >= t0 + n, 30, 0.02):
        raise AssertionError("the arena's clock stands still")


def hold_port(port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    s.listen(1)
    return s


def closed_by_peer(sock, timeout=10.0):
    """True when the other side closes (EOF or reset) in time; data is dropped."""
    sock.settimeout(timeout)
    try:
        while sock.recv(4096):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        return False
    return True


def nothing_arrives(sock, wait=0.3):
    return not select.select([sock], [], [], wait)[0]


def http_socket(timeout=10.0):
    return socket.create_connection(("127.0.0.1", HTTP_PORT), timeout)


def read_response(sock, head=False):
    """(raw header, [header lines], body read by its Content-Length)."""
    raw = bytearray()
    while not raw.endswith(b"\r\n\r\n"):
        chunk = sock.recv(1)
        if not chunk:
            raise ConnectionError("closed inside the header: %r" % bytes(raw))
        raw += chunk
    lines = bytes(raw[:-4]).split(b"\r\n")
    size = 0 if head else next((int(ln[16:]) for ln in lines
                                if ln.startswith(b"Content-Length: ")), 0)
    body = b""
    while len(body) < size:
        chunk = sock.recv(size - len(body))
        if not chunk:
            raise ConnectionError("closed after %d of %d body bytes" % (len(body), size))
        body += chunk
    return bytes(raw), lines, body


def http_get(path, method="GET", extra=b""):
    """One request on a fresh connection: ([header lines], body)."""
    with http_socket() as s:
        s.sendall(b"%s %s HTTP/1.1\r\nHost: t\r\n%s\r\n" % (method.encode(), path.encode(), extra))
        return read_response(s, head=method == "HEAD")[1:]


class PeerNet:
    """A second network namespace joined to ours by a veth pair: a peer that
    is truly another host to the arena. Needs root and iproute2."""

    def __init__(self):
        n = os.getpid() % 16000
        self.ns, self.link = "qmpeer%d" % n, "qmh%d" % n
        base = "10.%d.%d." % (100 + n // 250, n % 250)
        self.here, self.peer = base + "1", base + "2"

    @staticmethod
    def available():
        return os.geteuid() == 0 and shutil.which("ip") is not None

    def __enter__(self):
        ns = ["ip", "-n", self.ns]
        for cmd in (["ip", "netns", "add", self.ns],
                    ["ip", "link", "add", self.link, "type", "veth", "peer", "name", "qmp"],
                    ["ip", "link", "set", "qmp", "netns", self.ns],
                    ["ip", "addr", "add", self.here + "/30", "dev", self.link],
                    ["ip", "link", "set", self.link, "up"],
                    ns + ["addr", "add", self.peer + "/30", "dev", "qmp"],
                    ns + ["link", "set", "qmp", "up"]):
            subprocess.run(cmd, check=True, capture_output=True)
        return self

    def __exit__(self, *exc):
        subprocess.run(["ip", "link", "del", self.link], capture_output=True)
        subprocess.run(["ip", "netns", "del", self.ns], capture_output=True)

    def socket(self):
        """A TCP socket made inside the peer (setns moves only this thread)."""
        out = []

        def make():
            with open("/run/netns/" + self.ns) as f:
                if ctypes.CDLL(None, use_errno=True).setns(f.fileno(), 0x40000000) == 0:
                    out.append(socket.socket())
        t = threading.Thread(target=make)
        t.start()
        t.join()
        out[0].settimeout(10)
        return out[0]


class ArenaCase(unittest.TestCase):
    """A test on an arena shared by every class of the module that uses it
    (own_arena: one of the class's own). Each test starts on a tidy field;
    clients made with self.client() are closed afterwards."""

    own_arena = False
    headless = False
    _shared = None

    @classmethod
    def setUpClass(cls):
        if cls.own_arena:
            cls.arena = Arena(headless=cls.headless).start()
        else:
            if ArenaCase._shared is None:
                ArenaCase._shared = Arena(headless=cls.headless).start()
                unittest.addModuleCleanup(ArenaCase.stop_shared)
            cls.arena = ArenaCase._shared

    @classmethod
    def tearDownClass(cls):
        if cls.own_arena:
            cls.arena.stop()

    @staticmethod
    def stop_shared():
        ArenaCase._shared.stop()
        ArenaCase._shared = None

    def setUp(self):
        self.arena.tidy()

    def client(self):
        t = self.arena.connect()
        self.addCleanup(t.close)
        return t
