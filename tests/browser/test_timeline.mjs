// test_timeline.mjs -- the page's timeline driving the arena's replay; the same
// file played in the page alone; damaged files refused, a torn tail played.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import path from "node:path";
import { HTTP, artefacts, launch, startHost, until, withPage } from "./common.mjs";

let host, key, file, browser;

before(async () => {
  host = startHost("replay");
  [key, file] = await host.ready();
  browser = await launch();
});

after(async () => {
  if (browser) await browser.close();
  if (host) await host.stop();
});

async function console_(method, action) {
  const res = await fetch(HTTP + "/control/" + action,
    { method, headers: { "X-Quillmere-Key": key } });
  assert.ok(res.ok, action + " answered " + res.status);
  return method === "GET" ? res.json() : null;
}
const arena = () => console_("GET", "state");
const arenaAt = (what, tick) => until(what, async () => (await arena()).tick === tick);
const shows = (page, tick) => page.waitForFunction((t) => window.qmViewer.timeline.tick === t,
  tick, { timeout: 10000 });
const slideTo = (page, tick) => page.locator("#qm-timeline-slider").fill(String(tick));

test("the timeline drives the arena's replay", () => withPage(browser, "/?key=" + key, async (page) => {
  await page.waitForSelector("#qm-panel-timeline", { state: "visible", timeout: 15000 });
  const { first_tick: first, ticks_total: last } = await arena();
  assert.ok(last - first > 300, `a recording of some length (${first}..${last})`);
  for (const speed of [0.5, 0.25]) { // slower twice
    await page.click("#qm-timeline-slower");
    await until(speed + " speed", async () => (await arena()).speed === speed);
    await page.waitForFunction((s) => window.qmViewer.timeline.speed === s, speed);
  }
  if ((await arena()).playing) await page.click("#qm-timeline-play");
  await until("a pause", async () => !(await arena()).playing);
  await slideTo(page, first);
  await arenaAt("the first tick", first);
  await page.click("#qm-timeline-play"); // playing, the tick moves; paused, it stays
  await until("the replay playing on", async () => (await arena()).tick > first + 5);
  await page.click("#qm-timeline-play");
  await until("a pause", async () => !(await arena()).playing);
  const paused = (await arena()).tick;
  await shows(page, paused);
  assert.equal((await arena()).tick, paused, "a paused replay holds its tick");
  assert.equal(await page.textContent("#qm-timeline-play"), "play");
  const mid = Math.round((first + last) / 2); // a seek, and a frame back
  await slideTo(page, mid);
  await arenaAt("the seek to " + mid, mid);
  await shows(page, mid);
  await page.click("#qm-timeline-back");
  await arenaAt("a frame back", mid - 1);
  await slideTo(page, first); // and on from the first frame (the next is ticks later)
  await arenaAt("the first tick again", first);
  await page.click("#qm-timeline-forward");
  await until("a frame on", async () => (await arena()).tick > first);
}));

test("a recording opened in the page plays without the arena", () => withPage(browser, "/", async (page) => {
  await page.setInputFiles("#qm-open-file", file);
  await page.waitForFunction(() => window.qmViewer.source === "file" &&
    window.qmViewer.turtles.filter((t) => t.alive).length === 2, null, { timeout: 15000 });
  // to the end: the turtles the arena's replay shows at its last frame
  const { ticks_total: last } = await arena();
  await slideTo(page, last);
  await shows(page, last);
  await console_("POST", "seek?tick=" + last);
  await arenaAt("the arena at the end", last);
  const pick = (ts) => ts.filter((t) => t.alive).map((t) =>
    [t.tid, t.name, t.x.toFixed(6), t.y.toFixed(6), t.head.toFixed(6), t.score].join(" "));
  const fed = await (await fetch(HTTP + "/turtle")).json();
  assert.deepEqual(pick(await page.evaluate(() => window.qmViewer.turtles)), pick(fed));
  const ink = await page.evaluate(() => { // ada's red line and bob's blue brush
    const cv = document.getElementById("qm-file-canvas");
    const d = cv.getContext("2d").getImageData(0, 0, cv.width, cv.height).data;
    const ink = { red: 0, blue: 0 };
    for (let i = 0; i < d.length; i += 4) {
      if (d[i] > 200 && d[i + 1] < 60 && d[i + 2] < 60) ink.red++;
      if (d[i + 2] > 200 && d[i] < 60) ink.blue++;
    }
    return ink;
  });
  await page.screenshot({ path: path.join(artefacts, "timeline-file.png") });
  assert.ok(ink.red > 300 && ink.blue > 300, `both marks painted (${JSON.stringify(ink)})`);
}));

test("a damaged file gets one clear line; a torn tail still plays", () => withPage(browser, "/", async (page) => {
  const good = readFileSync(file);
  const flipped = Buffer.from(good);
  flipped[8 + good.readUInt16LE(6) + 28] ^= 0xff; // a byte of the first block's packed data
  for (const [name, buffer, why] of [
    ["garbage", Buffer.from("not a recording at all"), "not a recording of this arena"],
    ["version", Buffer.concat([good.subarray(0, 5), Buffer.from([2]), good.subarray(6)]),
      "a recording of another version"],
    ["checksum", flipped, "the recording is damaged (a block fails its checksum)"],
    ["header", good.subarray(0, 12), "the recording's header is cut short"]]) {
    await page.setInputFiles("#qm-open-file",
      { name: name + ".qrec", mimeType: "application/octet-stream", buffer });
    await page.waitForFunction((t) => document.getElementById("result").textContent === t,
      "cannot play " + name + ".qrec: " + why, { timeout: 10000 });
  }
  assert.equal(await page.evaluate(() => window.qmViewer.source), "arena");
  const dropped = await page.evaluateHandle((b64) => { // as a person drops it
    const dt = new DataTransfer();
    dt.items.add(new File([Uint8Array.from(atob(b64), (ch) => ch.charCodeAt(0))], "torn.qrec"));
    return dt;
  }, good.subarray(0, good.length - 20).toString("base64"));
  await page.dispatchEvent("body", "drop", { dataTransfer: dropped });
  await page.waitForFunction(() => window.qmViewer.file.loads === 1, null, { timeout: 10000 });
  const f = await page.evaluate(() => ({ ...window.qmViewer.file }));
  assert.ok(f.torn > 0 && f.frames > 0 && f.error === "", JSON.stringify(f));
  await page.waitForFunction(() => window.qmViewer.turtles.some((t) => t.alive), null,
    { timeout: 10000 });
}));
