"""Recordings: a camera's streams into an MCAP file (``Camera.record``), and
the frames of a recording back as NumPy arrays (``open_recording``), without
a camera."""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Iterator, Optional, Union

import numpy as np
import VoraSDK as _sdk
import _voracam_native as _native

from .calibration import Calibration
from .discovery import CameraInfo, _dotted, _mac, _text
from .errors import VoraError, check
from .frame import _FrameBytes

PathLike = Union[str, os.PathLike]

_END = _sdk.VORA_ERR_RECORDING_END


@dataclass(frozen=True)
class RecordedChannel:
    """One stream channel of a recording: frames written, frames dropped
    while recording (the recorder's queue was full or a write failed), and
    the gaps in the block ids of the frames written (places where they
    skip, and ids skipped in all: frames dropped or lost on the way).
    ``None`` where a recording file does not say (it was cut short, or made
    by an older version; its gaps are then found from its frames)."""

    channel: int
    frames: int
    dropped: Optional[int]
    gaps: Optional[int]
    missing_blocks: Optional[int]


@dataclass(frozen=True)
class RecordingStatistics:
    """Frames written, frames dropped (the recorder's queue was full or a
    write failed) and bytes written; ``channels``: a RecordedChannel per
    channel recorded, by channel number."""

    frames: int
    dropped: int
    bytes: int
    channels: dict = field(default_factory=dict)


def recording_statistics(index: int) -> RecordingStatistics:
    status, frames, dropped, size = _native.recording_statistics(index)
    check(status, f"recording statistics of camera {index}")
    channels = {}
    for channel in range(3):
        status, *figures = _native.recording_channel_statistics(index, channel)
        if status == 0:  # not recorded otherwise
            channels[channel] = RecordedChannel(channel, *figures)
    return RecordingStatistics(frames, dropped, size, channels)


class RecordedFrame(_FrameBytes):
    """A frame of a recording: its metadata and NumPy views of its bytes
    (read-only, sharing the frame's memory), exactly as the camera sent it."""

    def __init__(self, info: _sdk.PhotoInfoCSharp, data: bytes, log_time_ns: int) -> None:
        super().__init__(info, data)
        #: When the host received it (wall clock, nanoseconds).
        self.log_time_ns = log_time_ns

    @property
    def metadata(self) -> dict:
        return {"channel": self.channel, "block_id": self.block_id, "timestamp_ns": self.timestamp,
                "log_time_ns": self.log_time_ns, "width": self.width, "height": self.height,
                "pixel_format": self.pixel_format, "cloud_unit": self.cloud_unit,
                "payload_size": self.payload_size, "roi": self.roi}

    def _bytes_held(self) -> int:
        # The read buffer may be longer than this frame's payload; what lies
        # past the payload is not the frame's.
        return min(self.payload_size, len(self.data))

    @property
    def raw(self) -> np.ndarray:
        """The payload's bytes as they came, uint8."""
        return np.frombuffer(self.data, np.uint8, count=self.payload_size)

    @property
    def points(self) -> np.ndarray:
        """The points in millimetres, (H, W, 3) float32: x, y signed, z
        unsigned, divided by ``cloud_unit``; no point is (0, 0, 0)."""
        self._require_cloud("points")
        raw = self._view(np.int16, (self.height, self.width, 3), 6, "points")
        points = raw.astype(np.float32)
        points[:, :, 2] = raw[:, :, 2].view(np.uint16)
        points /= np.float32(self.cloud_unit or 1)
        return points


class Recording:
    """An MCAP recording opened for reading; iterate it for its frames in
    file order. Use it as a context manager or close it."""

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        self._id = _sdk.OpenRecording(os.fsencode(path))
        if self._id < 0:
            raise VoraError(self._id, f"opening {self.path}")
        status, self.frame_count, self.start_ns, self.end_ns, self._payload = _native.recording_summary(self._id)
        check(status, f"reading {self.path}")
        #: [(topic, message type, messages)]
        self.topics: list[tuple[str, str, int]] = _native.recording_topics(self._id)

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        if self._id >= 0:
            _sdk.CloseRecording(self._id)
            self._id = -1

    def _require_open(self) -> None:
        if self._id < 0:
            raise VoraError(_sdk.VORA_ERR_RECORDING_MISSING, f"{self.path} is closed")

    @property
    def duration(self) -> float:
        """Seconds from the first frame received to the last."""
        return max(0, self.end_ns - self.start_ns) / 1e9

    @property
    def channels(self) -> list[RecordedChannel]:
        """The channels recorded, with the frames dropped while recording and
        the gaps in their block ids."""
        self._require_open()
        unknown = lambda n: None if n < 0 else n
        return [RecordedChannel(channel, frames, unknown(dropped), unknown(gaps), unknown(missing))
                for channel, frames, dropped, gaps, missing in _native.recording_channels(self._id)]

    @property
    def camera(self) -> Optional[CameraInfo]:
        """The recorded camera's identity (no host side: index -1)."""
        self._require_open()
        r = _sdk.DiscoveryInfo()
        if _sdk.GetRecordingCamera(self._id, r) != 0:
            return None
        return CameraInfo(index=-1, address=_dotted(r.camera_ip), mask=_dotted(r.camera_mask),
                          gateway=_dotted(r.camera_gateway), mac=_mac(r.camera_mac_high, r.camera_mac_low),
                          serial=_text(r.device_serial_number), model=_text(r.device_model_name),
                          vendor=_text(r.device_vendor_name), version=_text(r.device_version),
                          user_id=_text(r.device_user_id), host_address="", host_interface="", mtu=0,
                          same_subnet=False)

    def calibration(self, sensor: int) -> Calibration:
        """A sensor's calibration as the camera gave it (voracam.Calibration)."""
        self._require_open()
        p = _sdk.CameraParameter()
        check(_sdk.GetRecordingCalibration(self._id, sensor, p), f"calibration of sensor {sensor}")
        floats = lambda name, n: np.array([_sdk.floatArray_getitem(getattr(p, name), i) for i in range(n)],
                                          np.float32)
        return Calibration(floats("Kc", 5), floats("K", 9).reshape(3, 3), floats("R", 9).reshape(3, 3),
                           floats("T", 3))

    def seek(self, log_time_ns: int) -> None:
        """Goes on from the first frame received at ``log_time_ns`` or later."""
        self._require_open()
        check(_sdk.SeekRecording(self._id, int(log_time_ns)), "seeking")

    def read(self) -> Optional[RecordedFrame]:
        """The next frame, or None after the last."""
        self._require_open()
        size = max(self._payload, 1)
        for _ in range(2):
            info = _sdk.PhotoInfoCSharp()
            data = _native.frame_buffer(size)
            status, at = _native.read_recording_frame(self._id, info, data)
            if status == _END:
                return None
            if status == _sdk.VORA_ERR_INVALID_ARG and info.payload_size > size:
                size = info.payload_size  # larger than announced: it comes again
                continue
            check(status, f"reading {self.path}")
            return RecordedFrame(info, data, at)
        raise VoraError(_sdk.VORA_ERR_RECORDING_FORMAT, f"reading {self.path}")

    def __iter__(self) -> Iterator[RecordedFrame]:
        while True:
            frame = self.read()
            if frame is None:
                return
            yield frame


def open_recording(path: PathLike) -> Recording:
    """Opens a recording; iterate it for its frames as NumPy arrays with
    their metadata:

    >>> with voracam.open_recording("run.mcap") as rec:
    ...     for frame in rec:
    ...         print(frame.channel, frame.timestamp, frame.points.shape)
    """
    return Recording(path)
