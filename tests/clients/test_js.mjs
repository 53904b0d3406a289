// The JavaScript client against a real arena (see with_arena.py): the shared
// cases, errors naming what happened, text cut whole, events.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { readFileSync } from 'node:fs';
import { connect, toHex, ArenaError } from '../../clients/js/index.js';

const { cases } = JSON.parse(readFileSync(new URL('./protocol_cases.json', import.meta.url)));
const camel = (name) => name.replace(/_(.)/g, (_, c) => c.toUpperCase());

function matches(want, got) {
  if (want === '*') return true;
  if (typeof want === 'number') return typeof got === 'number' && Math.abs(want - got) <= 1e-6;
  if (Array.isArray(want)) return Array.isArray(got) && want.length === got.length && want.every((w, i) => matches(w, got[i]));
  return want === got;
}

// The port of a listener answering every line with `answer`: null for no
// answer at all, '' to close the connection at once.
async function fakeArena(answer) {
  const server = net.createServer((c) => {
    server.close();
    if (answer === '') c.destroy();
    else c.on('data', () => answer && c.write(answer));
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return server.address().port;
}

test('shared protocol cases', async () => { // first: the turtle is alone on the field
  const t = await connect();
  for (const c of cases) {
    assert.match((await t.send(c.send)).line, new RegExp(`^${c.reply} @ \\d+ \\d+\\n$`), c.send);
    if (c.call) {
      const got = await t[camel(c.call[0])](...c.call.slice(1));
      assert.ok(matches(c.result, got), `${c.call} gave ${JSON.stringify(got)}`);
    }
  }
  t.close();
});

test('errors name what happened', async () => {
  const port = await fakeArena(null); // closed once it took its one connection
  await new Promise((r) => net.connect(port, '127.0.0.1', r).end());
  await assert.rejects(connect({ port }), { code: 'unreachable', message: new RegExp(`cannot connect.*:${port}`) });
  for (const [answer, code, text] of [['', 'closed', /the arena closed/], [null, 'timeout', /did not answer/],
    ['hello\n', 'malformed', /malformed reply/]]) {
    const t = await connect({ port: await fakeArena(answer), timeout: 500 });
    await assert.rejects(t.forward(1), (e) => e instanceof ArenaError && e.code === code && text.test(e.message));
    await assert.rejects(t.nop(), { code }, 'the connection stays given up');
  }
});

test('text is cut without splitting a character', () => {
  for (const [text, limit, bytes] of [['x'.repeat(300), 128, 128], ['é'.repeat(100), 127, 126], ['aé'.repeat(100), 127, 127], ['€'.repeat(50), 127, 126]]) {
    const hex = toHex(text, limit);
    assert.equal(hex.length, 2 * bytes, text.slice(0, 4));
    assert.doesNotThrow(() => new TextDecoder('utf-8', { fatal: true }).decode(Buffer.from(hex, 'hex')));
  }
});

test('events are emitted by the turtle', async () => {
  const [a, b] = [await connect(), await connect()];
  assert.ok((await a.jump(-100, 100)) && (await b.jump(-70, 100)) && (await a.setHeading(0)));
  const seen = [];
  a.on('bumpTurtle', (reply) => seen.push(reply.events));
  assert.equal(await a.forward(15), false); // b is in the way
  assert.deepEqual(seen, [2]);
  a.close();
  b.close();
});
