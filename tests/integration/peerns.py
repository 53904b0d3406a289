"""A second network namespace joined to ours by a veth pair: a peer that is
truly another host as far as the arena can tell (its packets arrive on an
interface of their own from an address that is not loopback).

    with PeerNet() as net:
        s = net.socket()                  # a TCP socket living in the peer
        s.connect((net.here, 2222))       # our side of the veth
        ... the arena logs net.peer as the client's address ...

Needs root and the `ip` tool (iproute2); `PeerNet.available()` says whether
this machine allows it, so tests can skip otherwise.
"""

import ctypes
import os
import shutil
import socket
import subprocess
import threading

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def _ip(*args, check=True):
    return subprocess.run(["ip"] + list(args), capture_output=True, text=True, timeout=10,
                          check=check)


class PeerNet:
    def __init__(self):
        tag = "%d" % (os.getpid() % 100000)
        self.ns = "qmpeer" + tag
        self.host_if = "qmh" + tag
        self.peer_if = "qmp" + tag
        # a /30 of the 10/8 block chosen by the process id, so two runs at
        # once (in different network namespaces) cannot meet
        n = os.getpid() % 16000
        base = "10.%d.%d." % (100 + n // 250, n % 250)
        self.here = base + "1"
        self.peer = base + "2"
        self._made = False

    @staticmethod
    def available():
        if os.geteuid() != 0 or shutil.which("ip") is None:
            return False
        probe = PeerNet()
        probe.ns += "probe"
        try:
            _ip("netns", "add", probe.ns)
        except (subprocess.CalledProcessError, OSError):
            return False
        _ip("netns", "del", probe.ns, check=False)
        return True

    def __enter__(self):
        try:
            _ip("netns", "add", self.ns)
            self._made = True
            _ip("link", "add", self.host_if, "type", "veth", "peer", "name", self.peer_if)
            _ip("link", "set", self.peer_if, "netns", self.ns)
            _ip("addr", "add", self.here + "/30", "dev", self.host_if)
            _ip("link", "set", self.host_if, "up")
            _ip("-n", self.ns, "addr", "add", self.peer + "/30", "dev", self.peer_if)
            _ip("-n", self.ns, "link", "set", self.peer_if, "up")
            _ip("-n", self.ns, "link", "set", "lo", "up")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        # deleting one end of a veth pair deletes both
        _ip("link", "del", self.host_if, check=False)
        if self._made:
            _ip("netns", "del", self.ns, check=False)
            self._made = False

    def socket(self, timeout=10.0):
        """A TCP socket created inside the peer namespace. A socket belongs
        to the namespace it was made in, so a short-lived thread enters the
        peer (setns changes only the calling thread) and makes it there."""
        out = {}

        def make():
            fd = os.open("/run/netns/" + self.ns, os.O_RDONLY)
            try:
                if _libc.setns(fd, CLONE_NEWNET) != 0:
                    out["error"] = OSError(ctypes.get_errno(), "setns")
                    return
                out["sock"] = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            finally:
                os.close(fd)

        t = threading.Thread(target=make)
        t.start()
        t.join()
        if "error" in out:
            raise out["error"]
        s = out["sock"]
        s.settimeout(timeout)
        return s
