"""Depth and colour together, through the calibration of the camera the
frames came from: colours for the points of a cloud, and the cloud
re-gridded onto the colour image's pixels."""
from __future__ import annotations

import os
from typing import Optional

import numpy as np
import VoraSDK as _sdk

from .errors import check
from .frame import Frame, PathLike


_FUSED_WRITERS = {".txt": "SavePointCloudWithImageToTxtCSharp", ".pcd": "SavePointCloudWithImageToPcdCSharp",
                  ".ply": "SavePointCloudWithImageToPlyCSharp"}


class ColouredCloud:
    """A depth cloud with the colour each point sees: ``points`` (H, W, 3)
    float32 millimetres and ``colours`` (H, W, 3) uint8 RGB; points outside
    the colour image are all zero."""

    def __init__(self, depth: Frame, fused: np.ndarray) -> None:
        self.depth = depth
        self.fused = fused.reshape(-1, 6)  # x, y, z, B, G, R: the library's layout
        shape = (depth.height, depth.width, 3)
        self.points = self.fused[:, :3].reshape(shape)
        self.colours = self.fused[:, [5, 4, 3]].astype(np.uint8).reshape(shape)

    def save(self, path: PathLike) -> None:
        """Writes the coloured cloud with the library's writers, as its name
        says: ``.txt`` (``x y z b g r`` lines), ``.pcd`` (organised, with an
        rgb field) or ``.ply`` (binary, with red, green and blue), the files
        ``vora capture --fuse`` writes."""
        suffix = os.path.splitext(os.fspath(path))[1].lower()
        if suffix not in _FUSED_WRITERS:
            raise ValueError(f"cannot save a coloured cloud as {suffix or 'a file without extension'}: "
                             f"use one of {', '.join(sorted(_FUSED_WRITERS))}")
        d = self.depth
        check(getattr(_sdk, _FUSED_WRITERS[suffix])(d.camera.processing_index(), d.info, d.data,
                                                    self.fused.reshape(-1), os.fsencode(path)),
              f"saving {os.fspath(path)}")

    def to_open3d(self, keep_empty: bool = False):
        """A coloured ``open3d.geometry.PointCloud`` in millimetres (Open3D
        must be installed)."""
        points = self.points.reshape(-1, 3)
        return open3d_cloud(points, self.colours.reshape(-1, 3), None if keep_empty else points[:, 2] != 0)


def _same_camera(depth: Frame, colour: Frame) -> int:
    if depth.camera is not colour.camera:
        raise ValueError("fusion needs a depth and a colour frame of the same camera")
    if not depth.is_cloud:
        raise ValueError(f"fusion needs a depth cloud first, not {depth!r}")
    return depth.camera.processing_index()


def colour_cloud(depth: Frame, colour: Frame) -> ColouredCloud:
    """Gives every point of ``depth`` the colour of the pixel of ``colour``
    it projects to."""
    index = _same_camera(depth, colour)
    fused = np.empty(6 * depth.width * depth.height, np.float32)
    check(_sdk.FusionImageTo3DCSharp(index, colour.info, colour.data, len(colour.data), depth.info, depth.data,
                                     fused), "colouring the cloud")
    return ColouredCloud(depth, fused)


def depth_to_colour(depth: Frame, colour: Frame) -> Frame:
    """The cloud of ``depth`` re-gridded onto the pixels of ``colour``: a
    cloud frame of the colour image's size whose points line up with its
    pixels (0 where no point lands)."""
    index = _same_camera(depth, colour)
    info = _sdk.PhotoInfoCSharp()
    data = bytes(6 * colour.width * colour.height)
    check(_sdk.Fusion3DToRGBCSharp(index, colour.info, colour.data, len(colour.data), depth.info, depth.data,
                                   len(depth.data), info, data, len(data)), "re-gridding the cloud")
    info.roi = colour.info.roi
    info.block_id = depth.block_id
    info.stream_channel_index_ = depth.channel
    info.timestamp_low = depth.timestamp
    return Frame(info, data, depth.camera)


def open3d_cloud(points: np.ndarray, colours: Optional[np.ndarray], keep: Optional[np.ndarray]):
    """An Open3D point cloud of (N, 3) points and (N, 3) uint8 colours,
    keeping the rows ``keep`` marks."""
    try:
        import open3d
    except ImportError as error:
        raise ImportError("to_open3d needs Open3D (Debian: python3-open3d)") from error
    if keep is not None:
        points = points[keep]
        colours = None if colours is None else colours[keep]
    cloud = open3d.geometry.PointCloud(open3d.utility.Vector3dVector(points.astype(np.float64)))
    if colours is not None:
        cloud.colors = open3d.utility.Vector3dVector(colours.astype(np.float64) / 255.0)
    return cloud
