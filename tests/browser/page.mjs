// Loads the index page with Chromium's parallel connections, checks every resource against the
// same resource fetched alone, then reloads ten times in quick succession and loads it once more;
// last, an answer that pauses in the middle must show its first part long before its end.
import { createRequire } from "node:module";
const require = createRequire(import.meta.url);
const puppeteer = require("puppeteer-core");

const [base, userDataDir] = process.argv.slice(2);
let failures = 0;
const fail = (text) => { console.error("FAIL: " + text); failures++; };

async function fetchAlone(url) {
  const answer = await fetch(url, { headers: { Connection: "close" } });
  return Buffer.from(await answer.arrayBuffer());
}

async function loadAndCheck(page, label) {
  const bodies = new Map();
  const collect = async (response) => {
    try { bodies.set(response.url(), await response.buffer()); } catch (e) { bodies.set(response.url(), null); }
  };
  page.on("response", collect);
  const started = Date.now();
  await page.goto(base + "/index.html", { waitUntil: "load", timeout: 30000 });
  const ms = Date.now() - started;
  await new Promise((r) => setTimeout(r, 200));
  page.off("response", collect);
  const images = await page.evaluate(() => [...document.images].map((i) => i.naturalWidth));
  if (images.length !== 4 || images.some((w) => w !== 16)) fail(`${label}: pictures ${JSON.stringify(images)}`);
  for (const [url, body] of bodies) {
    if (url.endsWith("favicon.ico")) continue;
    const alone = await fetchAlone(url);
    if (!body || Buffer.compare(body, alone) !== 0) fail(`${label}: ${url} differs from the same resource fetched alone`);
  }
  if (bodies.size < 5) fail(`${label}: only ${bodies.size} resources arrived`);
  return ms;
}

// Reads an answer with a 1.2 s pause after its first 700 bytes of body, inside the page.
async function checkProgress(page) {
  const seen = await page.evaluate(async (url) => {
    const started = performance.now();
    const reader = (await fetch(url, { cache: "no-store" })).body.getReader();
    let first = -1, size = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      if (first < 0) first = performance.now() - started;
      size += value.length;
    }
    return { first, last: performance.now() - started, size };
  }, base + "/frame/pause?ms=1200");
  if (seen.size !== 2000) fail(`paused answer: ${seen.size} of 2000 bytes`);
  if (seen.first < 0 || seen.first > 700 || seen.last < 1200)
    fail(`paused answer: first bytes after ${seen.first} ms, last after ${seen.last} ms`);
}

const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  userDataDir,
  args: ["--no-sandbox", "--headless=new", "--disable-gpu", "--disable-background-networking"],
});
try {
  const page = await browser.newPage();
  await page.setCacheEnabled(false);
  const ms = await loadAndCheck(page, "first load");
  for (let i = 0; i < 10; i++) page.reload().catch(() => {});
  await new Promise((r) => setTimeout(r, 300));
  await loadAndCheck(page, "after the reload storm");
  const id = (await fetchAlone(base + "/id.txt")).toString();
  if (!id.includes("id=quellor-devsim")) fail("the program no longer serves /id.txt: " + id.slice(0, 200));
  if (process.env.QUELLOR_DIRECT !== "1") await checkProgress(page);
  console.log(`page loaded in ${ms} ms`);
} finally {
  await browser.close();
}
console.log(`${failures === 0 ? 1 : 0} passed, ${failures === 0 ? 0 : 1} failed`);
process.exit(failures === 0 ? 0 : 1);
