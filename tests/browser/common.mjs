// common.mjs -- the browser tests' arena host (host.py), Debian's chromium,
// viewer pages, polling. Screenshots go to BROWSER_ARTEFACTS.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import { mkdirSync } from "node:fs";
import path from "node:path";
import readline from "node:readline";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const { chromium } = createRequire(path.join(here, "..", "..", "web", "package.json"))(
  "playwright-core");
export const HTTP = "http://127.0.0.1:2280";
export const artefacts = process.env.BROWSER_ARTEFACTS || process.cwd();
mkdirSync(artefacts, { recursive: true });

// host.py in `mode`; ready() resolves with the words after READY each time.
export function startHost(mode) {
  const proc = spawn("python3", [path.join(here, "host.py"), mode],
    { stdio: ["pipe", "pipe", "inherit"] });
  const lines = readline.createInterface({ input: proc.stdout });
  const ready = () => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("the arena host said nothing")), 120000);
    lines.once("line", (line) => {
      clearTimeout(timer);
      resolve(line.split(" ").slice(1));
    });
  });
  return {
    ready,
    send: (cmd) => proc.stdin.write(cmd + "\n"),
    stop: () => new Promise((resolve) => {
      proc.once("exit", resolve);
      proc.stdin.end("quit\n");
    }),
  };
}

export const launch = () => chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking"],
});

// Runs fn(page) on a viewer page at `urlPath` that has drawn a few frames;
// the page must raise no error.
export async function withPage(browser, urlPath, fn) {
  const page = await browser.newPage({ viewport: { width: 900, height: 700 } });
  const errors = [];
  page.on("pageerror", (e) => errors.push(String(e)));
  await page.goto(HTTP + urlPath);
  await page.waitForFunction(() => window.qmViewer && window.qmViewer.frames >= 10, null,
    { timeout: 60000 });
  await fn(page);
  assert.deepEqual(errors, []);
  await page.close();
}

export async function until(what, fn, timeoutMs = 15000) {
  for (const deadline = Date.now() + timeoutMs; ;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > deadline) throw new Error("timed out waiting for " + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}
