// The timeline of a render in a real browser: the demo's tour rendered with --timeline, and a
// comparison page from --diff, opened from file:// URLs in Debian's Chromium. Each page must load
// without a console error or a request beyond its own file, draw a bar for every play of its
// data, show the log at the pointer, and zoom with the wheel. Saves a screenshot.
//
// EMULATOR (default build/emulator), OUT_DIR (default build/) and CHROMIUM (/usr/bin/chromium)
// may be given in the environment.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const emulatorPath = process.env.EMULATOR || path.join(root, 'build/emulator');
const outDir = process.env.OUT_DIR || path.join(root, 'build');
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';

test('the timeline of the demo tour and a comparison open from files without errors', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'timeline-'));
  const browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox', '--disable-gpu'] });
  try {
    execFileSync(emulatorPath, ['--script', 'tour.txt', '--render', path.join(dir, 'take.wav'),
      '--timeline', path.join(dir, 'take.html')], { cwd: path.join(root, 'demo'), stdio: 'ignore' });
    const json = path.join(dir, 'take.json');
    execFileSync(emulatorPath, ['--diff', json, json, '--timeline', path.join(dir, 'diff.html')], { stdio: 'ignore' });
    const plays = JSON.parse(fs.readFileSync(json, 'utf8')).plays.length;
    for (const [name, drives] of [['take.html', 1], ['diff.html', 2]]) {
      const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
      const problems = [];
      page.on('console', (m) => { if (m.type() === 'error') problems.push(m.text()); });
      page.on('pageerror', (e) => problems.push(String(e)));
      page.on('request', (r) => { if (!/^(file|data):/.test(r.url())) problems.push('fetched ' + r.url()); });
      await page.goto(pathToFileURL(path.join(dir, name)).href);
      assert.equal(await page.locator('rect[data-play]').count(), plays * drives, name);
      // The pointer on the first bar: its file and the log at that moment.
      const bar = page.locator('rect[data-play]').first();
      await bar.hover();
      const tip = await page.locator('#tip').textContent();
      assert.match(tip, /data\/1\/F1_S0_ON\.ogg/);
      assert.match(tip, /AUDIO_TRACK: Play 39/);
      if (drives === 1) await page.screenshot({ path: path.join(outDir, 'timeline.png') });
      // The wheel zooms in around the pointer: the axis then counts in finer steps.
      const before = await page.locator('.axis text').allTextContents();
      await page.mouse.move(640, 300);
      for (let i = 0; i < 5; i++) await page.mouse.wheel(0, -300);
      await page.waitForTimeout(100);
      assert.notDeepEqual(await page.locator('.axis text').allTextContents(), before);
      assert.deepEqual(problems, [], name);
      await page.close();
    }
  } finally {
    await browser.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
