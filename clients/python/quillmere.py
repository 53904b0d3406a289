"""quillmere -- drive a turtle in a Quill Mere arena from Python.

Connect, and you get a turtle of your own on the field. Every method sends
one command and waits for its one-line answer.

    from quillmere import Turtle

    with Turtle() as t:                # QMERE_HOST:QMERE_PORT, else 127.0.0.1:2222
        t.name("Speedy")
        t.pencolor(0, 0.6, 1)
        t.pendown()
        for _ in range(4):             # a square
            t.forward(80)
            t.left(90)
        t.write("done!")
        print("I am at", t.pos(), "heading", t.heading())

The names of Python's turtle module work where they mean the same thing:
fd, bk/back, lt, rt, pu/penup, pd/pendown, goto, setheading/seth (degrees,
0 east, counter-clockwise), pencolor, pensize/width, write, home,
pos/position, heading, xcor, ycor.

Moving commands (forward, left, goto, ...) count against a budget of one
batch per frame, so a loop of them runs at the arena's frame rate. Queries
(position, score, sonar, ...) answer at once.

Every reply also carries the events that happened to your turtle since the
last reply (hit, bumped, coin near, ...). They are collected in
``Turtle.events`` (see the EV_* constants and ``take_events()``), and
handlers registered with ``on(event, handler)`` are called for them.

Anything that goes wrong on the connection raises an ArenaError subclass
that says what happened: ArenaUnreachable, ArenaClosed, ArenaTimeout or
MalformedReply. Only the Python standard library is used.
"""

from __future__ import annotations

import os
import socket
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

__all__ = [
    "Turtle", "Reply", "ArenaError", "ArenaUnreachable", "ArenaClosed",
    "ArenaTimeout", "MalformedReply", "to_hex", "from_hex", "event_names",
    "event_bits", "EV_HIT", "EV_BUMP_TURTLE", "EV_BUMP_DOUGHNUT",
    "EV_BUMP_STONE", "EV_BUMP_WALL", "EV_COIN", "EV_FINDER", "EV_RADAR",
    "EV_TEAM_MSG", "EV_ALL", "MAX_TEXT", "MAX_NAME", "MAX_PRINT",
]

__version__ = "0.1.0"

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
_EVENT_BITS = {name: bit for bit, name in _EVENT_NAMES}
_EVENT_BITS["any"] = EV_ALL

MAX_TEXT = 128   # bytes of hexadecimal text the arena decodes
# NOTE: the blank after 'N' or 'S' is one of the decoder's 128 steps, so
# the arena keeps at most 127 bytes of a name or printed text.
MAX_NAME = 127
MAX_PRINT = 127
MAX_REPLY = 4096  # a reply line is far shorter; longer means garbage

_HEADINGS = {"east": "E", "north": "N", "west": "W", "south": "S",
             "e": "E", "n": "N", "w": "W", "s": "S"}

# a few colour names for pencolor(), as (r, g, b) from 0 to 1
_COLOURS = {
    "black": (0, 0, 0), "white": (1, 1, 1), "red": (1, 0, 0),
    "green": (0, 0.5, 0), "lime": (0, 1, 0), "blue": (0, 0, 1),
    "yellow": (1, 1, 0), "cyan": (0, 1, 1), "magenta": (1, 0, 1),
    "orange": (1, 0.65, 0), "purple": (0.5, 0, 0.5), "pink": (1, 0.75, 0.8),
    "brown": (0.65, 0.16, 0.16), "grey": (0.5, 0.5, 0.5), "gray": (0.5, 0.5, 0.5),
}

Handler = Callable[["Turtle", "Reply"], Any]
Colour = Tuple[float, float, float]

CLOSED_TEXT = ("the arena closed the connection: the field may be full, "
               "or your turtle was killed")


class ArenaError(Exception):
    """Something went wrong between you and the arena."""


class ArenaUnreachable(ArenaError, ConnectionError):
    """No arena answered at that host and port."""


class ArenaClosed(ArenaError, ConnectionError):
    """The arena closed the connection (field full, turtle killed, ...)."""


class ArenaTimeout(ArenaError, TimeoutError):
    """The arena did not answer in time."""


class MalformedReply(ArenaError, ValueError):
    """The arena sent a line that is not a reply."""


def _utf8_cut(data: bytes, limit: int) -> bytes:
    """The longest prefix of at most `limit` bytes that does not split a
    UTF-8 character."""
    if len(data) <= limit:
        return data
    n = limit
    while n > 0 and (data[n] & 0xC0) == 0x80:  # data[n] continues a character
        n -= 1
    return data[:n]


def to_hex(text: Union[str, bytes], limit: int = MAX_TEXT) -> str:
    """Encode text (str as UTF-8, or bytes) as the hexadecimal text of the
    'N' and 'S' commands, cut at `limit` bytes without splitting a
    character."""
    if isinstance(text, str):
        text = text.encode("utf-8")
    return _utf8_cut(bytes(text), limit).hex()


def from_hex(hextext: str) -> bytes:
    """Decode hexadecimal text (blanks between pairs allowed) to bytes."""
    return bytes.fromhex(hextext.replace(" ", ""))


def event_names(bits: int) -> List[str]:
    """Names of the event bits set in `bits`, e.g. ['hit', 'coin']."""
    return [name for bit, name in _EVENT_NAMES if bits & bit]


def event_bits(event: Union[str, int]) -> int:
    """The bit(s) of an event name ('hit', 'bump_wall', ..., 'any') or int."""
    if isinstance(event, int):
        return event & EV_ALL
    try:
        return _EVENT_BITS[event.lower()]
    except KeyError:
        raise ValueError("no such event %r; known: %s"
                         % (event, ", ".join(sorted(_EVENT_BITS)))) from None


def _env_port(port: Optional[int]) -> int:
    if port is not None:
        return int(port)
    text = os.environ.get("QMERE_PORT", "")
    if not text:
        return DEFAULT_PORT
    try:
        return int(text)
    except ValueError:
        raise ArenaError("QMERE_PORT=%r is not a port number" % text) from None


class Reply:
    """One answer line: 'payload OK @ ticks events' (payload may be empty).

    Attributes: line (the raw text), payload (str), fields (payload split
    at blanks), ok (bool), ticks (arena time), events (int bit set).
    A Reply is true when it says OK.
    """

    __slots__ = ("line", "payload", "fields", "ok", "ticks", "events")

    def __init__(self, line: str) -> None:
        self.line = line
        text = line.rstrip("\n")
        parts = text.rsplit(" ", 3)
        if len(parts) != 4 or parts[1] != "@":
            raise MalformedReply("malformed reply: %r" % line)
        head, _, ticks, events = parts
        try:
            self.ticks = int(ticks)
            self.events = int(events)
        except ValueError:
            raise MalformedReply("malformed reply: %r" % line) from None
        payload, sep, status = head.rpartition(" ")
        if not sep:
            payload, status = "", head
        if status not in ("OK", "ERR"):
            raise MalformedReply("malformed reply: %r" % line)
        self.ok = status == "OK"
        self.payload = payload
        self.fields = payload.split()

    def __bool__(self) -> bool:
        return self.ok

    def number(self, i: int = 0) -> float:
        """Field i of the payload as a float."""
        return float(self._field(i))

    def integer(self, i: int = 0) -> int:
        """Field i of the payload as an int."""
        try:
            return int(self._field(i))
        except ValueError:
            raise MalformedReply("field %d of %r is not a whole number"
                                 % (i, self.line)) from None

    def _field(self, i: int) -> str:
        if i >= len(self.fields):
            raise MalformedReply("reply %r has no field %d" % (self.line, i))
        return self.fields[i]

    def __repr__(self) -> str:
        return "Reply(%r)" % self.line


class Turtle:
    """Your turtle in the arena. Connects when created.

    `host` and `port` default to the environment's QMERE_HOST and
    QMERE_PORT, else 127.0.0.1 and 2222. `timeout` is how many seconds a
    reply may take; `source` optionally binds a local (address, port).

    Motion methods return True when the turtle did it, False when it was
    refused (blocked, zombie, battle rules ...). Queries return values.
    """

    def __init__(self, host: Optional[str] = None, port: Optional[int] = None,
                 timeout: float = 10.0, source: Optional[Tuple[str, int]] = None) -> None:
        host = host or os.environ.get("QMERE_HOST") or DEFAULT_HOST
        port = _env_port(port)
        self.timeout = timeout
        try:
            self.sock = socket.create_connection((host, port), timeout=timeout,
                                                 source_address=source)
        except socket.timeout:
            raise ArenaTimeout("no answer from the arena at %s:%d within %g s"
                               % (host, port, timeout)) from None
        except OSError as e:
            raise ArenaUnreachable("cannot connect to the arena at %s:%d (%s): is it running?"
                                   % (host, port, e.strerror or e)) from None
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._rfile = self.sock.makefile("rb")
        self.events = 0          # OR of every event seen since take_events()
        self.last: Optional[Reply] = None  # the last Reply
        self._broken: Optional[ArenaError] = None
        self._handlers: List[Tuple[int, Handler]] = []
        self._pending: List[Reply] = []  # replies whose events await handlers
        self._dispatching = False
        self._colour: Colour = (1.0, 0.0, 0.0)  # what pencolor() last set
        self._pensize = 1.0

    # ------------------------------------------------------------ plumbing

    def __enter__(self) -> "Turtle":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Hang up; your turtle stays on the field as a zombie."""
        try:
            self._rfile.close()
        finally:
            self.sock.close()

    def _fail(self, err: ArenaError) -> ArenaError:
        # NOTE: after a time-out or a cut line the reply stream is out of
        # step with the commands, so the connection is not used again.
        self._broken = err
        try:
            self.sock.close()
        except OSError:
            pass
        return err

    def send_raw(self, data: Union[str, bytes]) -> None:
        """Send bytes or text as they are (no line end added)."""
        if self._broken:
            raise self._broken
        if isinstance(data, str):
            data = data.encode("latin-1")
        try:
            self.sock.sendall(data)
        except socket.timeout:
            raise self._fail(ArenaTimeout("the arena took no data for %g s" % self.timeout)) from None
        except OSError:
            raise self._fail(ArenaClosed(CLOSED_TEXT)) from None

    def _read(self) -> Reply:
        if self._broken:
            raise self._broken
        try:
            line = self._rfile.readline(MAX_REPLY)
        except socket.timeout:
            raise self._fail(ArenaTimeout("the arena did not answer within %g s"
                                          % self.timeout)) from None
        except (OSError, ValueError):  # reset, or a file closed under us
            raise self._fail(ArenaClosed(CLOSED_TEXT)) from None
        if not line:
            raise self._fail(ArenaClosed(CLOSED_TEXT))
        if not line.endswith(b"\n"):
            if len(line) >= MAX_REPLY:
                raise self._fail(MalformedReply("a reply longer than %d bytes" % MAX_REPLY))
            raise self._fail(ArenaClosed(CLOSED_TEXT + " (in the middle of a reply)"))
        try:
            reply = Reply(line.decode("latin-1"))
        except MalformedReply as e:
            raise self._fail(e) from None
        self.events |= reply.events
        self.last = reply
        if reply.events and self._handlers:
            self._pending.append(reply)
        return reply

    def read_reply(self) -> Reply:
        """Wait for the next reply line and return it as a Reply."""
        reply = self._read()
        self._dispatch()
        return reply

    def send(self, cmd: str) -> Reply:
        """Send one command (a line end is added) and return its Reply."""
        self.send_raw(cmd + "\n")
        return self.read_reply()

    def send_many(self, cmds: Sequence[str]) -> List[Reply]:
        """Send several commands in one write; return their Replies."""
        self.send_raw("".join(c + "\n" for c in cmds))
        replies = [self._read() for _ in cmds]
        self._dispatch()
        return replies

    def take_events(self) -> int:
        """Return the collected event bits and start collecting afresh."""
        ev, self.events = self.events, 0
        return ev

    # -------------------------------------------------------------- events

    def on(self, event: Union[str, int], handler: Handler) -> None:
        """Call handler(turtle, reply) whenever a reply carries `event`: a
        name ('hit', 'bump_turtle', 'bump_doughnut', 'bump_stone',
        'bump_wall', 'coin', 'finder', 'radar', 'team_msg', or 'any') or
        event bits. Handlers run after the command that brought the event
        has its reply, so they may send commands themselves."""
        self._handlers.append((event_bits(event), handler))

    def off(self, event: Union[str, int], handler: Optional[Handler] = None) -> None:
        """Forget the handlers of `event` (only `handler`, if given)."""
        bits = event_bits(event)
        self._handlers = [(b, h) for b, h in self._handlers
                          if not (b == bits and (handler is None or h is handler))]

    def _dispatch(self) -> None:
        # NOTE: a handler that sends commands brings new replies; they are
        # queued and handled by this loop, not by nested calls.
        if self._dispatching:
            return
        self._dispatching = True
        try:
            while self._pending:
                reply = self._pending.pop(0)
                for bits, handler in list(self._handlers):
                    if reply.events & bits:
                        handler(self, reply)
        finally:
            self._dispatching = False

    # -------------------------------------------------------------- motion

    def forward(self, d: float) -> bool:
        """Step d units along the heading."""
        return self.send("F %r" % float(d)).ok

    def back(self, d: float) -> bool:
        """Step d units backwards."""
        return self.send("B %r" % float(d)).ok

    def left(self, a: float) -> bool:
        """Turn a degrees counter-clockwise."""
        return self.send("T L %r" % float(a)).ok

    def right(self, a: float) -> bool:
        """Turn a degrees clockwise."""
        return self.send("T R %r" % float(a)).ok

    def head(self, direction: str) -> bool:
        """Face 'east', 'north', 'west' or 'south' (not in battle mode)."""
        return self.send("T " + _HEADINGS[direction.lower()]).ok

    def setheading(self, angle: float) -> bool:
        """Face `angle` degrees: 0 east, 90 north, counter-clockwise (a turn
        the short way round; in battle mode a turn is at most 3 degrees)."""
        turn = (float(angle) - self.heading()) % 360.0
        if turn > 180.0:
            turn -= 360.0
        return True if turn == 0.0 else self.left(turn)

    def jump(self, x: float, y: float) -> bool:
        """Jump to (x, y); with the pen down the jump is drawn. Refused in
        battle mode and while another turtle is within 20 units."""
        return self.send("J %r %r" % (float(x), float(y))).ok

    def goto(self, x: Union[float, Sequence[float]], y: Optional[float] = None) -> bool:
        """Go to (x, y) (or goto((x, y))); drawn when the pen is down."""
        if y is None:
            x, y = x  # type: ignore[misc]
        return self.jump(x, y)  # type: ignore[arg-type]

    def rjump(self, dx: float, dy: float) -> bool:
        """Jump by (dx, dy) from where you are."""
        return self.send("G %r %r" % (float(dx), float(dy))).ok

    def reset(self, step: float = 0) -> bool:
        """Back to the origin facing east, everything as new (not in battle)."""
        ok = self.send("C %r" % float(step)).ok
        if ok:
            self._colour, self._pensize = (1.0, 0.0, 0.0), 1.0
        return ok

    def home(self) -> bool:
        """Back to the origin facing east, keeping pen and colours."""
        return self.send("C H").ok

    # ----------------------------------------------------------------- pen

    def pen_down(self) -> bool:
        """Start drawing."""
        return self.send("P D").ok

    def pen_up(self) -> bool:
        """Stop drawing."""
        return self.send("P U").ok

    def color(self, r: float, g: float, b: float) -> bool:
        """Pen colour, each component 0..1."""
        ok = self.send("K %r %r %r" % (float(r), float(g), float(b))).ok
        if ok:
            self._colour = (float(r), float(g), float(b))
        return ok

    def pencolor(self, *args: Any) -> Union[bool, Colour]:
        """pencolor() gives the pen colour; pencolor(r, g, b),
        pencolor((r, g, b)), pencolor('orange') or pencolor('#ff8000') set
        it (components 0..1)."""
        if not args:
            return self._colour
        if len(args) == 1:
            colour = args[0]
            if isinstance(colour, str):
                colour = _parse_colour(colour)
            args = tuple(colour)
        if len(args) != 3:
            raise ValueError("a colour is three numbers from 0 to 1")
        return self.color(*args)

    def width(self, w: Optional[float] = None) -> Union[bool, float]:
        """Line width; width() alone gives the current one."""
        if w is None:
            return self._pensize
        ok = self.send("W %r" % float(w)).ok
        if ok:
            self._pensize = float(w)
        return ok

    def line_mode(self) -> bool:
        """Draw plain lines."""
        return self.send("L").ok

    def fill_mode(self) -> bool:
        """Fill the polygon the trail draws."""
        return self.send("L S").ok

    def point_mode(self) -> bool:
        """Draw points."""
        return self.send("L P").ok

    def brush_mode(self) -> bool:
        """Draw brush strokes."""
        return self.send("L B").ok

    def print_text(self, text: Union[str, bytes]) -> bool:
        """Print text at the turtle (cut at 127 bytes of UTF-8)."""
        return self.send("S " + to_hex(text, MAX_PRINT)).ok

    def write(self, arg: object) -> bool:
        """Print str(arg) at the turtle (cut at 127 bytes of UTF-8)."""
        return self.print_text(arg if isinstance(arg, (str, bytes)) else str(arg))

    def name(self, text: Union[str, bytes]) -> bool:
        """Give the turtle a display name (cut at 127 bytes of UTF-8)."""
        return self.send("N " + to_hex(text, MAX_NAME)).ok

    # ----------------------------------------------------------- team talk

    def team(self, n: int) -> bool:
        """Join team 1..4."""
        return self.send("I %d" % int(n)).ok

    def my_team(self) -> Optional[int]:
        """Your team number (0: none)."""
        r = self.send("Q M")
        return r.integer() if r else None

    def say(self, message: str) -> bool:
        """Write a line to your team's board (printable ASCII, no ';', at
        most 128 characters kept)."""
        if any(c == ";" or not " " <= c <= "~" for c in message):
            raise ValueError("a team message is printable ASCII without ';'")
        return self.send("U " + message).ok

    def board(self) -> Tuple[int, str]:
        """Your team board as (time written, text)."""
        r = self.send("Q B")
        time, _, text = r.payload.partition(" ")
        try:
            return int(time), text
        except ValueError:
            raise MalformedReply("board reply %r has no time" % r.line) from None

    # ------------------------------------------------------------- queries

    def position(self) -> Tuple[float, float]:
        """(x, y) of your turtle."""
        r = self.send("Q P")
        return r.number(0), r.number(1)

    def xcor(self) -> float:
        """x of your turtle."""
        return self.position()[0]

    def ycor(self) -> float:
        """y of your turtle."""
        return self.position()[1]

    def heading(self) -> float:
        """Heading in degrees (0 east, 90 north; never wrapped)."""
        return self.send("Q D").number()

    def alive(self) -> bool:
        """True while your turtle lives."""
        return self.send("Q A").integer() == 1

    def score(self) -> int:
        """Your score."""
        return self.send("Q S").integer()

    def ticks(self) -> int:
        """The arena's clock in timer ticks."""
        return self.send("Q T").integer()

    def n_turtles(self) -> int:
        """Number of turtles on the field (zombies, robots, doughnuts too)."""
        return self.send("Q N").integer()

    # ----------------------------------------------------- sensors and gun

    def fire(self) -> bool:
        """Fire a bullet along the heading (costs 1 point)."""
        return self.send("X").ok

    def finder(self) -> Tuple[int, int]:
        """What lies ahead: (kind, team); kind 0 none, 1 turtle, 2 doughnut,
        3 stone, 4 wall."""
        r = self.send("Q F")
        return r.integer(0), r.integer(1)

    def finder_range(self, r: float) -> bool:
        """How far the finder looks."""
        return self.send("E %r" % float(r)).ok

    def sonar(self) -> Tuple[int, int, int]:
        """(left, front, right): 1 where something is close."""
        r = self.send("Q W")
        return r.integer(0), r.integer(1), r.integer(2)

    def radar(self, rank: int = 1) -> Optional[Tuple[float, int]]:
        """(direction, team) of the rank-th nearest thing (1..5), the
        direction relative to your heading (+ left, +-20 degrees of noise);
        None when there is none."""
        r = self.send("Q R %d" % int(rank))
        if not r.ok:
            return None
        return r.number(0), r.integer(1)

    # -------------------------------------------------------------- coins

    def pick_coin(self) -> bool:
        """Pick up the nearest coin within reach."""
        return self.send("O").ok

    def drop_coin(self) -> bool:
        """Drop one of your coins here."""
        return self.send("O S").ok

    def borrow_coins(self) -> bool:
        """Borrow 10 coins from the bank."""
        return self.send("O B").ok

    def scatter_coin(self) -> bool:
        """Put one coin from the bank somewhere on the field."""
        return self.send("O X").ok

    def coins_near(self) -> int:
        """Number of coins within reach."""
        return self.send("Q C").integer()

    def coins_carried(self) -> int:
        """Number of coins you carry."""
        return self.send("Q O").integer()

    # ------------------------------------------------------ field and misc

    def doughnut(self) -> bool:
        """Put a doughnut somewhere on the field (at most 10)."""
        return self.send("D").ok

    def robot(self) -> bool:
        """Start a robot turtle that wanders and fires by itself."""
        return self.send("R").ok

    def enable_events(self, bits: int = EV_ALL) -> bool:
        """Report these event bits again."""
        return self.send("Y + %d" % (bits & EV_ALL)).ok

    def disable_events(self, bits: int) -> bool:
        """Stop reporting these event bits."""
        return self.send("Y - %d" % (bits & EV_ALL)).ok

    def battle(self, on: bool = True) -> bool:
        """Switch battle mode on or off (for everybody)."""
        return self.send("!" if on else "! -").ok

    def clear(self) -> bool:
        """Clear the painted field."""
        return self.send("C F").ok

    def clear_zombies(self) -> bool:
        """Remove departed turtles and clear the painted field."""
        return self.send("C A").ok

    def field_color(self, r: float, g: float, b: float) -> bool:
        """Colour of the field, then clear it."""
        return self.send("H %r %r %r" % (float(r), float(g), float(b))).ok

    def nop(self) -> Reply:
        """Do nothing; the reply still brings the pending events."""
        return self.send(".")

    # ------------------------------------------ the turtle module's names
    fd = forward
    bk = back
    lt = left
    rt = right
    seth = setheading
    setpos = setposition = goto
    pu = penup = up = pen_up
    pd = pendown = down = pen_down
    pensize = width
    pos = position


def _parse_colour(text: str) -> Colour:
    """A colour name or '#rrggbb' as (r, g, b) from 0 to 1."""
    s = text.strip().lower()
    if s in _COLOURS:
        return _COLOURS[s]
    if len(s) == 7 and s[0] == "#":
        try:
            return tuple(int(s[i:i + 2], 16) / 255.0 for i in (1, 3, 5))  # type: ignore[return-value]
        except ValueError:
            pass
    raise ValueError("unknown colour %r: use a name (%s) or '#rrggbb'"
                     % (text, ", ".join(sorted(_COLOURS))))
