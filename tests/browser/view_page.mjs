// vora view's page in a real browser: Debian's chromium, headless, driven by
// playwright-core from the build's npm packages. Run by the VoraView tests:
//
//   node view_page.mjs URL BUILD_DIR ARTIFACT_DIR REFUSED_TEXT [SCALE] [webgl|2d]
//
// Checks that the page loads without console errors, that the depth and 3D
// canvases show pictures that change from frame to frame, that the 3D view
// orbits, pans and zooms, that the statistics advance, that an exposure set
// on the page is accepted and an out-of-range one refused with the library's
// status text (REFUSED_TEXT), and that the save button saves. With `2d` the
// browser runs without WebGL, and the 3D view must be the simplified drawing
// with its note. Keeps a screenshot in ARTIFACT_DIR (vora-view.png, or
// vora-view-2d.png) and prints one line "RESULT {json}" for the test to
// read; exits 1 on the first failed check.
//
// Every wait is for something the page does, with a deadline of a minute
// times SCALE (the test passes more under sanitizers, which slow the viewer
// several times over).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const [url, buildDir, artifactDir, refusedText, scaleText = '1', mode = 'webgl'] = process.argv.slice(2);
const { chromium } = createRequire(path.join(buildDir, 'web', 'node_modules', 'noop.js'))('playwright-core');
const scale = Number(scaleText) > 0 ? Number(scaleText) : 1;
const WAIT = { timeout: 60000 * scale };
if (mode !== 'webgl' && mode !== '2d') {
  console.error(`mode must be webgl or 2d, not ${mode}`);
  process.exit(2);
}

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

// A promise of this script's own, bounded like the page's waits.
function within(promise, what) {
  let timer;
  const late = new Promise((resolve, reject) => { timer = setTimeout(() => reject(new Error(what)), WAIT.timeout); });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

const distance = (a, b) => Math.hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);

// A drag across the 3D view with one mouse button, then the view's pose.
async function drag(page, button, box, dx, dy) {
  const x = box.x + box.width / 2;
  const y = box.y + box.height / 2;
  await page.mouse.move(x, y);
  await page.mouse.down({ button });
  await page.mouse.move(x + dx / 2, y + dy / 2, { steps: 4 });
  await page.mouse.move(x + dx, y + dy, { steps: 4 });
  await page.mouse.up({ button });
  return page.evaluate(() => window.voraView.cloudPose());
}

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vora-view-chromium-'));
const args = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
// What leaves chromium without a WebGL context of any version, as a machine
// without GPU access may be.
if (mode === '2d') args.push('--disable-3d-apis');
const result = { mode, seconds: {} };
// How long each step took, for whoever reads the log of a slow run.
const began = Date.now();
let stepStart = began;
function done(step) {
  const now = Date.now();
  result.seconds[step] = (now - stepStart) / 1000;
  stepStart = now;
}
// What the page was doing when a check failed or a wait ran out.
async function snapshot(page) {
  return page.evaluate(async () => {
    const v = window.voraView;
    const canvas = document.querySelector('#cloud canvas');
    const gl = canvas && window.voraView?.cloudMode() === 'webgl' ? canvas.getContext('webgl2') : null;
    // Animation frames in a second: none when the page no longer paints.
    const paints = await new Promise((resolve) => {
      let n = 0;
      const start = performance.now();
      const tick = () => {
        n += 1;
        if (performance.now() - start < 1000) requestAnimationFrame(tick);
        else resolve(n);
      };
      requestAnimationFrame(tick);
      setTimeout(() => resolve(n), 3000);
    });
    return {
      state: document.getElementById('state').textContent,
      message: document.getElementById('message').textContent,
      shown: v?.shown(), frames: v?.frames(), cloudUpdates: v?.cloudUpdates(), rates: v?.rates(),
      contextLost: gl ? gl.isContextLost() : null,
      paintsPerSecond: paints,
      hidden: document.hidden,
    };
  });
}

let context = null;
let page = null;
const consoleErrors = [];
const heard = [];  // the console's last lines, of every kind
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1400, height: 1000 },
    args,
    timeout: WAIT.timeout,
  });
  page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(WAIT.timeout);
  page.setDefaultNavigationTimeout(WAIT.timeout);
  page.on('console', (m) => {
    if (m.type() === 'error') consoleErrors.push(m.text());
    heard.push(`${m.type()}: ${m.text().slice(0, 300)}`);
    if (heard.length > 30) heard.shift();
  });
  page.on('pageerror', (e) => consoleErrors.push(e.message));
  page.on('crash', () => heard.push('the page crashed'));
  context.on('close', () => heard.push('the browser closed'));
  done('launch');
  await page.goto(url);
  done('load');

  // The browser is the one this run is about.
  result.webgl = await page.evaluate(() => ['webgl2', 'webgl'].some((k) => document.createElement('canvas').getContext(k)));
  if (!check(result.webgl === (mode === 'webgl'), `the browser ${result.webgl ? 'has' : 'lacks'} WebGL in the ${mode} run`))
    throw new Stop();

  // Every channel drawn, and the cloud a few times; or the page gave up.
  await page.waitForFunction(() => document.getElementById('state').textContent === 'failed' ||
    (window.voraView && Object.keys(window.voraView.shown()).length === 3 && window.voraView.cloudUpdates() >= 3),
  null, WAIT);
  if (!check(await page.locator('#state').textContent() !== 'failed',
    `the page failed: ${await page.locator('#message').textContent()}`)) throw new Stop();
  done('first frames');
  result.cloudMode = await page.evaluate(() => window.voraView.cloudMode());
  check(result.cloudMode === mode, `the 3D view is drawn with ${result.cloudMode}, not ${mode}`);
  const note = page.locator('#cloud-fallback');
  result.note = (await note.textContent()).trim();
  if (mode === '2d') {
    check(await note.isVisible(), 'the note that says why the 3D view is simplified is not shown');
    check(result.note.startsWith('WebGL is not available in this browser') && result.note.includes('simplified drawing'),
      `the note does not say why: "${result.note}"`);
  } else {
    check(!(await note.isVisible()), `a note shows although WebGL works: "${result.note}"`);
  }
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

  // A frame cut short (its connection lost halfway, or a proxy's error page)
  // costs that frame only: the channel's pictures go on.
  const cut = Buffer.alloc(64);
  cut.write('VORF', 0, 'latin1');
  cut.writeUInt16LE(1, 4);  // version
  cut.writeUInt16LE(1, 6);  // a depth frame
  cut.writeUInt16LE(2, 10);  // with depth colours...
  cut.writeUInt32LE(4000000000, 12);
  cut.writeUInt32LE(64, 16);  // ...of 64 x 64 pixels, none of which follow
  cut.writeUInt32LE(64, 20);
  let served;
  const cutServed = new Promise((resolve) => { served = resolve; });
  await page.route(/\/api\/frame\?channel=0&after=\d+&points=0/, async (route) => {
    await route.fulfill({ status: 200, contentType: 'application/octet-stream', body: cut });
    served();
  }, { times: 1 });
  await within(cutServed, 'the page did not ask for the frame to cut short');
  const resumedFrom = (await page.evaluate(() => window.voraView.shown()))[0];
  await page.waitForFunction((seen) => window.voraView.shown()[0] >= seen + 2, resumedFrom, WAIT);
  done('a frame cut short');

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
  await page.screenshot({ path: path.join(artifactDir, mode === '2d' ? 'vora-view-2d.png' : 'vora-view.png'), fullPage: true });
  done('screenshot');

  // Dragging orbits about the target, right-dragging moves the target, the
  // wheel changes the distance to it.
  const box = await page.locator('#cloud canvas').boundingBox();
  const start = await page.evaluate(() => window.voraView.cloudPose());
  const orbited = await drag(page, 'left', box, 120, 40);
  check(distance(orbited.position, start.position) > 1 && distance(orbited.target, start.target) < 1e-3,
    `dragging did not orbit: ${JSON.stringify([start, orbited])}`);
  const panned = await drag(page, 'right', box, 80, 0);
  check(distance(panned.target, orbited.target) > 1, `right-dragging did not pan: ${JSON.stringify([orbited, panned])}`);
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.wheel(0, 300);
  await page.waitForFunction(([before]) => {
    const p = window.voraView.cloudPose();
    return Math.hypot(...p.position.map((v, k) => v - p.target[k])) > 1.05 * before;
  }, [distance(panned.position, panned.target)], WAIT);
  const updates = await page.evaluate(() => window.voraView.cloudUpdates());
  await page.waitForFunction((seen) => window.voraView.cloudUpdates() > seen, updates, WAIT);
  done('orbit, pan, zoom');
  check((await pictures(page)).cloud.lit > 0.005, 'the 3D canvas is blank after moving the view');

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
}
if (failures.length && page) {
  try {
    result.snapshot = await snapshot(page);
  } catch (e) {
    result.snapshot = `none: ${e.message}`;
  }
  result.console = heard;
  result.consoleErrors = consoleErrors;
}
if (context) await context.close().catch(() => {});
fs.rmSync(profile, { recursive: true, force: true });
result.seconds.total = (Date.now() - began) / 1000;
result.failures = failures;
console.log(`RESULT ${JSON.stringify(result)}`);
process.exit(failures.length ? 1 : 0);
