// test_viewer.mjs -- the browser viewer against a running arena.
//
// Starts the real program (through tests/browser/arena_host.py), drives a few
// client turtles over the command port, opens the served page in Debian's
// chromium through playwright-core, and checks what a person would see: the
// scores of the turtles in their score elements, a drawn (not blank) 3D
// view, a square a client paints on the field under the scene, a camera
// that follows a turtle named in the page's path, the teacher bar switching
// battle mode, and a viewer that carries on when the arena restarts. The
// arena runs headless. Screenshots are kept in BROWSER_ARTEFACTS (default:
// the working directory).
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import { mkdirSync, writeFileSync } from "node:fs";
import net from "node:net";
import path from "node:path";
import readline from "node:readline";
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, "..", "..");
const require = createRequire(path.join(repo, "web", "package.json"));
const { chromium } = require("playwright-core");

const HTTP = "http://127.0.0.1:2280";
const TCP_PORT = 2222;
const artefacts = process.env.BROWSER_ARTEFACTS || process.cwd();
mkdirSync(artefacts, { recursive: true });

// ------------------------------------------------------------- the arena

let host = null;
let hostLines = null;
let arenaKey = ""; // the teacher's key of the running arena

function nextLine(timeoutMs) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("arena host said nothing")), timeoutMs);
    hostLines.once("line", (line) => {
      clearTimeout(timer);
      resolve(line);
    });
  });
}

async function waitReady() {
  for (;;) {
    const m = /^READY (\S+)$/.exec((await nextLine(90000)).trim());
    if (m) {
      arenaKey = m[1];
      return;
    }
  }
}

async function startArena() {
  host = spawn("python3", [path.join(here, "arena_host.py")], {
    stdio: ["pipe", "pipe", "inherit"],
    env: process.env,
  });
  hostLines = readline.createInterface({ input: host.stdout });
  await waitReady();
}

async function restartArena() {
  host.stdin.write("restart\n");
  await waitReady();
}

function stopArena() {
  if (!host) return Promise.resolve();
  return new Promise((resolve) => {
    host.once("exit", resolve);
    host.stdin.end("quit\n");
  });
}

// ----------------------------------------------------- command clients

const hex = (s) => Buffer.from(s, "latin1").toString("hex");

// A command-port client: send one command, get its reply line.
function client() {
  return new Promise((resolve, reject) => {
    const sock = net.connect(TCP_PORT, "127.0.0.1");
    let buf = "";
    const waiting = [];
    sock.setEncoding("latin1");
    sock.on("data", (d) => {
      buf += d;
      let i;
      while ((i = buf.indexOf("\n")) >= 0) {
        const line = buf.slice(0, i);
        buf = buf.slice(i + 1);
        const w = waiting.shift();
        if (w) w(line);
      }
    });
    sock.once("error", reject);
    sock.once("connect", () => {
      sock.on("error", () => {}); // the arena may go away under the test
      resolve({
        send: (cmd) =>
          new Promise((res) => {
            waiting.push(res);
            sock.write(cmd + "\n");
          }),
        close: () => sock.destroy(),
      });
    });
  });
}

async function feed(p) {
  const res = await fetch(HTTP + p);
  assert.equal(res.status, 200);
  return JSON.parse(await res.text());
}

// ---------------------------------------------------------- the browser

let browser = null;
const turtles = [];

before(async () => {
  await startArena();
  const places = [
    ["ada", -120, 60],
    ["bob", 0, -80],
    ["cyd", 140, 100],
  ];
  for (const [name, x, y] of places) {
    const c = await client();
    assert.match(await c.send("N " + hex(name)), /(^| )OK @ /);
    assert.match(await c.send(`J ${x} ${y}`), /(^| )OK @ /);
    turtles.push({ name, c });
  }
  await turtles[1].c.send("F 1"); // one that has moved
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking"],
  });
});

after(async () => {
  if (browser) await browser.close();
  for (const t of turtles) t.c.close();
  await stopArena();
});

// Pixel statistics of a screenshot, decoded by the browser itself: the
// page's background, turtle shells, the field, and the box around the pure
// red pixels.
async function pixelStats(page, png) {
  return page.evaluate(async (b64) => {
    const pixelsOf = (img) => {
      const cv = document.createElement("canvas");
      cv.width = img.width;
      cv.height = img.height;
      const g = cv.getContext("2d");
      g.drawImage(img, 0, 0);
      return g.getImageData(0, 0, cv.width, cv.height).data;
    };
    const canvas = await createImageBitmap(await (await fetch("/canvas.png")).blob());
    const middle = 4 * ((canvas.height >> 1) * canvas.width + (canvas.width >> 1));
    const [fr, fg, fb] = pixelsOf(canvas).slice(middle, middle + 3);
    const img = new Image();
    img.src = "data:image/png;base64," + b64;
    await img.decode();
    const d = pixelsOf(img);
    const colours = new Set();
    let notBackground = 0, brown = 0, field = 0;
    const red = { n: 0, x0: img.width, y0: img.height, x1: -1, y1: -1 };
    for (let i = 0; i < d.length; i += 4) {
      const [r, gr, b] = [d[i], d[i + 1], d[i + 2]];
      colours.add((r << 16) | (gr << 8) | b);
      if (Math.abs(r - 0x00) + Math.abs(gr - 0x20) + Math.abs(b - 0x40) > 24) notBackground++;
      if (r > 90 && r > gr + 25 && gr > b + 10) brown++; // turtle shells
      // the field: in the canvas's colour, or plain green while there is no canvas
      if (Math.abs(r - fr) + Math.abs(gr - fg) + Math.abs(b - fb) <= 24 ||
        (gr > r + 15 && gr > b && gr > 50)) field++;
      if (r > 180 && gr < 70 && b < 70) {
        const x = (i / 4) % img.width, y = Math.floor(i / 4 / img.width);
        red.n++;
        red.x0 = Math.min(red.x0, x);
        red.x1 = Math.max(red.x1, x);
        red.y0 = Math.min(red.y0, y);
        red.y1 = Math.max(red.y1, y);
      }
    }
    return { pixels: d.length / 4, colours: colours.size, notBackground, brown, field, red };
  }, png.toString("base64"));
}

async function openViewer(urlPath) {
  const page = await browser.newPage({ viewport: { width: 900, height: 700 } });
  const errors = [];
  page.on("pageerror", (e) => errors.push(String(e)));
  await page.goto(HTTP + urlPath);
  await page.waitForFunction(() => window.qmViewer && window.qmViewer.polls >= 3 &&
    window.qmViewer.frames >= 10, null, { timeout: 60000 });
  return { page, errors };
}

test("the overview shows every turtle's score and a drawn field", async () => {
  const { page, errors } = await openViewer("/");
  const entries = (await feed("/turtle")).filter((e) => e.alive && e.type === 1);
  for (const t of turtles) {
    const e = entries.find((x) => x.name === t.name);
    assert.ok(e, "turtle " + t.name + " is in the feed");
    const reply = await t.c.send("Q S");
    const score = parseInt(reply, 10);
    assert.equal(score, e.score);
    await page.waitForFunction(
      ([id, text]) => (document.getElementById(id) || {}).textContent === text,
      ["score" + e.tid, `#${e.tid} ${t.name}: ${score}`], { timeout: 10000 });
  }
  await page.waitForTimeout(500); // textures in place
  const png = await page.screenshot({ path: path.join(artefacts, "viewer-overview.png") });
  const s = await pixelStats(page, png);
  assert.ok(s.colours > 100, `a drawn picture has many colours (${s.colours})`);
  assert.ok(s.notBackground > s.pixels * 0.3, `the field covers the view (${s.notBackground})`);
  assert.ok(s.field > s.pixels * 0.2, `the field is drawn in the canvas's colour (${s.field})`);
  assert.ok(s.brown > 150, `turtle shells are drawn (${s.brown})`);
  assert.deepEqual(errors, []);
  await page.close();
});

test("a turtle named in the page's path is followed", async () => {
  const entries = await feed("/turtle");
  const cyd = entries.find((e) => e.name === "cyd");
  for (const p of ["/cyd", "/~" + cyd.tid]) {
    const { page, errors } = await openViewer(p);
    await page.waitForFunction(() => window.qmViewer.camera.z0 === 10, null, { timeout: 10000 });
    const cam = await page.evaluate(() => window.qmViewer.camera);
    assert.equal(cam.x0, cyd.x);
    assert.equal(cam.y0, cyd.y);
    await page.screenshot({ path: path.join(artefacts, "viewer-follow.png") });
    assert.deepEqual(errors, []);
    await page.close();
  }
});

test("a square painted by a client appears on the viewer's field", async () => {
  const { page, errors } = await openViewer("/");
  await page.waitForFunction(() => window.qmViewer.canvas.loads >= 1, null, { timeout: 10000 });
  const before = (await pixelStats(page, await page.screenshot())).red;
  assert.ok(before.n < 20, `nothing red before (${before.n})`);
  const loads = await page.evaluate(() => window.qmViewer.canvas.loads);
  // clear of the other turtles: x 30 to 130, y -210 to -110
  const c = await client();
  for (const cmd of ["L", "W 5", "K 1 0 0", "J 30 -210", "T E", "P D"])
    assert.match(await c.send(cmd), /(^| )OK @ /, cmd);
  for (let i = 0; i < 4; i++) {
    assert.match(await c.send("F 100"), /(^| )OK @ /);
    assert.match(await c.send("T L 90"), /(^| )OK @ /);
  }
  assert.match(await c.send("P U"), /(^| )OK @ /);
  await page.waitForFunction((n) => window.qmViewer.canvas.loads > n, loads, { timeout: 10000 });
  // seen from above, the four sides make a hollow square on the screen
  let box = null;
  for (let i = 0; i < 20; i++) {
    const shot = path.join(artefacts, "viewer-square.png");
    box = (await pixelStats(page, await page.screenshot({ path: shot }))).red;
    if (box.n > 400) break;
    await page.waitForTimeout(250);
  }
  c.close();
  // the arena's own canvas beside the screenshot, to tell the two apart
  const canvasPng = Buffer.from(await (await fetch(HTTP + "/canvas.png")).arrayBuffer());
  writeFileSync(path.join(artefacts, "viewer-square-canvas.png"), canvasPng);
  const w = box.x1 - box.x0 + 1, h = box.y1 - box.y0 + 1;
  assert.ok(box.n > 400, `red pixels of the square (${box.n})`);
  assert.ok(w > 60 && Math.abs(w - h) <= 0.1 * w, `a square on the screen (${w} x ${h})`);
  assert.ok(box.n < 0.5 * w * h, `hollow (${box.n} of ${w * h})`);
  assert.deepEqual(errors, []);
  await page.close();
});

test("the teacher bar switches battle mode", async () => {
  const state = async () => {
    const res = await fetch(HTTP + "/control/state", { headers: { "X-Quillmere-Key": arenaKey } });
    assert.equal(res.status, 200);
    return res.json();
  };
  const { page, errors } = await openViewer("/?key=" + arenaKey);
  const button = page.locator('#qm-controls button[data-action="battle"]');
  assert.equal((await state()).battle, false);
  await button.click();
  await page.waitForFunction(() => window.qmViewer.teacher.actions === 1, null, { timeout: 10000 });
  assert.equal((await state()).battle, true);
  await page.waitForFunction((sel) => document.querySelector(sel).getAttribute("aria-pressed") === "true",
    '#qm-controls button[data-action="battle"]', { timeout: 10000 });
  await button.click(); // and off again for the tests after this one
  await page.waitForFunction(() => window.qmViewer.teacher.actions === 2, null, { timeout: 10000 });
  assert.equal((await state()).battle, false);
  assert.equal(await page.textContent("#qm-teacher-note"), "");
  assert.deepEqual(errors, []);
  await page.close();
});

test("the viewer waits through an arena restart and carries on", async () => {
  const { page, errors } = await openViewer("/");
  const before = await page.evaluate(() => ({ ...window.qmViewer, turtles: undefined }));
  await restartArena();
  // the arena came back without the turtles: the viewer picks that up
  await page.waitForFunction(() => window.qmViewer.turtles.length === 0, null, { timeout: 30000 });
  await page.waitForFunction(() => document.getElementById("result").textContent === "", null,
    { timeout: 10000 });
  const afterwards = await page.evaluate(() => window.qmViewer.polls);
  assert.ok(afterwards > before.polls);
  for (let i = 0; i < 30; i++)
    assert.equal(await page.textContent("#score" + i), "");
  const png = await page.screenshot({ path: path.join(artefacts, "viewer-restarted.png") });
  const s = await pixelStats(page, png);
  assert.ok(s.field > s.pixels * 0.2, "the field is still drawn");
  assert.deepEqual(errors, []);
  await page.close();
});

test("a name that breaks the turtle feed's JSON is still shown", async () => {
  const { page, errors } = await openViewer("/");
  const c = await client();
  turtles.push({ name: 'q"x\\', c });
  assert.match(await c.send("N " + hex('q"x\\')), /(^| )OK @ /);
  await page.waitForFunction(() => Array.from(document.querySelectorAll("span.qm-score"))
    .some((s) => s.textContent.endsWith(' q"x\\: 100')), null, { timeout: 10000 });
  const before = await page.evaluate(() => window.qmViewer.failures);
  await page.waitForTimeout(500);
  assert.equal(await page.evaluate(() => window.qmViewer.failures), before);
  assert.equal(await page.textContent("#result"), "");
  assert.deepEqual(errors, []);
  await page.close();
});
