// quillmere -- drive a turtle in a Quill Mere arena from Node.js.
//
// One connection is one turtle. Every verb sends one command and returns a
// promise of its answer: motion gives true (done) or false (refused),
// queries give values. Replies come back in order, so verbs may be called
// without awaiting each one. Events that a reply carries (hit, bumped,
// coin near, ...) are emitted by the Turtle, an EventEmitter. Anything that
// goes wrong on the connection rejects with an ArenaError whose `code` says
// what: 'unreachable', 'closed', 'timeout' or 'malformed'.

import net from 'node:net';
import { EventEmitter } from 'node:events';

export const DEFAULT_HOST = '127.0.0.1';
export const DEFAULT_PORT = 2222;
export const MAX_TEXT = 128; // hexadecimal text the arena decodes, in bytes
export const MAX_NAME = 127; // bytes of a name the arena keeps after "N "
export const MAX_PRINT = 127; // bytes of a printed text
const MAX_REPLY = 4096; // a reply is far shorter; longer means garbage

export const EVENTS = Object.freeze({
  hit: 0x1,
  bumpTurtle: 0x2,
  bumpDoughnut: 0x4,
  bumpStone: 0x8,
  bumpWall: 0x10,
  coin: 0x20,
  finder: 0x40,
  radar: 0x80,
  teamMsg: 0x100,
});
export const EV_ALL = 0xffffffff;

export const CLOSED_TEXT =
  'the arena closed the connection: the field may be full, or your turtle was killed';

const HEADINGS = { east: 'E', north: 'N', west: 'W', south: 'S', e: 'E', n: 'N', w: 'W', s: 'S' };

const COLOURS = {
  black: [0, 0, 0], white: [1, 1, 1], red: [1, 0, 0], green: [0, 0.5, 0], lime: [0, 1, 0],
  blue: [0, 0, 1], yellow: [1, 1, 0], cyan: [0, 1, 1], magenta: [1, 0, 1],
  orange: [1, 0.65, 0], purple: [0.5, 0, 0.5], pink: [1, 0.75, 0.8],
  brown: [0.65, 0.16, 0.16], grey: [0.5, 0.5, 0.5], gray: [0.5, 0.5, 0.5],
};

/** An error on the connection; `code` is 'unreachable', 'closed', 'timeout' or 'malformed'. */
export class ArenaError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'ArenaError';
    this.code = code;
  }
}

/** The longest prefix of at most `limit` bytes that does not split a UTF-8 character. */
export function utf8Cut(bytes, limit) {
  if (bytes.length <= limit) return bytes;
  let n = limit;
  while (n > 0 && (bytes[n] & 0xc0) === 0x80) n--; // bytes[n] continues a character
  return bytes.subarray(0, n);
}

/** Text (string as UTF-8, or bytes) as hexadecimal text, cut at `limit` bytes. */
export function toHex(text, limit = MAX_TEXT) {
  const bytes = typeof text === 'string' ? Buffer.from(text, 'utf8') : Buffer.from(text);
  return utf8Cut(bytes, limit).toString('hex');
}

/** Hexadecimal text (blanks between pairs allowed) as a Buffer. */
export function fromHex(hex) {
  return Buffer.from(hex.replace(/ /g, ''), 'hex');
}

/** Names of the event bits set in `bits`, e.g. ['hit', 'coin']. */
export function eventNames(bits) {
  return Object.keys(EVENTS).filter((k) => bits & EVENTS[k]);
}

/** Parses one reply line ('payload OK @ ticks events'); throws ArenaError 'malformed'. */
export function parseReply(line) {
  const text = line.replace(/\n$/, '');
  const m = /^(?:(.*) )?(OK|ERR) @ (\d+) (\d+)$/s.exec(text);
  if (!m) throw new ArenaError('malformed', `malformed reply: ${JSON.stringify(line)}`);
  const payload = m[1] ?? '';
  return {
    line,
    payload,
    fields: payload.split(' ').filter((f) => f !== ''),
    ok: m[2] === 'OK',
    ticks: Number(m[3]),
    events: Number(m[4]),
  };
}

function num(x) {
  const n = Number(x);
  if (Number.isNaN(n)) throw new TypeError(`not a number: ${x}`);
  return String(n);
}

function field(reply, i, parse) {
  const f = reply.fields[i];
  const v = f === undefined ? NaN : parse(f);
  if (Number.isNaN(v)) {
    throw new ArenaError('malformed', `reply ${JSON.stringify(reply.line)} has no number in field ${i}`);
  }
  return v;
}
const real = (r, i = 0) => field(r, i, Number);
const int = (r, i = 0) => field(r, i, (f) => (/^-?\d+$/.test(f) ? Number(f) : NaN));

function parseColour(text) {
  const s = text.trim().toLowerCase();
  if (COLOURS[s]) return COLOURS[s];
  if (/^#[0-9a-f]{6}$/.test(s)) return [1, 3, 5].map((i) => parseInt(s.slice(i, i + 2), 16) / 255);
  throw new TypeError(`unknown colour ${text}: use a name (${Object.keys(COLOURS).join(', ')}) or '#rrggbb'`);
}

/** Your turtle in the arena. Make one with `connect()`. */
export class Turtle extends EventEmitter {
  constructor(socket, timeout) {
    super();
    this.socket = socket;
    this.timeout = timeout;
    this.events = 0; // OR of every event seen since takeEvents()
    this.last = null; // the last reply
    this._pending = []; // { resolve, reject, timer } in the order sent
    this._buf = '';
    this._broken = null;
    this._colour = [1, 0, 0];
    this._penSize = 1;
    socket.setEncoding('latin1');
    socket.setNoDelay(true);
    socket.on('data', (chunk) => this._data(chunk));
    socket.on('error', () => this._fail(new ArenaError('closed', CLOSED_TEXT)));
    socket.on('close', () => this._fail(new ArenaError('closed', CLOSED_TEXT)));
    // NOTE: an idle connection does not keep Node running: a script that
    // forgets close() still ends, and its turtle stays as a zombie.
    socket.unref();
  }

  _data(chunk) {
    this._buf += chunk;
    let nl;
    while ((nl = this._buf.indexOf('\n')) >= 0) {
      const line = this._buf.slice(0, nl + 1);
      this._buf = this._buf.slice(nl + 1);
      let reply;
      try {
        reply = parseReply(line);
      } catch (e) {
        this._fail(e);
        return;
      }
      const p = this._pending.shift();
      if (!p) {
        this._fail(new ArenaError('malformed', `a reply nobody asked for: ${JSON.stringify(line)}`));
        return;
      }
      clearTimeout(p.timer);
      if (this._pending.length === 0) this.socket.unref();
      this.events |= reply.events;
      this.last = reply;
      if (reply.events) this._emitEvents(reply);
      p.resolve(reply);
    }
    if (this._buf.length > MAX_REPLY) {
      this._fail(new ArenaError('malformed', `a reply longer than ${MAX_REPLY} bytes`));
    }
  }

  _emitEvents(reply) {
    this.emit('events', reply.events, reply);
    for (const name of eventNames(reply.events)) this.emit(name, reply);
  }

  _fail(err) {
    // NOTE: after a time-out or a garbled line the replies are out of step
    // with the commands, so the connection is given up altogether.
    if (!this._broken) this._broken = err;
    const pending = this._pending;
    this._pending = [];
    for (const p of pending) {
      clearTimeout(p.timer);
      p.reject(this._broken);
    }
    this.socket.destroy();
  }

  /** Sends one command (a line end is added); resolves to its reply. */
  send(cmd) {
    if (/[\n;]/.test(cmd)) return Promise.reject(new TypeError('one command: no ";" or line end'));
    return this._sendLines([cmd])[0];
  }

  /** Sends several commands in one write; resolves to their replies. */
  sendMany(cmds) {
    return Promise.all(this._sendLines(cmds));
  }

  _sendLines(cmds) {
    if (this._broken) return cmds.map(() => Promise.reject(this._broken));
    const promises = cmds.map(
      () =>
        new Promise((resolve, reject) => {
          const timer = setTimeout(() => {
            this._fail(new ArenaError('timeout', `the arena did not answer within ${this.timeout / 1000} s`));
          }, this.timeout);
          this._pending.push({ resolve, reject, timer });
        }),
    );
    this.socket.ref();
    this.socket.write(cmds.map((c) => c + '\n').join(''), 'latin1');
    return promises;
  }

  /** Hangs up; the turtle stays on the field as a zombie. */
  close() {
    this.socket.end();
    this.socket.unref();
  }

  /** The collected event bits; collecting starts afresh. */
  takeEvents() {
    const ev = this.events;
    this.events = 0;
    return ev;
  }

  async _ok(cmd) {
    return (await this.send(cmd)).ok;
  }

  // ------------------------------------------------------------- motion
  /** Steps d units along the heading. */
  forward(d) { return this._ok(`F ${num(d)}`); }
  /** Steps d units backwards. */
  back(d) { return this._ok(`B ${num(d)}`); }
  /** Turns a degrees counter-clockwise. */
  left(a) { return this._ok(`T L ${num(a)}`); }
  /** Turns a degrees clockwise. */
  right(a) { return this._ok(`T R ${num(a)}`); }
  /** Faces 'east', 'north', 'west' or 'south' (not in battle mode). */
  head(direction) {
    const d = HEADINGS[String(direction).toLowerCase()];
    if (!d) return Promise.reject(new TypeError(`no such direction: ${direction}`));
    return this._ok(`T ${d}`);
  }
  /** Faces `angle` degrees (0 east, counter-clockwise), turning the short way. */
  async setHeading(angle) {
    let turn = (((Number(angle) - (await this.heading())) % 360) + 360) % 360;
    if (turn > 180) turn -= 360;
    return turn === 0 ? true : this.left(turn);
  }
  /** Jumps to (x, y), drawn when the pen is down; refused in battle mode or near another turtle. */
  jump(x, y) { return this._ok(`J ${num(x)} ${num(y)}`); }
  /** goto(x, y) or goto([x, y]): the same as jump. */
  goto(x, y) { return Array.isArray(x) ? this.jump(x[0], x[1]) : this.jump(x, y); }
  /** Jumps by (dx, dy). */
  rjump(dx, dy) { return this._ok(`G ${num(dx)} ${num(dy)}`); }
  /** Back to the origin facing east with everything as new (not in battle mode). */
  async reset(step = 0) {
    const ok = await this._ok(`C ${num(step)}`);
    if (ok) [this._colour, this._penSize] = [[1, 0, 0], 1];
    return ok;
  }
  /** Back to the origin facing east, keeping pen and colours. */
  home() { return this._ok('C H'); }

  // ---------------------------------------------------------------- pen
  penDown() { return this._ok('P D'); }
  penUp() { return this._ok('P U'); }
  /** Pen colour, components 0..1. */
  async color(r, g, b) {
    const ok = await this._ok(`K ${num(r)} ${num(g)} ${num(b)}`);
    if (ok) this._colour = [Number(r), Number(g), Number(b)];
    return ok;
  }
  /** penColor() gives the colour; penColor(r, g, b), ([r, g, b]), ('orange') or ('#ff8000') set it. */
  penColor(...args) {
    if (args.length === 0) return Promise.resolve([...this._colour]);
    if (args.length === 1) args = typeof args[0] === 'string' ? parseColour(args[0]) : [...args[0]];
    if (args.length !== 3) return Promise.reject(new TypeError('a colour is three numbers from 0 to 1'));
    return this.color(...args);
  }
  /** Line width; width() alone gives the current one. */
  async width(w) {
    if (w === undefined) return this._penSize;
    const ok = await this._ok(`W ${num(w)}`);
    if (ok) this._penSize = Number(w);
    return ok;
  }
  lineMode() { return this._ok('L'); }
  fillMode() { return this._ok('L S'); }
  pointMode() { return this._ok('L P'); }
  brushMode() { return this._ok('L B'); }
  /** Prints text at the turtle (cut at 127 bytes of UTF-8). */
  printText(text) { return this._ok(`S ${toHex(text, MAX_PRINT)}`); }
  /** Prints String(arg) at the turtle. */
  write(arg) { return this.printText(typeof arg === 'string' ? arg : String(arg)); }
  /** Names the turtle (cut at 127 bytes of UTF-8). */
  name(text) { return this._ok(`N ${toHex(text, MAX_NAME)}`); }

  // ---------------------------------------------------------- team talk
  /** Joins team 1..4. */
  team(n) { return this._ok(`I ${Math.trunc(Number(n))}`); }
  /** Your team number (0: none). */
  async myTeam() { return int(await this.send('Q M')); }
  /** Writes a line to your team's board (printable ASCII without ';'). */
  say(message) {
    if (!/^[ -:<-~]*$/.test(message)) {
      return Promise.reject(new TypeError('a team message is printable ASCII without ";"'));
    }
    return this._ok(`U ${message}`);
  }
  /** Your team board as [time written, text]. */
  async board() {
    const r = await this.send('Q B');
    const sp = r.payload.indexOf(' ');
    const time = Number(sp < 0 ? r.payload : r.payload.slice(0, sp));
    if (!/^\d+/.test(r.payload)) throw new ArenaError('malformed', `board reply ${JSON.stringify(r.line)} has no time`);
    return [time, sp < 0 ? '' : r.payload.slice(sp + 1)];
  }

  // ------------------------------------------------------------ queries
  async position() {
    const r = await this.send('Q P');
    return [real(r, 0), real(r, 1)];
  }
  async xcor() { return (await this.position())[0]; }
  async ycor() { return (await this.position())[1]; }
  /** Heading in degrees (0 east, 90 north; never wrapped). */
  async heading() { return real(await this.send('Q D')); }
  async alive() { return int(await this.send('Q A')) === 1; }
  async score() { return int(await this.send('Q S')); }
  async ticks() { return int(await this.send('Q T')); }
  /** Entries on the field: turtles, zombies, robots, doughnuts, stones. */
  async nTurtles() { return int(await this.send('Q N')); }

  // ---------------------------------------------------- sensors and gun
  fire() { return this._ok('X'); }
  /** [kind, team] straight ahead: kind 0 none, 1 turtle, 2 doughnut, 3 stone, 4 wall. */
  async finder() {
    const r = await this.send('Q F');
    return [int(r, 0), int(r, 1)];
  }
  finderRange(r) { return this._ok(`E ${num(r)}`); }
  /** [left, front, right]: 1 where something is close. */
  async sonar() {
    const r = await this.send('Q W');
    return [int(r, 0), int(r, 1), int(r, 2)];
  }
  /** [direction, team] of the rank-th nearest entry (1..5), relative to the heading; null if none. */
  async radar(rank = 1) {
    const r = await this.send(`Q R ${Math.trunc(Number(rank))}`);
    return r.ok ? [real(r, 0), int(r, 1)] : null;
  }

  // -------------------------------------------------------------- coins
  pickCoin() { return this._ok('O'); }
  dropCoin() { return this._ok('O S'); }
  borrowCoins() { return this._ok('O B'); }
  scatterCoin() { return this._ok('O X'); }
  async coinsNear() { return int(await this.send('Q C')); }
  async coinsCarried() { return int(await this.send('Q O')); }

  // ----------------------------------------------------- field and misc
  doughnut() { return this._ok('D'); }
  robot() { return this._ok('R'); }
  enableEvents(bits = EV_ALL) { return this._ok(`Y + ${bits >>> 0}`); }
  disableEvents(bits) { return this._ok(`Y - ${bits >>> 0}`); }
  battle(on = true) { return this._ok(on ? '!' : '! -'); }
  clear() { return this._ok('C F'); }
  clearZombies() { return this._ok('C A'); }
  fieldColor(r, g, b) { return this._ok(`H ${num(r)} ${num(g)} ${num(b)}`); }
  /** Does nothing; the reply still brings pending events. */
  nop() { return this.send('.'); }
}

// the names of Python's turtle module
const P = Turtle.prototype;
Object.assign(P, {
  fd: P.forward, bk: P.back, lt: P.left, rt: P.right,
  setheading: P.setHeading, seth: P.setHeading,
  setpos: P.goto, setposition: P.goto,
  pu: P.penUp, penup: P.penUp, up: P.penUp,
  pd: P.penDown, pendown: P.penDown, down: P.penDown,
  pencolor: P.penColor, pensize: P.width, penSize: P.width, pos: P.position,
});

function envPort(port) {
  if (port !== undefined && port !== null) return Number(port);
  const text = process.env.QMERE_PORT;
  if (!text) return DEFAULT_PORT;
  const n = Number(text);
  if (!Number.isInteger(n)) throw new ArenaError('unreachable', `QMERE_PORT=${text} is not a port number`);
  return n;
}

/**
 * Connects to the arena; resolves to your Turtle.
 * host/port default to QMERE_HOST/QMERE_PORT, else 127.0.0.1:2222; timeout in ms (10000).
 */
export function connect({ host, port, timeout = 10000 } = {}) {
  const h = host || process.env.QMERE_HOST || DEFAULT_HOST;
  let p;
  try {
    p = envPort(port);
  } catch (e) {
    return Promise.reject(e);
  }
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host: h, port: p });
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new ArenaError('timeout', `no answer from the arena at ${h}:${p} within ${timeout / 1000} s`));
    }, timeout);
    socket.once('error', (e) => {
      clearTimeout(timer);
      reject(new ArenaError('unreachable', `cannot connect to the arena at ${h}:${p} (${e.code || e.message}): is it running?`));
    });
    socket.once('connect', () => {
      clearTimeout(timer);
      socket.removeAllListeners('error');
      resolve(new Turtle(socket, timeout));
    });
  });
}

export default connect;
