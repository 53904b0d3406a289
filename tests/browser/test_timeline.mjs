// test_timeline.mjs -- the viewer's replay timeline and a recording played
// in the page.
//
// tests/browser/replay_host.py records a short match and replays it in a
// headless arena. The page opened with the teacher's key shows the timeline
// and drives that replay (checked against the arena's own /control/state);
// the same recording opened through the page's file input plays without
// the arena and ends on the turtles the arena's replay shows; damaged files
// are refused with one line and a torn tail, dropped onto the page, still
// plays. Screenshots go to BROWSER_ARTEFACTS (default: the working
// directory).
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import { mkdirSync, readFileSync } from "node:fs";
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
const artefacts = process.env.BROWSER_ARTEFACTS || process.cwd();
mkdirSync(artefacts, { recursive: true });

let host = null, key = "", file = "", browser = null;

before(async () => {
  host = spawn("python3", [path.join(here, "replay_host.py")], {
    stdio: ["pipe", "pipe", "inherit"],
    env: process.env,
  });
  const lines = readline.createInterface({ input: host.stdout });
  const ready = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("the replay host said nothing")), 120000);
    lines.on("line", (line) => {
      if (!line.startsWith("READY ")) return;
      clearTimeout(timer);
      resolve(line.split(" "));
    });
    host.once("exit", () => reject(new Error("the replay host ended")));
  });
  [, key, file] = ready;
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking"],
  });
});

after(async () => {
  if (browser) await browser.close();
  if (host) await new Promise((resolve) => {
    host.once("exit", resolve);
    host.stdin.end("quit\n");
  });
});

// The arena's own word on its replay.
async function console_(method, action) {
  const res = await fetch(HTTP + "/control/" + action,
    { method, headers: { "X-Quillmere-Key": key } });
  assert.ok(res.ok, action + " answered " + res.status);
  return method === "GET" ? res.json() : null;
}
const arenaState = () => console_("GET", "state");

async function until(what, fn, timeoutMs = 15000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > deadline) throw new Error("timed out waiting for " + what);
    await new Promise((r) => setTimeout(r, 50));
  }
}

async function openPage(urlPath) {
  const page = await browser.newPage({ viewport: { width: 900, height: 700 } });
  const errors = [];
  page.on("pageerror", (e) => errors.push(String(e)));
  await page.goto(HTTP + urlPath);
  await page.waitForFunction(() => window.qmViewer && window.qmViewer.frames >= 5, null,
    { timeout: 60000 });
  return { page, errors };
}

const view = (page) => page.evaluate(() => ({ ...window.qmViewer.timeline }));

async function slideTo(page, tick) {
  await page.locator("#qm-timeline-slider").fill(String(tick));
}

test("the timeline drives the arena's replay", async () => {
  const { page, errors } = await openPage("/?key=" + key);
  await page.waitForSelector("#qm-panel-timeline", { state: "visible", timeout: 15000 });
  const { first_tick: first, ticks_total: last } = await arenaState();
  assert.ok(last - first > 300, `a recording of some length (${first}..${last})`);
  const shows = (t) => page.waitForFunction((x) => window.qmViewer.timeline.tick === x, t,
    { timeout: 5000 });
  const playing = async () => (await arenaState()).playing;

  // slower twice: a quarter of the recorded speed
  await page.click("#qm-timeline-slower");
  await until("half speed", async () => (await arenaState()).speed === 0.5);
  await page.click("#qm-timeline-slower");
  await until("quarter speed", async () => (await arenaState()).speed === 0.25);

  // from the start, playing: the tick moves; paused: it stays
  if (await playing()) {
    await page.click("#qm-timeline-play");
    await until("a pause", async () => !(await playing()));
  }
  await slideTo(page, first);
  await until("the first tick", async () => (await arenaState()).tick === first);
  await page.click("#qm-timeline-play");
  await until("the replay playing on", async () => (await arenaState()).tick > first + 5);
  await page.click("#qm-timeline-play");
  await until("a pause", async () => !(await playing()));
  const paused = (await arenaState()).tick;
  await page.waitForTimeout(600);
  assert.equal((await arenaState()).tick, paused, "a paused replay holds its tick");
  await shows(paused);
  assert.equal(await page.textContent("#qm-timeline-play"), "play");

  // a seek moves it there (the recording has a frame every tick by then)
  const mid = Math.round((first + last) / 2);
  await slideTo(page, mid);
  await until("the seek to " + mid, async () => (await arenaState()).tick === mid);

  // a frame back, and on from the first frame (the next one is ticks later)
  await shows(mid);
  await page.click("#qm-timeline-back");
  await until("a frame back", async () => (await arenaState()).tick === mid - 1);
  await slideTo(page, first);
  await until("the first tick again", async () => (await arenaState()).tick === first);
  await shows(first);
  await page.click("#qm-timeline-forward");
  await until("a frame on", async () => (await arenaState()).tick > first);
  await page.screenshot({ path: path.join(artefacts, "timeline-arena.png") });
  assert.deepEqual(errors, []);
  await page.close();
});

test("a recording opened in the page plays without the arena", async () => {
  const { page, errors } = await openPage("/");
  await page.setInputFiles("#qm-open-file", file);
  await page.waitForFunction(() => window.qmViewer.source === "file" &&
    window.qmViewer.turtles.filter((t) => t.alive).length === 2, null, { timeout: 15000 });
  const t0 = (await view(page)).tick;
  await page.waitForFunction((t) => window.qmViewer.timeline.tick > t, t0, { timeout: 5000 });
  await page.waitForSelector("#qm-panel-timeline", { state: "visible" });

  // to the end: the turtles the arena's replay shows at its last frame
  const { ticks_total: last } = await arenaState();
  await slideTo(page, last);
  await page.waitForFunction((t) => window.qmViewer.timeline.tick === t, last, { timeout: 10000 });
  await console_("POST", "seek?tick=" + last);
  await until("the arena at the end", async () => (await arenaState()).tick === last);
  const pick = (ts) => ts.filter((t) => t.alive).map((t) =>
    [t.tid, t.name, t.x.toFixed(6), t.y.toFixed(6), t.head.toFixed(6), t.score].join(" "));
  const fed = await (await fetch(HTTP + "/turtle")).json();
  assert.deepEqual(pick(await page.evaluate(() => window.qmViewer.turtles)), pick(fed));

  // the marks: ada's red line and bob's blue brush on the page's canvas
  const ink = await page.evaluate(() => {
    const cv = document.getElementById("qm-file-canvas");
    const d = cv.getContext("2d").getImageData(0, 0, cv.width, cv.height).data;
    let red = 0, blue = 0;
    for (let i = 0; i < d.length; i += 4) {
      if (d[i] > 200 && d[i + 1] < 60 && d[i + 2] < 60) red++;
      if (d[i + 2] > 200 && d[i] < 60) blue++;
    }
    return { red, blue };
  });
  assert.ok(ink.red > 300 && ink.blue > 300, `both marks painted (${JSON.stringify(ink)})`);
  await page.screenshot({ path: path.join(artefacts, "timeline-file.png") });
  assert.deepEqual(errors, []);
  await page.close();
});

test("a damaged file gets one clear line; a torn tail still plays", async () => {
  const { page, errors } = await openPage("/");
  const good = readFileSync(file);
  const firstBlock = 8 + good.readUInt16LE(6);
  const flipped = Buffer.from(good);
  flipped[firstBlock + 28] ^= 0xff; // a byte of the first block's packed data
  const cases = [
    ["garbage", Buffer.from("not a recording at all"), "not a recording of this arena"],
    ["version", Buffer.concat([good.subarray(0, 5), Buffer.from([2]), good.subarray(6)]),
      "a recording of another version"],
    ["checksum", flipped, "the recording is damaged (a block fails its checksum)"],
    ["header", good.subarray(0, 12), "the recording's header is cut short"],
  ];
  for (const [name, buffer, why] of cases) {
    await page.setInputFiles("#qm-open-file",
      { name: name + ".qrec", mimeType: "application/octet-stream", buffer });
    await page.waitForFunction((t) => document.getElementById("result").textContent === t,
      "cannot play " + name + ".qrec: " + why, { timeout: 10000 });
  }
  assert.equal(await page.evaluate(() => window.qmViewer.source), "arena");

  // this one dropped onto the page, as a person would
  const torn = good.subarray(0, good.length - 20);
  const dropped = await page.evaluateHandle((b64) => {
    const dt = new DataTransfer();
    dt.items.add(new File([Uint8Array.from(atob(b64), (ch) => ch.charCodeAt(0))], "torn.qrec"));
    return dt;
  }, torn.toString("base64"));
  await page.dispatchEvent("body", "drop", { dataTransfer: dropped });
  await page.waitForFunction(() => window.qmViewer.file.loads === 1, null, { timeout: 10000 });
  const f = await page.evaluate(() => ({ ...window.qmViewer.file }));
  assert.ok(f.torn > 0 && f.frames > 0 && f.error === "", JSON.stringify(f));
  await page.waitForFunction(() => window.qmViewer.turtles.some((t) => t.alive), null,
    { timeout: 10000 });
  assert.deepEqual(errors, []);
  await page.close();
});
