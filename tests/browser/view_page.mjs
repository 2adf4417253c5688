// vora view's page in a real browser: Debian's chromium, headless, driven by
// playwright-core from the build's npm packages. Run by the VoraView tests:
//
//   node view_page.mjs URL BUILD_DIR ARTIFACT_DIR REFUSED_TEXT [SCALE]
//
// Checks that the page loads without console errors, that the depth and 3D
// canvases show pictures that change from frame to frame, that the
// statistics advance, that an exposure set on the page is accepted and an
// out-of-range one refused with the library's status text (REFUSED_TEXT),
// and that the save button saves. Keeps a screenshot in ARTIFACT_DIR and
// prints one line "RESULT {json}" for the test to read; exits 1 on the
// first failed check.
//
// Every wait is for something the page does, with a deadline of a minute
// times SCALE (the test passes more under sanitizers, which slow the viewer
// several times over).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const [url, buildDir, artifactDir, refusedText, scaleText = '1'] = process.argv.slice(2);
const { chromium } = createRequire(path.join(buildDir, 'web', 'node_modules', 'noop.js'))('playwright-core');
const scale = Number(scaleText) > 0 ? Number(scaleText) : 1;
const WAIT = { timeout: 60000 * scale };

const failures = [];
// Thrown after a failed check that leaves nothing further worth checking.
class Stop extends Error {}
function check(ok, what) {
  if (!ok) failures.push(what);
  return ok;
}

// Pixels of a canvas, WebGL included (its drawing buffer is kept), as the
// share of pixels unlike the background and a hash of them all.
function readCanvas([selector, background]) {
  const canvas = document.querySelector(selector);
  if (!canvas || !canvas.width) return { lit: 0, hash: 0 };
  const copy = document.createElement('canvas');
  copy.width = canvas.width;
  copy.height = canvas.height;
  const g = copy.getContext('2d');
  g.drawImage(canvas, 0, 0);
  const data = g.getImageData(0, 0, copy.width, copy.height).data;
  let lit = 0;
  let hash = 0;
  for (let i = 0; i < data.length; i += 4) {
    if (data[i] !== background[0] || data[i + 1] !== background[1] || data[i + 2] !== background[2]) lit += 1;
    hash = (Math.imul(hash, 31) + data[i] + 7 * data[i + 1] + 13 * data[i + 2]) >>> 0;
  }
  return { lit: lit / (data.length / 4), hash };
}

async function pictures(page) {
  return {
    depth: await page.evaluate(readCanvas, ['#depth-0 canvas.picture', [0, 0, 0]]),
    cloud: await page.evaluate(readCanvas, ['#cloud canvas', [11, 12, 15]]),
    plot: await page.evaluate(readCanvas, ['#plot', [0, 0, 0]]),
    shown: await page.evaluate(() => window.voraView.shown()),
    updates: await page.evaluate(() => window.voraView.cloudUpdates()),
  };
}

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vora-view-chromium-'));
const args = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const result = { seconds: {} };
// How long each step took, for whoever reads the log of a slow run.
const began = Date.now();
let stepStart = began;
function done(step) {
  const now = Date.now();
  result.seconds[step] = (now - stepStart) / 1000;
  stepStart = now;
}
let context = null;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1400, height: 1000 },
    args,
    timeout: WAIT.timeout,
  });
  const page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(WAIT.timeout);
  page.setDefaultNavigationTimeout(WAIT.timeout);
  const consoleErrors = [];
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(e.message));
  done('launch');
  await page.goto(url);
  done('load');

  // Every channel drawn, and the cloud a few times; or the page gave up.
  await page.waitForFunction(() => document.getElementById('state').textContent === 'failed' ||
    (window.voraView && Object.keys(window.voraView.shown()).length === 3 && window.voraView.cloudUpdates() >= 3),
  null, WAIT);
  if (!check(await page.locator('#state').textContent() !== 'failed',
    `the page failed: ${await page.locator('#message').textContent()}`)) throw new Stop();
  done('first frames');
  const state = page.locator('#state');
  check((await state.getAttribute('class')).includes('live'), `the state badge says "${await state.textContent()}"`);
  check(!(await page.locator('#message').textContent()), `the page says "${await page.locator('#message').textContent()}"`);

  const first = await pictures(page);
  check(first.depth.lit > 0.5, `the depth canvas is mostly blank (${first.depth.lit})`);
  check(first.cloud.lit > 0.02, `the 3D canvas is blank (${first.cloud.lit})`);
  // Two frames later the pictures differ: the camera's depth is noisy.
  await page.waitForFunction(([seq, updates]) => window.voraView.shown()[0] >= seq + 2 &&
    window.voraView.cloudUpdates() >= updates + 2, [first.shown[0], first.updates], WAIT);
  done('two more frames');
  const second = await pictures(page);
  check(second.depth.hash !== first.depth.hash, 'the depth canvas did not change between frames');
  check(second.cloud.hash !== first.cloud.hash, 'the 3D canvas did not change between frames');

  // The statistics advance and their plot is drawn.
  const complete = '#stats td[data-channel="0"][data-figure="complete"]';
  await page.locator(complete).waitFor(WAIT);
  const before = Number(await page.locator(complete).textContent());
  await page.waitForFunction(([cell, seen]) => Number(document.querySelector(cell).textContent) > seen, [complete, before], WAIT);
  done('statistics');
  check((await pictures(page)).plot.lit > 0.001, 'the statistics plot is blank');

  // An exposure the camera takes, then one it refuses.
  const exposure = page.locator('input[name="ExposureTime[0]"]');
  const answer = page.locator('output[data-control="ExposureTime[0]"]');
  await exposure.fill('7777');
  await exposure.press('Tab');
  await page.locator('output[data-control="ExposureTime[0]"].done').waitFor(WAIT);
  check((await answer.textContent()).includes('7777'), `the exposure was not confirmed: ${await answer.textContent()}`);
  await exposure.fill('999999');
  await exposure.press('Tab');
  await page.locator('output[data-control="ExposureTime[0]"].refused').waitFor(WAIT);
  done('controls');
  result.refusal = await answer.textContent();
  check(result.refusal.includes(refusedText), `the refusal does not carry "${refusedText}": ${result.refusal}`);

  // What the page receives and how often its 3D view draws, over a while.
  await page.waitForFunction(() => window.voraView.rates().bytesPerSecond > 0, null, WAIT);
  result.rates = await page.evaluate(() => window.voraView.rates());
  fs.mkdirSync(artifactDir, { recursive: true });
  await page.evaluate(() => { document.activeElement.blur(); window.scrollTo(0, 0); });
  await page.screenshot({ path: path.join(artifactDir, 'vora-view.png'), fullPage: true });
  done('screenshot');

  // The save button, and where it says it saved.
  await page.locator('#save').click();
  await page.waitForFunction(() => /^(saved|not saved)/.test(document.getElementById('message').textContent), null, WAIT);
  done('save');
  result.saved = await page.locator('#message').textContent();
  result.folder = await page.locator('#message').getAttribute('data-folder');
  check(result.saved.startsWith('saved '), `saving failed: ${result.saved}`);

  result.consoleErrors = consoleErrors;
  check(consoleErrors.length === 0, `console errors: ${consoleErrors.join(' | ')}`);
} catch (e) {
  if (!(e instanceof Stop)) failures.push(`${e.message}`);
} finally {
  if (context) await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
result.seconds.total = (Date.now() - began) / 1000;
result.failures = failures;
console.log(`RESULT ${JSON.stringify(result)}`);
process.exit(failures.length ? 1 : 0);
