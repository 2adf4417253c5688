"""Frames: a record and its bytes, seen through NumPy without copying; and
a depth frame with the colour each point sees, which Frame.fuse makes."""
from __future__ import annotations

import enum
import os
from typing import Optional, Protocol, Union

import numpy as np
import VoraSDK as _sdk
import _voracam_native as _native

from . import _args
from .errors import check
from .open3d_bridge import open3d_cloud

PathLike = Union[str, os.PathLike]


class FrameCamera(Protocol):
    """What a frame needs of the camera it came from (a voracam.Camera):
    the index the library's frame operations take. Frames name only this,
    so that they need not import the camera module, which imports them."""

    def processing_index(self) -> int: ...


def _pixel_formats() -> dict[str, int]:
    # The codes of vora_pixel_format.h as the module has them, named without
    # the prefix (MONO8, RGB8, ...), in the order of their values.
    prefix = "PIXEL_FORMAT_"
    codes = {name[len(prefix):]: value for name, value in vars(_sdk).items()
             if name.startswith(prefix) and isinstance(value, int)}
    return dict(sorted(codes.items(), key=lambda item: item[1]))


PixelFormat = enum.IntEnum("PixelFormat", _pixel_formats(), module=__name__, qualname="PixelFormat")
PixelFormat.__doc__ = "The pixel-format codes of the library (vora_pixel_format.h)."


# Element type and elements per pixel of the image formats.
_IMAGE_LAYOUTS = {PixelFormat.RGB8: (np.uint8, 3), PixelFormat.MONO8: (np.uint8, 1),
                  PixelFormat.BAYER_RG8: (np.uint8, 1), PixelFormat.YUV422_8: (np.uint8, 2),
                  PixelFormat.RGB565P: (np.uint16, 1)}
_RECORD_SIZE = 64  # sizeof(PhotoInfoCSharp)

# The files a frame can be saved as (the formats of `vora capture`): clouds
# as PCD, text PLY, binary PLY, text, 16-bit depth PNG and its colour-mapped
# preview; images as BMP and 8-bit RGB PNG; any frame as its raw bytes.
CLOUD_FORMATS = ("pcd", "ply", "plybin", "txt", "png", "preview", "raw")
IMAGE_FORMATS = ("bmp", "png", "raw")
_EXTENSIONS = {".pcd": "pcd", ".ply": "ply", ".txt": "txt", ".png": "png", ".bmp": "bmp", ".raw": "raw"}


def format_of(path: "PathLike", is_cloud: bool, fmt: Optional[str] = None) -> str:
    """The format a file is written in: ``fmt``, or what its name says
    (``.bin.ply`` is binary PLY)."""
    if fmt is not None:
        if not isinstance(fmt, str):
            raise TypeError(f"format must be a str, not {fmt!r}")
        return fmt.lower()
    name = os.fspath(path).lower()
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if name.endswith(".bin.ply"):
        return "plybin"
    return _EXTENSIONS.get(os.path.splitext(name)[1], os.path.splitext(name)[1] or "a file without extension")


def _fresh_copy(data: bytes, size: Optional[int] = None) -> bytes:
    """A bytes object of its own (``size`` bytes, zero-padded), for a library
    call that writes into its argument."""
    size = len(data) if size is None else size
    return bytes(memoryview(data)[:size]) + bytes(max(0, size - len(data)))


class _FrameBytes:
    """A frame's record and bytes, whether captured or read from a recording:
    its metadata and read-only NumPy views that share its memory."""

    def __init__(self, info: _sdk.PhotoInfoCSharp, data) -> None:
        self.info = info
        self.data = data

    def _library_bytes(self) -> bytes:
        """The bytes for the library calls that take only a bytes object: a
        lent frame is copied for them."""
        data = self.data
        return data if isinstance(data, bytes) else bytes(data)

    def __repr__(self) -> str:
        try:
            kind = PixelFormat(self.pixel_format).name
        except ValueError:
            kind = hex(self.pixel_format)
        return (f"<voracam.{type(self).__name__} channel {self.channel} block {self.block_id} "
                f"{kind} {self.width}x{self.height}>")

    # ---- metadata ----

    @property
    def width(self) -> int:
        return self.info.pixel_width

    @property
    def height(self) -> int:
        return self.info.pixel_height

    @property
    def pixel_format(self) -> int:
        return self.info.pixel_format

    @property
    def channel(self) -> int:
        return self.info.stream_channel_index_

    @property
    def block_id(self) -> int:
        return self.info.block_id

    @property
    def timestamp(self) -> int:
        """The camera's time stamp in nanoseconds."""
        return self.info.timestamp_low

    @property
    def cloud_unit(self) -> int:
        """Raw point units per millimetre."""
        return self.info.cloud_unit

    @property
    def payload_size(self) -> int:
        return self.info.payload_size

    @property
    def roi(self) -> tuple[int, int, int, int]:
        """Width, height, x and y offset of the frame within the sensor."""
        r = self.info.roi
        return (r.size_x, r.size_y, r.offset_x, r.offset_y)

    @property
    def is_cloud(self) -> bool:
        return self.pixel_format == PixelFormat.COORD3D_ABC16

    # ---- files ----

    def save(self, path: PathLike, format: Optional[str] = None) -> None:  # noqa: A002 - as in open()
        """Writes the frame with the library's writers, in the format its
        name says or ``format`` names: clouds ``.pcd``, ``.ply`` (text),
        ``.bin.ply`` (binary, format "plybin"), ``.txt``, ``.png`` (16-bit
        depth) or format "preview" (the depth colour-mapped, 8-bit PNG);
        images ``.bmp`` or ``.png`` (8-bit RGB); any frame ``.raw`` (its
        bytes as received). Files are those ``vora capture`` writes."""
        fmt = format_of(path, self.is_cloud, format)
        allowed = CLOUD_FORMATS if self.is_cloud else IMAGE_FORMATS
        if fmt not in allowed:
            raise ValueError(f"cannot save {self!r} as {fmt}: use one of {', '.join(allowed)}")
        if self._bytes_held() < self.payload_size:
            raise ValueError(f"{self!r} holds {len(self.data)} bytes of its {self.payload_size}")
        if fmt == "raw":
            with open(path, "wb") as out:
                out.write(memoryview(self.data)[:self.payload_size])
            return
        check(_native.save_frame(self.info, self.data, fmt.encode(), os.fsencode(path)),
              f"saving {os.fspath(path)}")

    # ---- NumPy views ----

    def _bytes_held(self) -> int:
        """How many of ``data``'s bytes the views may cover."""
        return len(self.data)

    def _view(self, dtype, shape: tuple, bytes_per_pixel: int, what: str) -> np.ndarray:
        needed = self.width * self.height * bytes_per_pixel
        held = self._bytes_held()
        if held < needed:
            raise ValueError(f"{what}: the frame holds {held} bytes, {needed} needed")
        # Through a memoryview, which the array keeps as its base: while the
        # array lives, a lent frame cannot go back to its stream.
        return np.frombuffer(memoryview(self.data), dtype, count=needed // np.dtype(dtype).itemsize).reshape(shape)

    def _require_cloud(self, what: str) -> None:
        if not self.is_cloud:
            raise ValueError(f"{what} needs a point cloud, not {self!r}")

    @property
    def depth(self) -> np.ndarray:
        """Raw z of every point, (H, W) uint16 (0: no point); divide by
        ``cloud_unit`` for millimetres."""
        self._require_cloud("depth")
        return self._view(np.uint16, (self.height, self.width, 3), 6, "depth")[:, :, 2]

    @property
    def points_metres(self) -> np.ndarray:
        """The points as ROS tools expect them: (H, W, 3) float32 in metres,
        NaN where there is no depth (a new array)."""
        self._require_cloud("points_metres")
        data = _native.cloud_in_metres(self.info, self.data)
        return np.frombuffer(data, np.float32).reshape(self.height, self.width, 3)

    @property
    def depth_mm(self) -> np.ndarray:
        """Depth in millimetres, (H, W) uint16, 0 where there is none (a new
        array)."""
        self._require_cloud("depth_mm")
        data = _native.cloud_depth_mm(self.info, self.data)
        return np.frombuffer(data, np.uint16).reshape(self.height, self.width)

    @property
    def image(self) -> np.ndarray:
        """The image as it came: RGB8 (H, W, 3) uint8, Mono8 and Bayer RG8
        (H, W) uint8, YUYV (H, W, 2) uint8, RGB565p (H, W) uint16."""
        if self.pixel_format not in _IMAGE_LAYOUTS:
            raise ValueError(f"image needs a colour or grey image, not {self!r}")
        dtype, channels = _IMAGE_LAYOUTS[self.pixel_format]
        shape = (self.height, self.width) + ((channels,) if channels > 1 else ())
        return self._view(dtype, shape, channels * np.dtype(dtype).itemsize, "image")


class Frame(_FrameBytes):
    """One captured frame: its metadata, its bytes (``data``) and NumPy views
    of them. Views are read-only and share the frame's memory.

    A captured frame is usually lent: its views lie over the library's own
    buffer, without a copy. ``close()`` (or leaving ``with stream.capture()
    as frame:``) gives it back to the stream as soon as no array taken from
    it remains; an array kept longer keeps the buffer, and it goes back when
    the last such array is collected. A frame never closed goes back when it
    and its arrays are collected, or becomes a copy when its stream closes
    first (see voracam.stream). After close() the frame offers no new
    views (ValueError); its metadata and arrays taken before stay valid.
    Frames made from it (``to_rgb``, the filters) and ``points`` are copies
    of their own."""

    def __init__(self, info: _sdk.PhotoInfoCSharp, data, camera: FrameCamera) -> None:
        self._closed = False
        super().__init__(info, data)
        self.camera = camera
        self._points: Optional[np.ndarray] = None

    @property
    def data(self):
        """The frame's bytes: a bytes object for a copy, a read-only
        memoryview of the library's buffer for a lent frame (which, like an
        array, keeps the buffer lent while it lives)."""
        if self._loan is None:
            return self._bytes
        return memoryview(self._loan)

    @data.setter
    def data(self, data) -> None:
        # bytes, or the loan object borrow_frame made
        self._loan = None if isinstance(data, bytes) else data
        self._bytes = data if isinstance(data, bytes) else None

    def __enter__(self) -> "Frame":
        return self

    def __exit__(self, exc_type, exc, traceback) -> None:
        self.close()

    def close(self) -> None:
        """Gives a lent frame back to its stream once no array taken from it
        remains. Safe to call more than once; a copied frame just refuses
        new views afterwards."""
        self._closed = True
        if self._loan is not None:
            self._loan.close()

    def _keep_copy(self) -> None:
        """Its stream closes: an open lent frame takes a copy of its bytes
        and gives the buffer back (once no array of it remains)."""
        loan = self._loan
        if loan is None:
            return
        if not self._closed:
            self._bytes = bytes(memoryview(loan))
            self._loan = None
        loan.close()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def lent(self) -> bool:
        """Whether the frame's bytes are the library's lent buffer (False for
        a copy, made when the stream had its loan limit out)."""
        return self._loan is not None

    def _bytes_held(self) -> int:
        if self._closed:
            raise ValueError(f"{self!r} is closed")
        return len(self._loan) if self._loan is not None else len(self._bytes)

    @property
    def raw(self) -> np.ndarray:
        """The raw cloud, (H, W, 3) int16: x, y signed; z is ``depth``."""
        self._require_cloud("raw")
        return self._view(np.int16, (self.height, self.width, 3), 6, "raw")

    @property
    def points(self) -> np.ndarray:
        """The points in millimetres, (H, W, 3) float32 (converted by the
        library once, then kept)."""
        self._require_cloud("points")
        if self._points is None:
            n = self.width * self.height
            self._view(np.uint8, (-1,), 6, "points")
            if self.payload_size < 6 * n:
                raise ValueError(f"points: the payload of {self!r} is shorter than its points")
            # The library also clears 2 x payload_size bytes of the array.
            floats = np.empty(max(3 * n, (self.payload_size + 1) // 2), np.float32)
            _native.frame_points(self.camera.processing_index(), self.info, self.data, floats)
            self._points = floats[:3 * n].reshape(self.height, self.width, 3)
            self._points.flags.writeable = False
        return self._points

    def to_rgb(self) -> "Frame":
        """The frame as RGB8: Bayer RG8 and YUYV converted by the library;
        an RGB8 frame is returned as it is."""
        if self.pixel_format == PixelFormat.RGB8:
            return self
        w, h = self.width, self.height
        # What the library converts; it leaves any other frame as it was.
        if self.pixel_format == PixelFormat.BAYER_RG8:
            convertible = w >= 6 and h >= 6 and w % 2 == 0 and h % 2 == 0 and self.payload_size >= w * h
        elif self.pixel_format == PixelFormat.YUV422_8:
            convertible = (w * h) % 2 == 0 and self.payload_size >= 2 * w * h
        else:
            raise ValueError(f"to_rgb converts Bayer RG8 and YUYV frames, not {self!r}")
        if not convertible or self._bytes_held() < self.payload_size:
            raise ValueError(f"cannot convert {self!r}: Bayer needs even sizes of at least 6, YUYV whole "
                             f"pixel pairs, and the payload must hold them")
        size = 3 * w * h
        data = _fresh_copy(self.data, max(size, 3 * self.payload_size))
        _sdk.RawdataToRgb888CSharp(self.camera.processing_index(), self.info, data, len(data))
        return self._derived(data[:size], PixelFormat.RGB8, size)

    def rgb(self) -> np.ndarray:
        """The image as (H, W, 3) uint8 RGB, converting on request."""
        return self.to_rgb().image

    def _derived(self, data: bytes, pixel_format: int, payload_size: int) -> "Frame":
        info = _sdk.PhotoInfoCSharp()
        _sdk.memmove(info.this, _sdk.cdata(self.info.this, _RECORD_SIZE))
        info.pixel_format = pixel_format
        info.payload_size = payload_size
        return Frame(info, data, self.camera)

    # ---- filters ----

    def filter_outliers(self, tolerance: float = 1.0) -> "Frame":
        """A copy without the points that disagree with their neighbours
        (the tolerance grows with depth; 1.0 is the usual factor)."""
        self._require_cloud("filter_outliers")
        if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float)) or not tolerance >= 0:
            raise ValueError(f"tolerance must be a number of 0 or more, not {tolerance!r}")
        self._bytes_held()
        data = _fresh_copy(self.data)
        _sdk.FilterPointCloudCSharp(self.camera.processing_index(), self.info, data, len(data), float(tolerance))
        return self._derived(data, self.pixel_format, self.payload_size)

    def filter_sparse(self, min_points: int = 10) -> "Frame":
        """A copy without the points in sparsely populated cubes of space."""
        self._require_cloud("filter_sparse")
        min_points = _args.whole(min_points, "min_points", 0, 0x7FFFFFFF)
        self._bytes_held()
        data = _fresh_copy(self.data)
        check(_sdk.SpatialFilterPointcloudCSharp(self.camera.processing_index(), self.info, data, len(data),
                                                 int(min_points)), "spatial filter")
        return self._derived(data, self.pixel_format, self.payload_size)

    # ---- fusion, files and Open3D ----

    def fuse(self, colour: "Frame") -> "ColouredCloud":
        """This depth cloud with the colour each point sees in ``colour``."""
        return colour_cloud(self, colour)

    def to_open3d(self, keep_empty: bool = False):
        """An ``open3d.geometry.PointCloud`` of the points, in millimetres
        (Open3D must be installed). Empty pixels are left out unless
        ``keep_empty``."""
        points = self.points.reshape(-1, 3)
        return open3d_cloud(points, None, None if keep_empty else points[:, 2] != 0)



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
        check(getattr(_sdk, _FUSED_WRITERS[suffix])(d.camera.processing_index(), d.info, d._library_bytes(),
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
    colour_data = colour._library_bytes()
    check(_sdk.FusionImageTo3DCSharp(index, colour.info, colour_data, len(colour_data), depth.info,
                                     depth._library_bytes(), fused), "colouring the cloud")
    return ColouredCloud(depth, fused)
