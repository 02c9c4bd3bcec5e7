// Loads the index page in headless Chromium while the DevTools protocol's network events record
// each request; then asks the program for its journal with `quellor --journal` and checks that
// its client entries are those requests (URL, status, size) in the order they started, that the pictures that queued
// for the line spent time in the waiting room, and that the file is private and valid HAR 1.2.
import { createRequire } from "node:module";
import { execFileSync } from "node:child_process";
import { readFileSync, statSync } from "node:fs";
const require = createRequire(import.meta.url);
const puppeteer = require("puppeteer-core");
const validate = require("har-validator");

const [base, userDataDir, quellor, harPath] = process.argv.slice(2);
let failures = 0;
const fail = (text) => { console.error("FAIL: " + text); failures++; };

const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  userDataDir,
  args: ["--no-sandbox", "--headless=new", "--disable-gpu", "--disable-background-networking"],
});
const seen = new Map();
try {
  const page = await browser.newPage();
  const cdp = await page.createCDPSession();
  await cdp.send("Network.enable");
  await cdp.send("Network.setCacheDisabled", { cacheDisabled: true });
  cdp.on("Network.requestWillBeSent", (e) => {
    if (e.request.url.startsWith(base)) seen.set(e.requestId, { url: e.request.url, method: e.request.method });
  });
  cdp.on("Network.responseReceived", (e) => {
    const request = seen.get(e.requestId);
    if (!request) return;
    request.status = e.response.status;
  });
  cdp.on("Network.loadingFinished", (e) => {
    const request = seen.get(e.requestId);
    if (request) request.size = e.encodedDataLength;
  });
  cdp.on("Network.loadingFailed", (e) => {
    const request = seen.get(e.requestId);
    if (request) request.failed = e.errorText;
  });
  await page.goto(base + "/index.html", { waitUntil: "load", timeout: 30000 });
  await new Promise((r) => setTimeout(r, 500));
} finally {
  await browser.close();
}

execFileSync(quellor, ["--journal", harPath], { stdio: ["ignore", "inherit", "inherit"] });
const mode = statSync(harPath).mode & 0o777;
if (mode !== 0o600) fail(`the file's mode is ${mode.toString(8)}, not 600`);
const har = JSON.parse(readFileSync(harPath, "utf8"));
try {
  await validate.har(har);
} catch (error) {
  fail("har-validator: " + JSON.stringify(error.errors || error.message).slice(0, 2000));
}

// The browser asks for the site's icon on its own; the page's network events do not show it.
const icon = (url) => url.endsWith("/favicon.ico");
const browserRequests = [...seen.values()].filter((r) => !icon(r.url));
const entries = har.log.entries.filter((e) => e._owner === "client" && !icon(e.request.url));
if (browserRequests.length < 5) fail(`the browser made only ${browserRequests.length} requests`);
if (entries.length !== browserRequests.length)
  fail(`${entries.length} client entries for ${browserRequests.length} requests: ` +
       JSON.stringify(entries.map((e) => e.request.url)));
const unmatched = [...browserRequests];
let lastStarted = -Infinity;
for (const entry of entries) {
  const at = unmatched.findIndex((r) => r.url === entry.request.url && r.method === entry.request.method);
  if (at < 0) { fail(`${entry.request.url} is in the journal but the browser did not ask for it`); continue; }
  const request = unmatched.splice(at, 1)[0];
  if (request.failed) fail(`${request.url} failed in the browser: ${request.failed}`);
  if (entry.response.status !== request.status)
    fail(`${request.url}: status ${entry.response.status} in the journal, ${request.status} in the browser`);
  const size = entry.response.headersSize + entry.response.bodySize;
  if (size !== request.size) fail(`${request.url}: ${size} bytes in the journal, ${request.size} in the browser`);
  if (entry._outcome !== "device-answer") fail(`${request.url}: outcome ${entry._outcome}`);
  // In the order they started, as the format prefers: a browser that connected earlier is listed
  // before one that connected later, whenever it sent its head.
  const started = Date.parse(entry.startedDateTime);
  if (started < lastStarted) fail(`${request.url} is out of order in the journal`);
  lastStarted = started;
}
for (const request of unmatched) fail(`the browser asked for ${request.url}, which is not in the journal`);

// A request that came while the line was taken waited in the waiting room: its blocked is its wait.
let queued = 0;
for (let i = 1; i < entries.length; i++) {
  const start = Date.parse(entries[i].startedDateTime);
  const busyUntil = Math.max(...entries.slice(0, i).map((e) => Date.parse(e.startedDateTime) + e.time));
  if (start < busyUntil - 5) {
    queued++;
    if (!(entries[i].timings.blocked > 0)) fail(`${entries[i].request.url} queued but its blocked is ${entries[i].timings.blocked}`);
  }
}
if (queued < 2) fail(`only ${queued} requests queued; the device's pauses should make the pictures wait`);
for (const entry of entries) {
  const t = entry.timings;
  if (t.dns !== -1 || t.connect !== -1 || t.ssl !== -1) fail(`${entry.request.url}: dns, connect and ssl are not -1`);
  const sum = t.blocked + t.send + t.wait + t.receive;
  if (Math.abs(sum - entry.time) > 0.01) fail(`${entry.request.url}: time ${entry.time} is not the sum ${sum}`);
}
console.log(`${entries.length} exchanges, ${queued} queued`);
console.log(`${failures === 0 ? 1 : 0} passed, ${failures === 0 ? 0 : 1} failed`);
process.exit(failures === 0 ? 0 : 1);
