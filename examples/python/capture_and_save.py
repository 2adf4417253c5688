#!/usr/bin/env python3
"""Captures a few depth frames from the first camera and saves each one.

    python3 capture_and_save.py --out shots/ [--frames 3] [--format pcd,png]
"""
import argparse
from pathlib import Path

import voracam


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, required=True, help="folder for the files")
    parser.add_argument("--frames", type=int, default=3)
    parser.add_argument("--format", default="pcd,png", help="any of pcd, ply, txt, png")
    parser.add_argument("--wait", type=float, default=5.0, help="seconds to look for the camera")
    args = parser.parse_args()
    # `kill` and service managers send SIGTERM: leave the with-block as for
    # Ctrl-C, so that the camera is free for the next program at once.
    voracam.release_on_sigterm()
    args.out.mkdir(parents=True, exist_ok=True)

    with voracam.open(wait=args.wait) as cam, cam.stream(0) as depth:
        for frame in depth.frames(args.frames, timeout=5.0):
            for extension in args.format.split(","):
                path = args.out / f"depth_{frame.block_id:05d}.{extension}"
                frame.save(path)
                print(path)


if __name__ == "__main__":
    main()
