// The point cloud in WebGL (three.js). The points arrive as 16-bit integers
// and their colours as RGB bytes; they go to the graphics card as floats and
// RGBA, the formats every implementation takes without converting (a
// software renderer converts 16-bit triples and 3-byte colours on the CPU,
// at a third of the frame rate). The vertex shader scales the points to
// millimetres and drops the pixels without a point.
//
// A browser without WebGL (no GPU access on a remote desktop or a virtual
// machine, or WebGL switched off) gets the simplified drawing of sketch.js
// instead, with a note that says why; everything else on the page works
// the same either way.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { CloudSketch, SKETCH_POINTS } from './sketch.js';
import { aimKey, BACKGROUND, FAR_MM, FIELD_OF_VIEW, NEAR_MM, startingView } from './viewpoint.js';

const vertexShader = `
uniform float scale;
uniform float pointSize;
attribute vec4 rgb;
varying vec3 colour;
void main() {
  colour = rgb.rgb;
  if (position.z == 0.0) {
    gl_Position = vec4(0.0, 0.0, 2.0, 1.0);  // beyond the far plane: not drawn
    gl_PointSize = 0.0;
    return;
  }
  gl_Position = projectionMatrix * modelViewMatrix * vec4(position * scale, 1.0);
  gl_PointSize = pointSize;
}`;

const fragmentShader = `
varying vec3 colour;
void main() {
  gl_FragColor = vec4(colour, 1.0);
}`;

// A WebGL 2 context for three.js, or why there is none. Asked for here
// rather than by three.js, which reports a missing context as console
// errors and an exception.
function webgl() {
  const canvas = document.createElement('canvas');
  let reason = '';
  const heard = (e) => { reason = e.statusMessage || reason; };
  canvas.addEventListener('webglcontextcreationerror', heard);
  let context = null;
  try {
    // three.js's own choices, and a drawing buffer kept for screenshots.
    context = canvas.getContext('webgl2', {
      alpha: false, depth: true, stencil: false, antialias: false,
      premultipliedAlpha: true, preserveDrawingBuffer: true, powerPreference: 'default',
    });
  } catch (e) {
    reason = e.message;
  }
  canvas.removeEventListener('webglcontextcreationerror', heard);
  return { canvas, context, reason: reason.trim() || 'the browser gives no WebGL 2 context' };
}

// The 3D view: in WebGL where the browser has it, else the simplified
// drawing, with `note` shown to say why.
export function createCloudView(container, note) {
  const gl = webgl();
  let reason = gl.reason;
  if (gl.context) {
    try {
      return new CloudView(container, gl.canvas, gl.context);
    } catch (e) {
      reason = e.message;
      container.replaceChildren();
      gl.context.getExtension('WEBGL_lose_context')?.loseContext();
    }
  }
  note.hidden = false;
  try {
    const sketch = new CloudSketch(container);
    note.textContent = `WebGL is not available in this browser (${reason}): showing a simplified drawing ` +
      `of at most ${SKETCH_POINTS.toLocaleString('en')} points.`;
    console.warn(`vora view: no WebGL (${reason}); the 3D view falls back to a 2D canvas`);
    return sketch;
  } catch (e) {
    // Not even a 2D canvas: the rest of the page goes on without a cloud.
    note.textContent = `The point cloud cannot be drawn in this browser: WebGL is not available (${reason}), ` +
      `and ${e.message}.`;
    console.warn(`vora view: no WebGL (${reason}) and no 2D canvas; the 3D view is left out`);
    return { mode: 'none', updates: 0, drawn: 0, stepFor: (w, h, steps) => Math.max(...steps), show() {}, pose: () => null };
  }
}

export class CloudView {
  constructor(container, canvas, context) {
    this.mode = 'webgl';
    this.container = container;
    this.renderer = new THREE.WebGLRenderer({ canvas, context });
    this.renderer.setPixelRatio(Math.min(window.devicePixelRatio || 1, 2));
    this.renderer.setClearColor((BACKGROUND[0] << 16) | (BACKGROUND[1] << 8) | BACKGROUND[2]);
    container.append(this.renderer.domElement);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(FIELD_OF_VIEW, 1, NEAR_MM, FAR_MM);
    this.controls = new OrbitControls(this.camera, this.renderer.domElement);
    this.controls.addEventListener('change', () => { this.dirty = true; });
    this.material = new THREE.ShaderMaterial({
      uniforms: { scale: { value: 1 }, pointSize: { value: 2 } },
      vertexShader,
      fragmentShader,
    });
    // The camera's frame turned into the view's, as toView() does.
    this.holder = new THREE.Group();
    this.holder.rotation.x = Math.PI;
    this.scene.add(this.holder);
    this.points = null;
    this.count = 0;
    this.aimed = '';
    this.updates = 0;  // clouds drawn
    this.fresh = false;  // a cloud came since the last drawing
    this.dirty = true;
    new ResizeObserver(() => this.resize()).observe(container);
    this.resize();
    const loop = () => {
      requestAnimationFrame(loop);
      this.controls.update();
      if (this.dirty) {
        this.dirty = false;
        this.renderer.render(this.scene, this.camera);
        if (this.fresh) this.updates += 1;
        this.fresh = false;
      }
    };
    requestAnimationFrame(loop);
  }

  // Every 4th point of every 4th row: what a software renderer on two cores
  // still draws ten times a second.
  stepFor() {
    return 4;
  }

  resize() {
    const w = Math.max(1, this.container.clientWidth);
    const h = Math.max(1, this.container.clientHeight);
    this.renderer.setSize(w, h, false);
    this.renderer.domElement.style.width = `${w}px`;
    this.renderer.domElement.style.height = `${h}px`;
    this.camera.aspect = w / h;
    this.camera.updateProjectionMatrix();
    this.dirty = true;
  }

  // Shows a depth frame, in the colours of the colour image when fused.
  show(frame, fused) {
    const colours = fused && frame.fusedColours ? frame.fusedColours : frame.depthColours;
    if (!frame.points || !colours) return;
    const n = frame.width * frame.height;
    if (!this.points || this.count !== n) {
      if (this.points) {
        this.holder.remove(this.points);
        this.points.geometry.dispose();
      }
      const geometry = new THREE.BufferGeometry();
      geometry.setAttribute('position', new THREE.Float32BufferAttribute(new Float32Array(3 * n), 3));
      const rgba = new Uint8Array(4 * n).fill(255);
      geometry.setAttribute('rgb', new THREE.Uint8BufferAttribute(rgba, 4, true));
      this.points = new THREE.Points(geometry, this.material);
      this.points.frustumCulled = false;
      this.holder.add(this.points);
      this.count = n;
    }
    const geometry = this.points.geometry;
    geometry.attributes.position.array.set(frame.points);
    geometry.attributes.position.needsUpdate = true;
    const rgba = geometry.attributes.rgb.array;
    for (let i = 0, j = 0; i < colours.length; i += 3, j += 4) {
      rgba[j] = colours[i];
      rgba[j + 1] = colours[i + 1];
      rgba[j + 2] = colours[i + 2];
    }
    geometry.attributes.rgb.needsUpdate = true;
    this.material.uniforms.scale.value = frame.scale;
    const aim = aimKey(frame);
    const start = this.aimed !== aim && startingView(frame);
    if (start) {
      this.aimed = aim;
      this.camera.position.set(...start.position);
      this.controls.target.set(...start.target);
      this.controls.update();
    }
    this.dirty = true;
    this.fresh = true;
  }

  // Where the view is and looks at, in millimetres.
  pose() {
    return { position: this.camera.position.toArray(), target: this.controls.target.toArray() };
  }
}
