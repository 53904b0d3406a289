// Type declarations of the quillmere package (index.js).

import { EventEmitter } from 'node:events';
import { Socket } from 'node:net';

export const DEFAULT_HOST: string;
export const DEFAULT_PORT: number;
export const MAX_TEXT: number;
export const MAX_NAME: number;
export const MAX_PRINT: number;
export const EV_ALL: number;
export const CLOSED_TEXT: string;

export type EventName =
  | 'hit' | 'bumpTurtle' | 'bumpDoughnut' | 'bumpStone' | 'bumpWall'
  | 'coin' | 'finder' | 'radar' | 'teamMsg';

/** Event bits by name, as carried in the last field of a reply. */
export const EVENTS: Readonly<Record<EventName, number>>;

export type ArenaErrorCode = 'unreachable' | 'closed' | 'timeout' | 'malformed';

/** An error on the connection; `code` says what happened. */
export class ArenaError extends Error {
  constructor(code: ArenaErrorCode, message: string);
  code: ArenaErrorCode;
}

/** One reply line: 'payload OK @ ticks events'. */
export interface Reply {
  line: string;
  payload: string;
  fields: string[];
  ok: boolean;
  ticks: number;
  events: number;
}

export type Colour = [number, number, number];

export function utf8Cut(bytes: Uint8Array, limit: number): Uint8Array;
export function toHex(text: string | Uint8Array, limit?: number): string;
export function fromHex(hex: string): Buffer;
export function eventNames(bits: number): EventName[];
export function parseReply(line: string): Reply;

export interface ConnectOptions {
  /** Default: QMERE_HOST, else 127.0.0.1. */
  host?: string;
  /** Default: QMERE_PORT, else 2222. */
  port?: number;
  /** Milliseconds a reply may take (10000). */
  timeout?: number;
}

export function connect(options?: ConnectOptions): Promise<Turtle>;
export default connect;

export interface Turtle {
  on(event: EventName, listener: (reply: Reply) => void): this;
  on(event: 'events', listener: (bits: number, reply: Reply) => void): this;
  once(event: EventName, listener: (reply: Reply) => void): this;
  once(event: 'events', listener: (bits: number, reply: Reply) => void): this;
}

/** Your turtle in the arena; make one with connect(). */
export class Turtle extends EventEmitter {
  constructor(socket: Socket, timeout: number);
  socket: Socket;
  timeout: number;
  /** OR of the event bits seen since takeEvents(). */
  events: number;
  last: Reply | null;

  send(cmd: string): Promise<Reply>;
  sendMany(cmds: string[]): Promise<Reply[]>;
  close(): void;
  takeEvents(): number;

  forward(d: number): Promise<boolean>;
  fd(d: number): Promise<boolean>;
  back(d: number): Promise<boolean>;
  bk(d: number): Promise<boolean>;
  left(a: number): Promise<boolean>;
  lt(a: number): Promise<boolean>;
  right(a: number): Promise<boolean>;
  rt(a: number): Promise<boolean>;
  head(direction: 'east' | 'north' | 'west' | 'south'): Promise<boolean>;
  setHeading(angle: number): Promise<boolean>;
  setheading(angle: number): Promise<boolean>;
  seth(angle: number): Promise<boolean>;
  jump(x: number, y: number): Promise<boolean>;
  goto(x: number, y: number): Promise<boolean>;
  goto(xy: [number, number]): Promise<boolean>;
  setpos(x: number, y: number): Promise<boolean>;
  setposition(x: number, y: number): Promise<boolean>;
  rjump(dx: number, dy: number): Promise<boolean>;
  reset(step?: number): Promise<boolean>;
  home(): Promise<boolean>;

  penDown(): Promise<boolean>;
  pendown(): Promise<boolean>;
  pd(): Promise<boolean>;
  down(): Promise<boolean>;
  penUp(): Promise<boolean>;
  penup(): Promise<boolean>;
  pu(): Promise<boolean>;
  up(): Promise<boolean>;
  color(r: number, g: number, b: number): Promise<boolean>;
  penColor(): Promise<Colour>;
  penColor(r: number, g: number, b: number): Promise<boolean>;
  penColor(colour: Colour | string): Promise<boolean>;
  pencolor(): Promise<Colour>;
  pencolor(r: number, g: number, b: number): Promise<boolean>;
  pencolor(colour: Colour | string): Promise<boolean>;
  width(): Promise<number>;
  width(w: number): Promise<boolean>;
  pensize(): Promise<number>;
  pensize(w: number): Promise<boolean>;
  penSize(): Promise<number>;
  penSize(w: number): Promise<boolean>;
  lineMode(): Promise<boolean>;
  fillMode(): Promise<boolean>;
  pointMode(): Promise<boolean>;
  brushMode(): Promise<boolean>;
  printText(text: string | Uint8Array): Promise<boolean>;
  write(arg: unknown): Promise<boolean>;
  name(text: string | Uint8Array): Promise<boolean>;

  team(n: number): Promise<boolean>;
  myTeam(): Promise<number>;
  say(message: string): Promise<boolean>;
  board(): Promise<[number, string]>;

  position(): Promise<[number, number]>;
  pos(): Promise<[number, number]>;
  xcor(): Promise<number>;
  ycor(): Promise<number>;
  heading(): Promise<number>;
  alive(): Promise<boolean>;
  score(): Promise<number>;
  ticks(): Promise<number>;
  nTurtles(): Promise<number>;

  fire(): Promise<boolean>;
  finder(): Promise<[number, number]>;
  finderRange(r: number): Promise<boolean>;
  sonar(): Promise<[number, number, number]>;
  radar(rank?: number): Promise<[number, number] | null>;

  pickCoin(): Promise<boolean>;
  dropCoin(): Promise<boolean>;
  borrowCoins(): Promise<boolean>;
  scatterCoin(): Promise<boolean>;
  coinsNear(): Promise<number>;
  coinsCarried(): Promise<number>;

  doughnut(): Promise<boolean>;
  robot(): Promise<boolean>;
  enableEvents(bits?: number): Promise<boolean>;
  disableEvents(bits: number): Promise<boolean>;
  battle(on?: boolean): Promise<boolean>;
  clear(): Promise<boolean>;
  clearZombies(): Promise<boolean>;
  fieldColor(r: number, g: number, b: number): Promise<boolean>;
  nop(): Promise<Reply>;
}
