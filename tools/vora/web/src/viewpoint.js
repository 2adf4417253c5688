// What both drawings of the cloud share: the lens, the background, where the
// view starts, and the camera's frame turned into the view's.
export const FIELD_OF_VIEW = 50;  // degrees, vertical
export const NEAR_MM = 10;
export const FAR_MM = 200000;
export const BACKGROUND = [0x0b, 0x0c, 0x0f];

// The camera's frame has y down and z forward; the view's y is up and it
// looks along -z: a half turn about x.
export const toView = (x, y, z) => [x, -y, -z];

// Aimed at the middle of the depth range, from a little above and to the
// left of the camera, so that depth shows. Null without depth.
export function startingView(frame) {
  if (!(frame.farMm > 0)) return null;
  const middle = (frame.nearMm + frame.farMm) / 2;
  return { position: [-0.35 * middle, 0.3 * middle, 0], target: [0, 0, -middle] };
}

// Once per channel and size: a new frame of the same keeps the user's view.
export const aimKey = (frame) => `${frame.channel}:${frame.width}x${frame.height}`;
