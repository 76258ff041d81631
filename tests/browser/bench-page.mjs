// For scripts/bench: holds one panel page open in headless Chromium, with its sound on, for
// SECONDS, then prints what the page measured of its sound as one JSON line.
// Usage: node bench-page.mjs URL SECONDS
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [url, seconds] = [process.argv[2], Number(process.argv[3] || 60)];
const userData = fs.mkdtempSync(path.join(os.tmpdir(), 'chromium-'));
const browser = await chromium.launchPersistentContext(userData, {
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
try {
  const page = browser.pages()[0] || await browser.newPage();
  await page.goto(url);
  await page.waitForFunction(() => window.panel.connected);
  await page.click('#sound');
  console.log('ready');
  const delays = [];
  const end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    await new Promise((r) => setTimeout(r, 500));
    const d = await page.evaluate(() => window.panel.delayMs);
    if (d !== null) delays.push(d);
  }
  delays.sort((a, b) => a - b);
  const at = (q) => delays[Math.min(delays.length - 1, Math.floor(q * delays.length))];
  const frames = await page.evaluate(() => window.panel.audioFrames);
  console.log(JSON.stringify({ frames, delay_ms: { median: at(0.5), p95: at(0.95), max: delays[delays.length - 1], samples: delays.length } }));
} finally {
  await browser.close();
  fs.rmSync(userData, { recursive: true, force: true });
}
