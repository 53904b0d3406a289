"""quillmere -- drive a turtle in a Quill Mere arena from Python.

Connect, and you get a turtle of your own on the field. Every method sends
one command and waits for its one-line answer.

    from quillmere import Turtle

    with Turtle() as t:                # 127.0.0.1, port 2222
        t.name("Speedy")
        t.color(0, 0.6, 1)
        t.pen_down()
        for _ in range(4):             # a square
            t.forward(80)
            t.left(90)
        t.print_text("done!")
        print("I am at", t.position(), "heading", t.heading())

Moving commands (forward, left, jump, ...) count against a budget of one
batch per frame, so a loop of them runs at the arena's frame rate. Queries
(position, score, sonar, ...) answer at once.

Every reply also carries the events that happened to your turtle since the
last reply (hit, bumped, coin near, ...). They are collected in
``Turtle.events``; see the EV_* constants and ``take_events()``.

Only the Python standard library is used.
"""

import socket

__all__ = [
    "Turtle", "Reply", "ArenaError", "to_hex", "from_hex", "event_names",
    "EV_HIT", "EV_BUMP_TURTLE", "EV_BUMP_DOUGHNUT", "EV_BUMP_STONE",
    "EV_BUMP_WALL", "EV_COIN", "EV_FINDER", "EV_RADAR", "EV_TEAM_MSG",
    "EV_ALL",
]

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 2222

# event bits of the last field of a reply
EV_HIT = 0x1            # hit by a bullet
EV_BUMP_TURTLE = 0x2    # bumped into a turtle
EV_BUMP_DOUGHNUT = 0x4  # bumped into a doughnut
EV_BUMP_STONE = 0x8     # bumped into a stone
EV_BUMP_WALL = 0x10     # bumped into a wall
EV_COIN = 0x20          # a coin came within reach
EV_FINDER = 0x40        # another turtle's finder caught you
EV_RADAR = 0x80         # another turtle's radar caught you
EV_TEAM_MSG = 0x100     # a team mate wrote to the team board
EV_ALL = 0xFFFFFFFF

_EVENT_NAMES = [
    (EV_HIT, "hit"), (EV_BUMP_TURTLE, "bump_turtle"),
    (EV_BUMP_DOUGHNUT, "bump_doughnut"), (EV_BUMP_STONE, "bump_stone"),
    (EV_BUMP_WALL, "bump_wall"), (EV_COIN, "coin"), (EV_FINDER, "finder"),
    (EV_RADAR, "radar"), (EV_TEAM_MSG, "team_msg"),
]

MAX_TEXT = 128  # bytes of a name or printed text the arena keeps

_HEADINGS = {"east": "E", "north": "N", "west": "W", "south": "S",
             "e": "E", "n": "N", "w": "W", "s": "S"}


class ArenaError(Exception):
    """The arena closed the connection or sent something unreadable."""


def to_hex(text):
    """Encode text (str or bytes) as the hexadecimal text of 'N' and 'S'."""
    if isinstance(text, str):
        text = text.encode("utf-8")
    return text[:MAX_TEXT].hex()


def from_hex(hextext):
    """Decode hexadecimal text (blanks between pairs allowed) to bytes."""
    return bytes.fromhex(hextext.replace(" ", ""))


def event_names(bits):
    """Names of the event bits set in `bits`, e.g. ['hit', 'coin']."""
    return [name for bit, name in _EVENT_NAMES if bits & bit]


class Reply:
    """One answer line: 'payload OK @ ticks events' (payload may be empty).

    Attributes: line (the raw text), payload (str), fields (payload split
    at blanks), ok (bool), ticks (arena time), events (int bit set).
    A Reply is true when it says OK.
    """

    __slots__ = ("line", "payload", "fields", "ok", "ticks", "events")

    def __init__(self, line):
        self.line = line
        text = line.rstrip("\n")
        parts = text.rsplit(" ", 3)
        if len(parts) != 4 or parts[1] != "@":
            raise ArenaError("malformed reply: %r" % line)
        head, _, ticks, events = parts
        try:
            self.ticks = int(ticks)
            self.events = int(events)
        except ValueError:
            raise ArenaError("malformed reply: %r" % line) from None
        payload, sep, status = head.rpartition(" ")
        if not sep:
            payload, status = "", head
        if status not in ("OK", "ERR"):
            raise ArenaError("malformed reply: %r" % line)
        self.ok = status == "OK"
        self.payload = payload
        self.fields = payload.split()

    def __bool__(self):
        return self.ok

    def number(self, i=0):
        """Field i of the payload as a float."""
        return float(self.fields[i])

    def integer(self, i=0):
        """Field i of the payload as an int."""
        return int(self.fields[i])

    def __repr__(self):
        return "Reply(%r)" % self.line


class Turtle:
    """Your turtle in the arena. Connects when created.

    Motion methods return True when the turtle did it, False when it was
    refused (blocked, zombie, battle rules ...). Queries return values.
    """

    def __init__(self, host=DEFAULT_HOST, port=DEFAULT_PORT, timeout=10.0,
                 source=None):
        """Connect to the arena; `source` optionally binds a local address."""
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=source)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._rfile = self.sock.makefile("rb")
        self.events = 0          # OR of every event seen since take_events()
        self.last = None         # the last Reply

    # ------------------------------------------------------------ plumbing

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Hang up; your turtle stays on the field as a zombie."""
        try:
            self._rfile.close()
        finally:
            self.sock.close()

    def send_raw(self, data):
        """Send bytes or text as they are (no line end added)."""
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.sock.sendall(data)

    def read_reply(self):
        """Wait for the next reply line and return it as a Reply."""
        line = self._rfile.readline()
        if not line:
            raise ArenaError("the arena closed the connection")
        if not line.endswith(b"\n"):
            raise ArenaError("connection closed in the middle of a reply")
        reply = Reply(line.decode("latin-1"))
        self.events |= reply.events
        self.last = reply
        return reply

    def send(self, cmd):
        """Send one command (a line end is added) and return its Reply."""
        self.send_raw(cmd + "\n")
        return self.read_reply()

    def send_many(self, cmds):
        """Send several commands in one write; return their Replies."""
        self.send_raw("".join(c + "\n" for c in cmds))
        return [self.read_reply() for _ in cmds]

    def take_events(self):
        """Return the collected event bits and start collecting afresh."""
        ev, self.events = self.events, 0
        return ev

    def _query(self, letter):
        r = self.send("Q " + letter)
        if not r.ok:
            return None
        return r

    # -------------------------------------------------------------- motion

    def forward(self, d):
        """Step d units along the heading."""
        return self.send("F %r" % float(d)).ok

    def back(self, d):
        """Step d units backwards."""
        return self.send("B %r" % float(d)).ok

    def left(self, a):
        """Turn a degrees counter-clockwise."""
        return self.send("T L %r" % float(a)).ok

    def right(self, a):
        """Turn a degrees clockwise."""
        return self.send("T R %r" % float(a)).ok

    def head(self, direction):
        """Face 'east', 'north', 'west' or 'south'."""
        return self.send("T " + _HEADINGS[direction.lower()]).ok

    def jump(self, x, y):
        """Jump to (x, y) without drawing."""
        return self.send("J %r %r" % (float(x), float(y))).ok

    def rjump(self, dx, dy):
        """Jump by (dx, dy) from where you are."""
        return self.send("G %r %r" % (float(dx), float(dy))).ok

    def reset(self, step=0):
        """Back to the origin facing east, everything as new (not in battle)."""
        return self.send("C %r" % float(step)).ok

    def home(self):
        """Back to the origin facing east, keeping pen and colours."""
        return self.send("C H").ok

    # ----------------------------------------------------------------- pen

    def pen_down(self):
        """Start drawing."""
        return self.send("P D").ok

    def pen_up(self):
        """Stop drawing."""
        return self.send("P U").ok

    def color(self, r, g, b):
        """Pen colour, each component 0..1."""
        return self.send("K %r %r %r" % (float(r), float(g), float(b))).ok

    def width(self, w):
        """Line width."""
        return self.send("W %r" % float(w)).ok

    def line_mode(self):
        """Draw plain lines."""
        return self.send("L").ok

    def fill_mode(self):
        """Fill the polygon the trail draws."""
        return self.send("L S").ok

    def point_mode(self):
        """Draw points."""
        return self.send("L P").ok

    def brush_mode(self):
        """Draw brush strokes."""
        return self.send("L B").ok

    def print_text(self, text):
        """Print text at the turtle (at most 127 bytes)."""
        return self.send("S " + to_hex(text)).ok

    def name(self, text):
        """Give the turtle a display name."""
        return self.send("N " + to_hex(text)).ok

    # ----------------------------------------------------------- team talk

    def team(self, n):
        """Join team 1..4."""
        return self.send("I %d" % int(n)).ok

    def my_team(self):
        """Your team number (0: none)."""
        r = self._query("M")
        return r.integer() if r else None

    def say(self, message):
        """Write a line to your team's board (no ';' or line ends)."""
        if any(c in message for c in ";\n\r"):
            raise ValueError("a message cannot hold ';' or line ends")
        return self.send("U " + message).ok

    def board(self):
        """Your team board as (time written, text)."""
        r = self.send("Q B")
        time, _, text = r.payload.partition(" ")
        return int(time), text

    # ------------------------------------------------------------- queries

    def position(self):
        """(x, y) of your turtle."""
        r = self.send("Q P")
        return r.number(0), r.number(1)

    def heading(self):
        """Heading in degrees (0 east, 90 north; never wrapped)."""
        return self.send("Q D").number()

    def alive(self):
        """True while your turtle lives."""
        return self.send("Q A").integer() == 1

    def score(self):
        """Your score."""
        return self.send("Q S").integer()

    def ticks(self):
        """The arena's clock in timer ticks."""
        return self.send("Q T").integer()

    def n_turtles(self):
        """Number of turtles on the field (zombies, robots, doughnuts too)."""
        return self.send("Q N").integer()

    # ----------------------------------------------------- sensors and gun

    def fire(self):
        """Fire a bullet along the heading (costs 1 point)."""
        return self.send("X").ok

    def finder(self):
        """What lies ahead: (kind, team); kind 0 none, 1 turtle, 2 doughnut,
        3 stone, 4 wall."""
        r = self.send("Q F")
        return r.integer(0), r.integer(1)

    def finder_range(self, r):
        """How far the finder looks."""
        return self.send("E %r" % float(r)).ok

    def sonar(self):
        """(left, front, right): 1 where something is close."""
        r = self.send("Q W")
        return r.integer(0), r.integer(1), r.integer(2)

    def radar(self, rank=1):
        """(direction, team) of the rank-th nearest thing (1..5), the
        direction relative to your heading; None when there is none."""
        r = self.send("Q R %d" % int(rank))
        if not r.ok:
            return None
        return r.number(0), r.integer(1)

    # -------------------------------------------------------------- coins

    def pick_coin(self):
        """Pick up the nearest coin within reach."""
        return self.send("O").ok

    def drop_coin(self):
        """Drop one of your coins here."""
        return self.send("O S").ok

    def borrow_coins(self):
        """Borrow 10 coins from the bank."""
        return self.send("O B").ok

    def scatter_coin(self):
        """Put one coin from the bank somewhere on the field."""
        return self.send("O X").ok

    def coins_near(self):
        """Number of coins within reach."""
        return self.send("Q C").integer()

    def coins_carried(self):
        """Number of coins you carry."""
        return self.send("Q O").integer()

    # ------------------------------------------------------ field and misc

    def doughnut(self):
        """Put a doughnut somewhere on the field (at most 10)."""
        return self.send("D").ok

    def robot(self):
        """Start a robot turtle that wanders and fires by itself."""
        return self.send("R").ok

    def enable_events(self, bits=EV_ALL):
        """Report these event bits again."""
        return self.send("Y + %d" % (bits & EV_ALL)).ok

    def disable_events(self, bits):
        """Stop reporting these event bits."""
        return self.send("Y - %d" % (bits & EV_ALL)).ok

    def battle(self, on=True):
        """Switch battle mode on or off (for everybody)."""
        return self.send("!" if on else "! -").ok

    def clear(self):
        """Clear the painted field."""
        return self.send("C F").ok

    def clear_zombies(self):
        """Remove departed turtles and clear the painted field."""
        return self.send("C A").ok

    def field_color(self, r, g, b):
        """Colour of the field, then clear it."""
        return self.send("H %r %r %r" % (float(r), float(g), float(b))).ok

    def nop(self):
        """Do nothing; the reply still brings the pending events."""
        return self.send(".")
