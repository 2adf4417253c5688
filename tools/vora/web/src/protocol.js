// The server's frames: a 64-byte little-endian header, then the arrays its
// flags name (see view_frames.h in the tool).
const HEADER_BYTES = 64;
export const KIND_DEPTH = 1;
export const KIND_COLOUR = 2;
const HAS_POINTS = 1;
const HAS_DEPTH_COLOURS = 2;
const HAS_FUSED_COLOURS = 4;

export function decodeFrame(buffer) {
  if (buffer.byteLength < HEADER_BYTES) throw new Error(`a frame of ${buffer.byteLength} bytes is too short`);
  const v = new DataView(buffer);
  const magic = String.fromCharCode(v.getUint8(0), v.getUint8(1), v.getUint8(2), v.getUint8(3));
  if (magic !== 'VORF' || v.getUint16(4, true) !== 1) throw new Error('not a frame of this viewer');
  const f = {
    kind: v.getUint16(6, true),
    channel: v.getUint16(8, true),
    flags: v.getUint16(10, true),
    seq: v.getUint32(12, true),
    width: v.getUint32(16, true),
    height: v.getUint32(20, true),
    step: v.getUint32(24, true),
    frameWidth: v.getUint32(28, true),
    frameHeight: v.getUint32(32, true),
    scale: v.getFloat32(36, true),
    nearMm: v.getFloat32(40, true),
    farMm: v.getFloat32(44, true),
    blockId: v.getUint32(48, true),
    colourSeq: v.getUint32(52, true),
    bytes: buffer.byteLength,
  };
  const n = f.width * f.height;
  let offset = HEADER_BYTES;
  const take = (Type, count) => {
    const bytes = count * Type.BYTES_PER_ELEMENT;
    if (offset + bytes > buffer.byteLength) throw new Error(`frame ${f.seq} of channel ${f.channel} is cut short`);
    const array = new Type(buffer, offset, count);
    offset += bytes;
    return array;
  };
  if (f.kind === KIND_DEPTH) {
    if (f.flags & HAS_POINTS) f.points = take(Int16Array, 3 * n);
    if (f.flags & HAS_DEPTH_COLOURS) f.depthColours = take(Uint8Array, 3 * n);
    if (f.flags & HAS_FUSED_COLOURS) f.fusedColours = take(Uint8Array, 3 * n);
  } else if (f.kind === KIND_COLOUR) {
    f.rgb = take(Uint8Array, 3 * n);
  } else {
    throw new Error(`frame of unknown kind ${f.kind}`);
  }
  return f;
}

// A JSON answer; throws with the server's message when it refused.
export async function api(path, options = {}) {
  const response = await fetch(path, options);
  const text = await response.text();
  let body = {};
  try {
    body = text ? JSON.parse(text) : {};
  } catch {
    throw new Error(`${path}: ${response.status} ${text.slice(0, 200)}`);
  }
  if (!response.ok) {
    const error = new Error(body.error || `${path}: ${response.status}`);
    error.body = body;
    throw error;
  }
  return body;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
export const nextPaint = () => new Promise((resolve) => requestAnimationFrame(() => resolve()));

// "every pixel", "every 2nd pixel", "every 4th pixel"
export function everyNth(step) {
  if (step <= 1) return 'every pixel';
  const suffix = step === 2 ? 'nd' : step === 3 ? 'rd' : 'th';
  return `every ${step}${suffix} pixel`;
}
