"""An open camera: connection, features, calibration and stream channels."""
from __future__ import annotations

import atexit
import os
import weakref
from dataclasses import dataclass
from typing import Optional, Union

import numpy as np
import VoraSDK as _sdk
import _voracam_native as _native

from . import features
from .discovery import CameraInfo, _table, find
from .errors import VoraError, check
from .stream import Stream


@dataclass(frozen=True)
class Calibration:
    """One sensor's calibration: ``distortion`` (5 coefficients), the 3x3
    camera ``matrix``, and the ``rotation`` (3x3) and ``translation`` (3) of
    the sensor."""

    distortion: np.ndarray
    matrix: np.ndarray
    rotation: np.ndarray
    translation: np.ndarray


def _floats(read, cam: int, sensor: int, first: int, second: int, what: str) -> tuple[np.ndarray, np.ndarray]:
    a, b = _sdk.new_floatArray(first), _sdk.new_floatArray(second)
    try:
        check(read(cam, sensor, a, b), what)
        return (np.frombuffer(_sdk.cdata(a, 4 * first), np.float32).copy(),
                np.frombuffer(_sdk.cdata(b, 4 * second), np.float32).copy())
    finally:
        _sdk.delete_floatArray(a)
        _sdk.delete_floatArray(b)


class Camera:
    """A connected camera. Use it as a context manager (``with
    voracam.open() as cam:``): leaving the block stops acquisition, closes the
    stream channels and disconnects, also on exceptions and Ctrl-C."""

    def __init__(self, info: CameraInfo) -> None:
        self.info = info
        self.index = info.index
        self._streams: dict[int, Stream] = {}
        self._acquiring = False
        self._generation = _table.take(self.index)
        self._open = True
        status = _sdk.CameraConnect(self.index)
        if status != 0:
            self._open = False
            _table.give_back(self.index)
            raise VoraError(status, f"connecting to {info.serial} at {info.address}")
        _open_cameras.add(self)

    # ---- lifetime ----

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<voracam.Camera {self.info.serial} at {self.info.address}, {state}>"

    @property
    def is_open(self) -> bool:
        return self._open

    def close(self) -> None:
        """Stops acquisition, closes every stream channel and disconnects.
        Safe to call more than once."""
        if not self._open:
            return
        try:
            if self._acquiring:
                self.stop()
            _native.stop_recording(self.index)  # a recording left running is finished, not lost
            for stream in list(self._streams.values()):
                stream.close()
            _sdk.CameraDisconnect(self.index)
        finally:
            self._open = False
            _table.give_back(self.index)

    def _require_open(self) -> None:
        if not self._open:
            raise VoraError(_sdk.VORA_ERR_NOT_CONNECTED, f"camera {self.info.serial} is closed")

    def processing_index(self) -> int:
        """The index frame operations use: the camera object the frames came
        from, which holds the calibration. It lasts until a later discovery
        rebuilds the camera table."""
        if self._generation != _table.generation:
            raise VoraError(_sdk.VORA_ERR_CAMERA_MISSING,
                            f"camera {self.info.serial} belongs to an earlier discovery")
        return self.index

    # ---- features ----

    def get(self, name: str, index: int = 0) -> Union[int, str]:
        """Reads a feature by name; ``index`` is the sensor of per-sensor
        features (ExposureTime, ...) and the channel of per-channel ones
        (Width, PixelFormat, PayloadSize, ...)."""
        self._require_open()
        return features.get(self.index, name, index)

    def set(self, name: str, value: int, index: int = 0) -> None:
        """Writes a feature by name, through the library's range-checked
        control where there is one (ExposureTime, analoggain, Width, ...)."""
        self._require_open()
        features.set(self.index, name, value, index)

    def features(self) -> list[str]:
        """The feature names of the camera's device description."""
        self._require_open()
        return features.names(self.index)

    def roi(self, channel: int) -> tuple[int, int, int, int]:
        """Width, height, x and y offset of a channel's region of interest."""
        return tuple(self.get(n, channel) for n in ("Width", "Height", "OffsetX", "OffsetY"))

    def set_roi(self, channel: int, width: int, height: int, x: int = 0, y: int = 0) -> None:
        """Sets a channel's region; takes effect for streams opened afterwards."""
        self._require_open()
        check(_sdk.SetRoi(self.index, channel, width, height, x, y), f"region of channel {channel}")

    def calibration(self, sensor: int) -> Calibration:
        """A sensor's calibration as NumPy arrays."""
        self._require_open()
        distortion, matrix = _floats(_sdk.GetCamInternelParameter, self.index, sensor, 5, 9,
                                     f"calibration of sensor {sensor}")
        rotation, translation = _floats(_sdk.GetCamExternelParameter, self.index, sensor, 9, 3,
                                        f"calibration of sensor {sensor}")
        return Calibration(distortion, matrix.reshape(3, 3), rotation.reshape(3, 3), translation)

    def save_description(self, directory: Union[str, os.PathLike]) -> None:
        """Saves the camera's device description into ``directory``."""
        self._require_open()
        check(_sdk.SaveXmlToLocal(self.index, os.fsencode(directory)), "saving the device description")

    # ---- acquisition and streams ----

    def start(self) -> None:
        """Makes the camera send frames on its open channels."""
        self._require_open()
        check(_sdk.AcquisitionStart(self.index), "starting acquisition")
        self._acquiring = True

    def stop(self) -> None:
        """Stops the camera sending frames."""
        self._require_open()
        self._acquiring = False
        check(_sdk.AcquisitionStop(self.index), "stopping acquisition")

    def stream(self, channel: int, *, start: bool = True, buffers: Optional[int] = None,
               resend: Optional[bool] = None) -> Stream:
        """Opens a stream channel (0, 1 or 2) and, with ``start``, starts
        acquisition. ``buffers`` bounds the frames kept waiting; ``resend``
        switches packet resend requests. Use the stream as a context manager
        or close it."""
        self._require_open()
        if channel in self._streams:
            raise VoraError(_sdk.VORA_ERR_INVALID_ARG, f"channel {channel} is already open")
        stream = Stream(self, channel, buffers=buffers, resend=resend)
        self._streams[channel] = stream
        if start and not self._acquiring:
            try:
                self.start()
            except BaseException:
                stream.close()
                raise
        return stream

    # ---- recording ----

    def record(self, path: Union[str, os.PathLike], channels: Optional[list[int]] = None, *,
               compress: bool = False, raw_only: bool = False) -> None:
        """Starts recording open stream channels (default: all open ones)
        into an MCAP file; ``stop_recording`` finishes it. Writing runs in
        the library, off the receive threads."""
        self._require_open()
        chosen = sorted(self._streams) if channels is None else list(channels)
        mask = 0
        for channel in chosen:
            mask |= 1 << channel
        options = (_sdk.VORA_RECORD_ZSTD if compress else 0) | (_sdk.VORA_RECORD_RAW_ONLY if raw_only else 0)
        check(_sdk.StartRecording(self.index, mask, os.fsencode(path), options), f"recording to {path}")

    def stop_recording(self):
        """Writes what is queued, finishes the file; its statistics
        (voracam.RecordingStatistics)."""
        from .recording import recording_statistics

        status = _native.stop_recording(self.index)
        statistics = recording_statistics(self.index)
        check(status, "finishing the recording")
        return statistics

    def _stream_closed(self, channel: int) -> None:
        self._streams.pop(channel, None)
        if not self._streams and self._acquiring and self._open:
            self.stop()


_open_cameras: "weakref.WeakSet[Camera]" = weakref.WeakSet()


@atexit.register
def _close_open_cameras() -> None:
    # A program that forgets to close still leaves its cameras free.
    for camera in list(_open_cameras):
        try:
            camera.close()
        except VoraError:
            pass


def open(camera: Union[int, str, CameraInfo, None] = None, *, wait: float = 0.0) -> Camera:  # noqa: A001
    """Connects to a camera: by index in ``discover()``, serial number,
    address, a CameraInfo, or the first one (None). Keeps discovering for up
    to ``wait`` seconds until the camera answers."""
    return Camera(find(camera, wait))
