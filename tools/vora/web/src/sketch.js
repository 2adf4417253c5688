// The point cloud where the browser has no WebGL: projected on the CPU onto
// a 2D canvas, the nearest point winning each pixel, at most SKETCH_POINTS
// points a drawing so that it keeps up with the camera. Dragging orbits,
// right-dragging (or dragging with Ctrl or Shift) pans, the wheel and a
// middle-drag zoom: the WebGL view's controls, at their speeds.
import { aimKey, BACKGROUND, FAR_MM, FIELD_OF_VIEW, NEAR_MM, startingView, toView } from './viewpoint.js';

export const SKETCH_POINTS = 40000;
const POINT_PIXELS = 3;
const POLE = 1e-6;  // the polar angle stays off the poles, where "up" is lost
const TAN_HALF_FIELD = Math.tan((FIELD_OF_VIEW * Math.PI) / 360);

const sub = (a, b) => [a[0] - b[0], a[1] - b[1], a[2] - b[2]];
const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
const unit = (a) => {
  const length = Math.hypot(a[0], a[1], a[2]) || 1;
  return [a[0] / length, a[1] / length, a[2] / length];
};
const clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));
const LITTLE_ENDIAN = new Uint8Array(new Uint32Array([1]).buffer)[0] === 1;

// A viewpoint circling a target, the view's y up: its distance, its angle
// about y (azimuth) and its angle from y (polar).
class Orbit {
  constructor() {
    this.target = [0, 0, -1000];
    this.radius = 1000;
    this.azimuth = 0;
    this.polar = Math.PI / 2;
  }

  set(position, target) {
    this.target = [...target];
    const o = sub(position, target);
    this.radius = clamp(Math.hypot(o[0], o[1], o[2]), NEAR_MM, FAR_MM);
    this.azimuth = Math.atan2(o[0], o[2]);
    this.polar = clamp(Math.acos(clamp(o[1] / this.radius, -1, 1)), POLE, Math.PI - POLE);
  }

  position() {
    const across = Math.sin(this.polar) * this.radius;
    return [this.target[0] + across * Math.sin(this.azimuth), this.target[1] + this.radius * Math.cos(this.polar),
      this.target[2] + across * Math.cos(this.azimuth)];
  }

  // The viewer's forward, right and up directions.
  axes() {
    const forward = unit(sub(this.target, this.position()));
    const right = unit(cross(forward, [0, 1, 0]));
    return { forward, right, up: cross(right, forward) };
  }

  rotate(left, up) {
    this.azimuth -= left;
    this.polar = clamp(this.polar - up, POLE, Math.PI - POLE);
  }

  // By dx to the right and dy up, in millimetres at the target.
  pan(dx, dy) {
    const { right, up } = this.axes();
    for (let k = 0; k < 3; k += 1) this.target[k] += right[k] * dx + up[k] * dy;
  }

  zoom(scale) {
    this.radius = clamp(this.radius * scale, NEAR_MM, FAR_MM);
  }
}

// The wheel's and a middle-drag's zoom: 5 % further away per hundred units
// of travel down (or towards the user), 5 % nearer per hundred up.
const zoomScale = (delta) => 0.95 ** (-delta * 0.01);

export class CloudSketch {
  constructor(container) {
    this.mode = '2d';
    this.container = container;
    this.canvas = document.createElement('canvas');
    this.canvas.style.touchAction = 'none';
    this.g = this.canvas.getContext('2d');
    if (!this.g) throw new Error('the browser gives no 2D canvas either');
    container.append(this.canvas);
    this.orbit = new Orbit();
    this.frame = null;
    this.colours = null;
    this.aimed = '';
    this.updates = 0;  // clouds drawn
    this.drawn = 0;  // points in the last drawing
    this.fresh = false;  // a cloud came since the last drawing
    this.dirty = true;
    // Opaque pixels as 32-bit words that lie in memory as R, G, B, A bytes.
    this.word = LITTLE_ENDIAN ? (r, g, b) => (0xff000000 | (b << 16) | (g << 8) | r) >>> 0
      : (r, g, b) => ((r << 24) | (g << 16) | (b << 8) | 0xff) >>> 0;
    this.background = this.word(...BACKGROUND);
    this.listen();
    new ResizeObserver(() => this.resize()).observe(container);
    this.resize();
    const loop = () => {
      requestAnimationFrame(loop);
      if (this.dirty) {
        this.dirty = false;
        this.draw();
        if (this.fresh) this.updates += 1;
        this.fresh = false;
      }
    };
    requestAnimationFrame(loop);
  }

  // The finest of `steps` whose cloud of a width x height channel stays
  // within what the sketch draws.
  stepFor(width, height, steps) {
    if (!(width > 0 && height > 0)) return Math.max(...steps);
    const fits = steps.filter((s) => Math.ceil(width / s) * Math.ceil(height / s) <= SKETCH_POINTS);
    return fits.length ? Math.min(...fits) : Math.max(...steps);
  }

  listen() {
    const c = this.canvas;
    let drag = null;
    c.addEventListener('contextmenu', (e) => e.preventDefault());
    c.addEventListener('pointerdown', (e) => {
      const pan = e.button === 2 || (e.button === 0 && (e.ctrlKey || e.metaKey || e.shiftKey));
      const action = pan ? 'pan' : e.button === 0 ? 'rotate' : e.button === 1 ? 'zoom' : null;
      if (!action || drag) return;
      e.preventDefault();
      c.setPointerCapture(e.pointerId);
      drag = { action, id: e.pointerId, x: e.clientX, y: e.clientY };
    });
    c.addEventListener('pointermove', (e) => {
      if (!drag || e.pointerId !== drag.id) return;
      const dx = e.clientX - drag.x;
      const dy = e.clientY - drag.y;
      drag.x = e.clientX;
      drag.y = e.clientY;
      const h = Math.max(1, c.clientHeight);
      if (drag.action === 'rotate') {
        this.orbit.rotate((2 * Math.PI * dx) / h, (2 * Math.PI * dy) / h);
      } else if (drag.action === 'pan') {
        // The scene follows the pointer: millimetres per pixel at the target.
        const atTarget = (2 * this.orbit.radius * TAN_HALF_FIELD) / h;
        this.orbit.pan(-dx * atTarget, dy * atTarget);
      } else {
        this.orbit.zoom(zoomScale(dy));
      }
      this.dirty = true;
    });
    const end = (e) => {
      if (drag && e.pointerId === drag.id) drag = null;
    };
    c.addEventListener('pointerup', end);
    c.addEventListener('pointercancel', end);
    c.addEventListener('wheel', (e) => {
      e.preventDefault();
      const lines = e.deltaMode === 1 ? 16 : e.deltaMode === 2 ? 100 : 1;
      this.orbit.zoom(zoomScale(e.deltaY * lines));
      this.dirty = true;
    }, { passive: false });
  }

  resize() {
    const w = Math.max(1, this.container.clientWidth);
    const h = Math.max(1, this.container.clientHeight);
    this.canvas.width = w;
    this.canvas.height = h;
    this.canvas.style.width = `${w}px`;
    this.canvas.style.height = `${h}px`;
    this.image = this.g.createImageData(w, h);
    this.pixels = new Uint32Array(this.image.data.buffer);
    this.depth = new Float32Array(w * h);
    this.dirty = true;
  }

  // Shows a depth frame, in the colours of the colour image when fused.
  show(frame, fused) {
    const colours = fused && frame.fusedColours ? frame.fusedColours : frame.depthColours;
    if (!frame.points || !colours) return;
    this.frame = frame;
    this.colours = colours;
    const aim = aimKey(frame);
    const start = this.aimed !== aim && startingView(frame);
    if (start) {
      this.aimed = aim;
      this.orbit.set(start.position, start.target);
    }
    this.dirty = true;
    this.fresh = true;
  }

  draw() {
    const { width: w, height: h } = this.canvas;
    const { pixels, depth } = this;
    pixels.fill(this.background);
    depth.fill(Infinity);
    let drawn = 0;
    const frame = this.frame;
    if (frame) {
      const eye = this.orbit.position();
      const { forward, right, up } = this.orbit.axes();
      // Each row of the projection applied to the camera's 16-bit
      // coordinates: turned into the view's frame, scaled to millimetres,
      // measured from the eye.
      const axes = [toView(1, 0, 0), toView(0, 1, 0), toView(0, 0, 1)];
      const row = (a) => [...axes.map((v) => dot(a, v) * frame.scale), -dot(a, eye)];
      const [r0, r1, r2, r3] = row(right);
      const [u0, u1, u2, u3] = row(up);
      const [f0, f1, f2, f3] = row(forward);
      const focal = h / 2 / TAN_HALF_FIELD;
      const cx = w / 2;
      const cy = h / 2;
      const points = frame.points;
      const colours = this.colours;
      const fw = frame.width;
      const every = Math.max(1, Math.ceil(Math.sqrt((frame.width * frame.height) / SKETCH_POINTS)));
      for (let y = 0; y < frame.height; y += every) {
        for (let x = 0; x < fw; x += every) {
          const i = y * fw + x;
          const X = points[3 * i];
          const Y = points[3 * i + 1];
          const Z = points[3 * i + 2];
          if (Z === 0) continue;  // a pixel without a point
          const distance = f0 * X + f1 * Y + f2 * Z + f3;
          if (distance < NEAR_MM || distance > FAR_MM) continue;
          const k = focal / distance;
          const sx = Math.floor(cx + k * (r0 * X + r1 * Y + r2 * Z + r3));
          const sy = Math.floor(cy - k * (u0 * X + u1 * Y + u2 * Z + u3));
          if (sx < 0 || sy < 0 || sx >= w || sy >= h) continue;
          const colour = this.word(colours[3 * i], colours[3 * i + 1], colours[3 * i + 2]);
          for (let py = sy; py < Math.min(h, sy + POINT_PIXELS); py += 1) {
            for (let px = sx, j = py * w + sx; px < Math.min(w, sx + POINT_PIXELS); px += 1, j += 1) {
              if (distance < depth[j]) {
                depth[j] = distance;
                pixels[j] = colour;
              }
            }
          }
          drawn += 1;
        }
      }
    }
    this.drawn = drawn;
    this.g.putImageData(this.image, 0, 0);
  }

  // Where the view is and looks at, in millimetres.
  pose() {
    return { position: this.orbit.position(), target: [...this.orbit.target] };
  }
}
