// test_viewer.mjs -- the browser viewer as a person sees it: scores and a drawn
// field, a followed turtle, a painted square, the teacher bar, an arena restart.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import path from "node:path";
import { connect } from "../../clients/js/index.js";
import { HTTP, artefacts, launch, startHost, until, withPage } from "./common.mjs";

let host, key, browser;
const turtles = [];

before(async () => {
  host = startHost("live");
  [key] = await host.ready();
  for (const [name, x, y] of [["ada", -120, 60], ["bob", 0, -80], ["cyd", 140, 100],
    ['q"x\\', 100, -150]]) {
    const c = await connect();
    assert.ok(await c.name(name) && await c.jump(x, y));
    turtles.push({ name, c });
  }
  browser = await launch();
});

after(async () => {
  if (browser) await browser.close();
  turtles.forEach((t) => t.c.close());
  if (host) await host.stop();
});

// Pixel counts of a screenshot: not the page's background, turtle shells
// (brown), and the box of pure red pixels.
async function pixelStats(page, file) {
  const png = await page.screenshot({ path: path.join(artefacts, file) });
  return page.evaluate(async (b64) => {
    const img = Object.assign(new Image(), { src: "data:image/png;base64," + b64 });
    await img.decode();
    const g = Object.assign(document.createElement("canvas"),
      { width: img.width, height: img.height }).getContext("2d");
    g.drawImage(img, 0, 0);
    const d = g.getImageData(0, 0, img.width, img.height).data, w = img.width, colours = new Set();
    const s = { pixels: d.length / 4, notBackground: 0, brown: 0,
      red: { n: 0, x0: w, y0: img.height, x1: -1, y1: -1 } };
    for (let i = 0; i < d.length; i += 4) {
      const [r, g, b, x, y] = [d[i], d[i + 1], d[i + 2], (i / 4) % w, Math.floor(i / 4 / w)];
      colours.add((r << 16) | (g << 8) | b);
      s.notBackground += r + Math.abs(g - 0x20) + Math.abs(b - 0x40) > 24;
      s.brown += r > 90 && r > g + 25 && g > b + 10;
      if (r > 180 && g < 70 && b < 70) {
        s.red = { n: s.red.n + 1, x0: Math.min(s.red.x0, x), x1: Math.max(s.red.x1, x),
          y0: Math.min(s.red.y0, y), y1: Math.max(s.red.y1, y) };
      }
    }
    return { ...s, colours: colours.size };
  }, png.toString("base64"));
}

// (that the field shows the arena's canvas: the square below)
const drawn = (s) => s.colours > 100 && s.notBackground > s.pixels * 0.3;

test("the overview shows every turtle's score and a drawn field", () => withPage(browser, "/", async (page) => {
  for (const t of turtles) {
    const text = ` ${t.name}: ${await t.c.score()}`;
    await page.waitForFunction((text) => Array.from(document.querySelectorAll("span.qm-score"))
      .some((s) => /^#\d+ /.test(s.textContent) && s.textContent.endsWith(text)), text,
    { timeout: 10000 });
  }
  // the turtles' textures may come a little later than the first frames
  await until("a drawn field with turtles", async () => {
    const s = await pixelStats(page, "viewer-overview.png");
    return drawn(s) && s.brown > 150;
  });
  assert.equal(await page.textContent("#result"), "");
}));

test("a turtle named in the page's path is followed", () => withPage(browser, "/cyd", async (page) => {
  const at = await turtles[2].c.position();
  await page.waitForFunction(() => window.qmViewer.camera.z0 === 10, null, { timeout: 10000 });
  const cam = await page.evaluate(() => window.qmViewer.camera);
  assert.deepEqual([cam.x0, cam.y0], at); // cyd's
}));

test("a square painted by a client appears on the viewer's field", () => withPage(browser, "/", async (page) => {
  await page.waitForFunction(() => window.qmViewer.canvas.loads >= 1, null, { timeout: 10000 });
  assert.ok((await pixelStats(page, "viewer-before.png")).red.n < 20, "nothing red before");
  const c = await connect(); // clear of the other turtles: x 30 to 130, y -210 to -110
  for (const cmd of ["L", "W 5", "K 1 0 0", "J 30 -210", "T E", "P D", ...Array(4).fill(["F 100", "T L 90"]).flat(), "P U"])
    assert.ok((await c.send(cmd)).ok, cmd);
  c.close();
  // seen from above, the four sides make a hollow square on the screen
  const box = await until("the square", async () => {
    const { red } = await pixelStats(page, "viewer-square.png");
    return red.n > 400 && red;
  });
  const w = box.x1 - box.x0 + 1, h = box.y1 - box.y0 + 1;
  assert.ok(w > 60 && Math.abs(w - h) <= 0.1 * w, `a square on the screen (${w} x ${h})`);
  assert.ok(box.n < 0.5 * w * h, `hollow (${box.n} of ${w * h})`);
}));

test("the teacher bar switches battle mode", () => withPage(browser, "/?key=" + key, async (page) => {
  const battle = async () => (await (await fetch(HTTP + "/control/state",
    { headers: { "X-Quillmere-Key": key } })).json()).battle;
  const button = '#qm-controls button[data-action="battle"]';
  for (const [n, on] of [[1, true], [2, false]]) {
    await page.click(button);
    await page.waitForFunction((n) => window.qmViewer.teacher.actions === n, n, { timeout: 10000 });
    assert.equal(await battle(), on);
    await page.waitForFunction(([sel, on]) => document.querySelector(sel)
      .getAttribute("aria-pressed") === String(on), [button, on], { timeout: 10000 });
  }
  assert.equal(await page.textContent("#qm-teacher-note"), "");
}));

test("the viewer waits through an arena restart and carries on", () => withPage(browser, "/", async (page) => {
  const polls = await page.evaluate(() => window.qmViewer.polls);
  host.send("restart");
  await host.ready();
  // the arena came back without the turtles: the viewer picks that up
  await page.waitForFunction(() => window.qmViewer.turtles.length === 0 &&
    document.getElementById("result").textContent === "", null, { timeout: 30000 });
  assert.ok(await page.evaluate(() => window.qmViewer.polls) > polls);
  assert.equal(await page.$$eval("span.qm-score", (s) => s.filter((e) => e.textContent).length), 0);
  await until("the field drawn again", async () => drawn(await pixelStats(page, "viewer-restarted.png")));
}));
