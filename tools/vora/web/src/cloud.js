// The point cloud in WebGL (three.js). The points arrive as 16-bit integers
// and their colours as RGB bytes; they go to the graphics card as floats and
// RGBA, the formats every implementation takes without converting (a
// software renderer converts 16-bit triples and 3-byte colours on the CPU,
// at a third of the frame rate). The vertex shader scales the points to
// millimetres and drops the pixels without a point.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

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

export class CloudView {
  constructor(container) {
    this.container = container;
    this.renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
    this.renderer.setPixelRatio(Math.min(window.devicePixelRatio || 1, 2));
    this.renderer.setClearColor(0x0b0c0f);
    container.append(this.renderer.domElement);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(50, 1, 10, 200000);
    this.controls = new OrbitControls(this.camera, this.renderer.domElement);
    this.controls.addEventListener('change', () => { this.dirty = true; });
    this.material = new THREE.ShaderMaterial({
      uniforms: { scale: { value: 1 }, pointSize: { value: 2 } },
      vertexShader,
      fragmentShader,
    });
    // The camera's frame has y down and z forward; the view's y is up.
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
    // Aimed at the middle of the depth range once per channel and size.
    const aim = `${frame.channel}:${frame.width}x${frame.height}`;
    if (this.aimed !== aim && frame.farMm > 0) {
      this.aimed = aim;
      // From a little above and to the left of the camera, so that depth shows.
      const middle = (frame.nearMm + frame.farMm) / 2;
      this.camera.position.set(-0.35 * middle, 0.3 * middle, 0);
      this.controls.target.set(0, 0, -middle);
      this.controls.update();
    }
    this.dirty = true;
    this.fresh = true;
  }
}
