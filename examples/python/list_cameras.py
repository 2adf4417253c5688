#!/usr/bin/env python3
"""Lists the cameras on this host's networks.

    python3 list_cameras.py [--wait SECONDS]
"""
import argparse

import voracam


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wait", type=float, default=0.0, help="keep looking this long for a first camera")
    args = parser.parse_args()
    cameras = voracam.discover(wait=args.wait)
    if not cameras:
        print("no camera found")
        return 3
    print(f"{'#':>2}  {'serial':<16} {'model':<20} {'address':<15} {'MAC':<17} interface")
    for c in cameras:
        subnet = "" if c.same_subnet else "  (other subnet)"
        print(f"{c.index:>2}  {c.serial:<16} {c.model:<20} {c.address:<15} {c.mac:<17} {c.host_interface}{subnet}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
