"""Depth and colour together, through the calibration of the camera the
frames came from: colours for the points of a cloud (``colour_cloud``, which
``Frame.fuse`` calls, kept beside Frame), and the cloud re-gridded onto the
colour image's pixels."""
from __future__ import annotations

import VoraSDK as _sdk

from .errors import check
from .frame import ColouredCloud, Frame, PathLike, _same_camera, colour_cloud  # noqa: F401 - offered here too
from .open3d_bridge import open3d_cloud  # noqa: F401 - offered here too


def depth_to_colour(depth: Frame, colour: Frame) -> Frame:
    """The cloud of ``depth`` re-gridded onto the pixels of ``colour``: a
    cloud frame of the colour image's size whose points line up with its
    pixels (0 where no point lands)."""
    index = _same_camera(depth, colour)
    info = _sdk.PhotoInfoCSharp()
    data = bytes(6 * colour.width * colour.height)
    colour_data, depth_data = colour._library_bytes(), depth._library_bytes()
    check(_sdk.Fusion3DToRGBCSharp(index, colour.info, colour_data, len(colour_data), depth.info, depth_data,
                                   len(depth_data), info, data, len(data)), "re-gridding the cloud")
    info.roi = colour.info.roi
    info.block_id = depth.block_id
    info.stream_channel_index_ = depth.channel
    info.timestamp_low = depth.timestamp
    return Frame(info, data, depth.camera)
