// test_viewer.mjs -- the browser viewer against a running arena.
//
// Starts the real program (through tests/browser/arena_host.py), drives a few
// client turtles over the command port, opens the served page in Debian's
// chromium through playwright-core, and checks what a person would see: the
// scores of the turtles in their score elements, a drawn (not blank) 3D
// view, a camera that follows a turtle named in the page's path, and a
// viewer that carries on when the arena restarts. Screenshots are kept in
// BROWSER_ARTEFACTS (default: the working directory).
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import { mkdirSync } from "node:fs";
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
    const line = await nextLine(90000);
    if (line.trim() === "READY") return;
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

// Pixel statistics of a screenshot, decoded by the browser itself.
async function pixelStats(page, png) {
  return page.evaluate(async (b64) => {
    const img = new Image();
    img.src = "data:image/png;base64," + b64;
    await img.decode();
    const cv = document.createElement("canvas");
    cv.width = img.width;
    cv.height = img.height;
    const g = cv.getContext("2d");
    g.drawImage(img, 0, 0);
    const d = g.getImageData(0, 0, cv.width, cv.height).data;
    const colours = new Set();
    let notBackground = 0, brown = 0, green = 0;
    for (let i = 0; i < d.length; i += 4) {
      const [r, gr, b] = [d[i], d[i + 1], d[i + 2]];
      colours.add((r << 16) | (gr << 8) | b);
      if (Math.abs(r - 0x00) + Math.abs(gr - 0x20) + Math.abs(b - 0x40) > 24) notBackground++;
      if (r > 90 && r > gr + 25 && gr > b + 10) brown++; // turtle shells
      if (gr > r + 15 && gr > b && gr > 50) green++; // the field
    }
    return { pixels: d.length / 4, colours: colours.size, notBackground, brown, green };
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
  assert.ok(s.green > s.pixels * 0.2, `the field is drawn (${s.green})`);
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
  assert.ok(s.green > s.pixels * 0.2, "the field is still drawn");
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
