import { everyNth } from './protocol.js';

// A channel's picture: the depth image in the preview PNGs' colours with a
// legend in millimetres, or the colour image.
function toImageData(rgb, width, height) {
  const image = new ImageData(width, height);
  const out = image.data;
  for (let i = 0, j = 0; i < rgb.length; i += 3, j += 4) {
    out[j] = rgb[i];
    out[j + 1] = rgb[i + 1];
    out[j + 2] = rgb[i + 2];
    out[j + 3] = 255;
  }
  return image;
}

export class ImagePanel {
  constructor(parent, channel, kind, colourMap) {
    this.channel = channel;
    this.kind = kind;
    this.drawn = 0;
    this.section = document.createElement('section');
    this.section.className = 'panel image';
    this.section.id = `${kind}-${channel}`;
    const title = document.createElement('h2');
    title.textContent = `${kind === 'depth' ? 'Depth' : 'Colour'} · channel ${channel}`;
    this.size = document.createElement('label');
    title.append(this.size);
    this.canvas = document.createElement('canvas');
    this.canvas.className = 'picture';
    this.section.append(title, this.canvas);
    if (kind === 'depth') this.section.append(this.legend(colourMap));
    parent.append(this.section);
  }

  legend(stops) {
    const box = document.createElement('div');
    box.className = 'legend';
    this.near = document.createElement('span');
    this.far = document.createElement('span');
    const bar = document.createElement('canvas');
    bar.width = stops.length;
    bar.height = 1;
    const g = bar.getContext('2d');
    stops.forEach(([r, gr, b], i) => {
      g.fillStyle = `rgb(${r},${gr},${b})`;
      g.fillRect(i, 0, 1, 1);
    });
    box.append(this.near, bar, this.far);
    return box;
  }

  show(frame) {
    const rgb = this.kind === 'depth' ? frame.depthColours : frame.rgb;
    if (!rgb) return;
    if (this.canvas.width !== frame.width || this.canvas.height !== frame.height) {
      this.canvas.width = frame.width;
      this.canvas.height = frame.height;
    }
    this.canvas.getContext('2d').putImageData(toImageData(rgb, frame.width, frame.height), 0, 0);
    this.size.textContent = `${frame.frameWidth} × ${frame.frameHeight}${frame.step > 1 ? `, ${everyNth(frame.step)}` : ''} · frame ${frame.seq}`;
    if (this.near) {
      const none = frame.farMm <= 0;
      this.near.textContent = none ? 'no depth' : `${Math.round(frame.nearMm)} mm`;
      this.far.textContent = none ? '' : `${Math.round(frame.farMm)} mm`;
    }
    this.drawn += 1;
  }
}
