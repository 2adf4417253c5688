#!/usr/bin/env python3
"""Prints live statistics of the depth stream until Ctrl-C (or --frames).

    python3 depth_statistics.py [--frames N]
"""
import argparse

import numpy as np

import voracam


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=None, help="stop after this many frames")
    parser.add_argument("--wait", type=float, default=5.0, help="seconds to look for the camera")
    args = parser.parse_args()
    # `kill` and service managers send SIGTERM: leave the with-block as for
    # Ctrl-C, so that the camera is free for the next program at once.
    voracam.release_on_sigterm()

    with voracam.open(wait=args.wait) as cam, cam.stream(0) as depth:
        try:
            for frame in depth.frames(args.frames, timeout=5.0):
                z = frame.depth  # raw, no copy
                valid = z[z > 0] / frame.cloud_unit  # millimetres
                if valid.size:
                    print(f"block {frame.block_id:5d}  points {valid.size / z.size:6.1%}  "
                          f"depth min {valid.min():7.1f}  median {np.median(valid):7.1f}  max {valid.max():7.1f} mm")
                else:
                    print(f"block {frame.block_id:5d}  no points")
        except KeyboardInterrupt:
            pass  # leaving the with blocks stops the camera
        s = depth.statistics()
        print(f"complete {s.complete}, incomplete {s.incomplete}, packets lost {s.packets_lost}, "
              f"resent {s.packets_resent}")


if __name__ == "__main__":
    main()
