// vora view's page: follows every open channel of the camera, one request
// per frame, asking for the next only once the last is drawn.
import { api, decodeFrame, everyNth, KIND_DEPTH, nextPaint, sleep } from './protocol.js';
import { createCloudView } from './cloud.js';
import { ImagePanel } from './images.js';
import { StatsPanel } from './stats.js';
import { ControlsPanel } from './controls.js';

const $ = (id) => document.getElementById(id);

const page = {
  running: true,
  bytes: 0,          // received since the page opened
  frames: 0,
  rates: { bytesPerSecond: 0, cloudUpdatesPerSecond: 0 },
  shown: {},         // channel -> seq of the frame on screen
  panels: {},
  statsSeq: 0,
  cloudGeneration: 0,
};

function message(text, error = false) {
  const m = $('message');
  m.textContent = text;
  m.className = error ? 'error' : '';
}

function setState(text, cls) {
  const s = $('state');
  s.textContent = text;
  s.className = `state ${cls}`;
}

// The pictures of a channel, and the 3D view's cloud of its channel: two
// requests per frame, each at its own detail, so that the cloud can be
// thinned further than the pictures.
function imageQuery() {
  const detail = $('image-detail').value;
  return `&points=0${detail === 'auto' ? '' : `&step=${detail}`}`;
}

function cloudQuery() {
  const fused = $('cloud-colours').value === 'fused' && page.hasColour;
  return `&points=1&step=${$('cloud-detail').value}${fused ? '&fuse=1' : ''}`;
}

// Asks for the channel's frames one after another, each once the last is
// drawn; show(frame) draws. Stops when wanted() turns false. A request that
// fails, or a frame lost or cut short on its way, costs that frame only: the
// loop says so and asks again a moment later.
async function follow(channel, query, show, wanted = () => true) {
  let after = 0;
  let complaint = '';
  const complain = async (text) => {
    complaint = `channel ${channel}: ${text}`;
    message(complaint, true);
    await sleep(1000);
  };
  while (page.running && wanted()) {
    let response;
    try {
      response = await fetch(`/api/frame?channel=${channel}&after=${after}${query()}`);
    } catch {
      setState('no connection', 'lost');
      await sleep(1000);
      continue;
    }
    if (response.status === 204) continue;  // nothing new within the server's wait
    let frame;
    try {
      if (!response.ok) {
        await complain(await response.text());
        continue;
      }
      const buffer = await response.arrayBuffer();
      page.bytes += buffer.byteLength;
      frame = decodeFrame(buffer);
    } catch (e) {
      await complain(e.message);
      continue;
    }
    after = frame.seq;
    show(frame);
    setState('live', 'live');
    if (complaint && $('message').textContent === complaint) message('');
    complaint = '';
    $('save').disabled = false;
    await nextPaint();  // drawn before the next is asked for
  }
}

function followImages(channel) {
  follow(channel, imageQuery, (frame) => {
    page.panels[channel].show(frame);
    page.shown[channel] = frame.seq;
    page.frames += 1;
  });
}

// One cloud loop at a time: a new one starts when the 3D view's channel changes.
function followCloud() {
  const channel = Number($('cloud-channel').value);
  const generation = ++page.cloudGeneration;
  follow(channel, cloudQuery, (frame) => {
    page.cloud.show(frame, $('cloud-colours').value === 'fused');
    const drawn = page.cloud.mode === '2d' ? `, ${page.cloud.drawn} drawn` : '';
    $('cloud-info').textContent = `${frame.width * frame.height} points, ${everyNth(frame.step)}${drawn}`;
  }, () => generation === page.cloudGeneration);
}

async function followStats(stats) {
  while (page.running) {
    try {
      const answer = await api(`/api/stats?after=${page.statsSeq}`);
      const last = answer.samples[answer.samples.length - 1];
      if (last) page.statsSeq = last.seq;
      stats.show(answer.samples);
    } catch (e) {
      setState('no connection', 'lost');
      await sleep(1000);
    }
  }
}

// What the page receives, and how often the 3D view draws a new cloud.
function measure() {
  let bytes = page.bytes;
  let updates = page.cloud.updates;
  let at = performance.now();
  setInterval(() => {
    const now = performance.now();
    const seconds = (now - at) / 1000;
    page.rates.bytesPerSecond = (page.bytes - bytes) / seconds;
    page.rates.cloudUpdatesPerSecond = (page.cloud.updates - updates) / seconds;
    bytes = page.bytes;
    updates = page.cloud.updates;
    at = now;
    $('rates').textContent = `receiving ${(page.rates.bytesPerSecond / 1e6).toFixed(1)} MB/s · ` +
      `3D ${page.rates.cloudUpdatesPerSecond.toFixed(1)} updates/s`;
  }, 1000);
}

async function save() {
  const button = $('save');
  button.disabled = true;
  const query = new URLSearchParams();
  for (const [channel, seq] of Object.entries(page.shown)) query.set(`ch${channel}`, seq);
  if ($('cloud-colours').value === 'fused' && page.hasColour) query.set('fuse', $('cloud-channel').value);
  message('saving…');
  try {
    const answer = await api(`/api/save?${query}`, { method: 'POST' });
    message(`saved ${answer.files.length} files into ${answer.folder}${answer.note ? ` (${answer.note})` : ''}`);
    $('message').dataset.folder = answer.folder;
  } catch (e) {
    message(`not saved: ${e.message}`, true);
  } finally {
    button.disabled = false;
  }
}

async function start() {
  const [info, map, controls] = await Promise.all([api('/api/info'), api('/api/colormap'), api('/api/controls')]);
  $('camera').textContent = `camera ${info.camera.index} · ${info.camera.serial}`;
  page.cloud = createCloudView($('cloud'), $('cloud-fallback'));
  const depth = info.channels.filter((c) => c.kind === 'depth');
  page.hasColour = info.channels.some((c) => c.kind === 'colour');
  for (const c of depth) $('cloud-channel').add(new Option(`${c.channel}`, c.channel));
  $('cloud-channel').addEventListener('change', followCloud);
  if (!page.hasColour) $('cloud-colours').disabled = true;
  const auto = depth.length ? depth[0].default_step : 1;
  $('image-detail').add(new Option(`auto (${everyNth(auto)})`, 'auto'));
  const steps = [1, 2, 3, 4, 8];
  for (const s of steps) {
    $('image-detail').add(new Option(everyNth(s), s));
    $('cloud-detail').add(new Option(everyNth(s), s));
  }
  if (depth.length) $('cloud-detail').value = String(page.cloud.stepFor(depth[0].width, depth[0].height, steps));
  for (const c of info.channels) page.panels[c.channel] = new ImagePanel($('images'), c.channel, c.kind, map.stops);

  const panel = new ControlsPanel($('controls'), () => {});
  panel.show(controls.controls);
  $('save').addEventListener('click', save);
  measure();
  for (const c of info.channels) followImages(c.channel);
  if (depth.length) followCloud();
  followStats(new StatsPanel($('stats'), $('plot'), $('plot-key')));
}

// For tests and the curious: what the page has received and drawn.
window.voraView = {
  rates: () => ({ ...page.rates }),
  shown: () => ({ ...page.shown }),
  cloudUpdates: () => (page.cloud ? page.cloud.updates : 0),
  cloudMode: () => (page.cloud ? page.cloud.mode : ''),  // 'webgl', '2d' or 'none'
  cloudPose: () => (page.cloud ? page.cloud.pose() : null),
  frames: () => page.frames,
};

window.addEventListener('pagehide', () => { page.running = false; });
start().catch((e) => {
  setState('failed', 'lost');
  message(`the page could not start: ${e.message}`, true);
});
