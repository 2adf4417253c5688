#!/usr/bin/env python3
"""Fuses a depth frame with the colour image and hands the coloured cloud to
Open3D: shown in a window, or written to a file with --out.

    python3 colour_cloud_open3d.py [--out cloud.ply]
"""
import argparse

import open3d

import voracam


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", help="write the cloud (.ply, .pcd) instead of showing it")
    parser.add_argument("--wait", type=float, default=5.0, help="seconds to look for the camera")
    args = parser.parse_args()
    # `kill` and service managers send SIGTERM: leave the with-block as for
    # Ctrl-C, so that the camera is free for the next program at once.
    voracam.release_on_sigterm()

    with voracam.open(wait=args.wait) as cam, cam.stream(0) as depth, cam.stream(1) as colour:
        cloud = depth.capture(timeout=5.0).fuse(colour.capture(timeout=5.0)).to_open3d()
    print(f"{len(cloud.points)} coloured points (millimetres)")
    if args.out:
        open3d.io.write_point_cloud(args.out, cloud)
    else:
        open3d.visualization.draw_geometries([cloud])


if __name__ == "__main__":
    main()
