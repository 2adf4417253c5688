"""A stream channel of an open camera: frames by capture or iteration."""
from __future__ import annotations

import math
import threading
import time
from dataclasses import dataclass
from typing import Iterator, Optional, Protocol

import VoraSDK as _sdk
import _voracam_native as _native

from . import _args
from .discovery import CameraInfo
from .errors import CAMERA_LOST, TIMEOUT, VoraError, check, check_value, close_quietly
from .frame import Frame, FrameCamera

# Longest single wait in the library: between two, Python handles Ctrl-C and
# close() gets its turn.
_SLICE_US = 200_000


def _payload_size(cam: int, channel: int) -> int:
    """The bytes of each frame of an open channel: its PayloadSize register,
    which the camera keeps per channel."""
    where = _sdk.GetRegisterAddr(cam, b"PayloadSize")
    if where < 0:
        raise VoraError(where, "PayloadSize: register")
    value = _sdk.new_intArray(1)
    try:
        check(_sdk.ReadRegister(cam, where + channel * _sdk.STREAM_CHANNEL_REG_STRIDE, value), "reading PayloadSize")
        return _sdk.intArray_getitem(value, 0) & 0xFFFFFFFF
    finally:
        _sdk.delete_intArray(value)


class StreamCamera(FrameCamera, Protocol):
    """What a stream needs of the camera that opened it (a voracam.Camera).
    Streams name only this, so that they need not import the camera module,
    which imports them."""

    index: int
    info: CameraInfo

    @property
    def lost(self) -> bool: ...

    def lost_error(self, operation: str) -> VoraError: ...

    def _stream_closed(self, channel: int) -> None: ...


@dataclass(frozen=True)
class StreamStatistics:
    """Counters of a stream channel since it opened, and its current rates."""

    complete: int
    incomplete: int
    timed_out: int
    no_buffer: int
    flushed: int
    lost: int
    errors: int
    overflow: int
    packets_received: int
    packets_lost: int
    packets_resend_requested: int
    packets_resent: int
    bytes_per_second: int
    frames_per_second: float


class Stream:
    """An open stream channel. ``for frame in stream`` yields frames as they
    come; ``capture(timeout=...)`` takes one. Waiting releases the interpreter
    lock, so other Python threads keep running."""

    def __init__(self, camera: StreamCamera, channel: int, *, buffers: Optional[int] = None,
                 resend: Optional[bool] = None) -> None:
        self.camera = camera
        self.channel = _args.channel(channel)
        if buffers is not None:
            buffers = _args.whole(buffers, "buffers", 1, 0xFFFFFFFF)
        self._cam = camera.index
        self._lock = threading.Lock()
        self._open = False
        check(_sdk.StreamOn(self._cam, channel), f"opening channel {channel}")
        self._open = True
        try:
            # Every frame of the channel is this size, fixed when it opened.
            self.payload_size = _payload_size(self._cam, channel)
            if buffers is not None:
                check(_sdk.SetMaxBufferLength(self._cam, channel, buffers), "buffer count")
            if resend is not None:
                _sdk.SetResendRequest(self._cam, channel, int(bool(resend)))
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, exc_type, exc, traceback) -> None:
        close_quietly(self.close, exc)

    def __repr__(self) -> str:
        return f"<voracam.Stream channel {self.channel} of {self.camera.info.serial}>"

    def close(self) -> None:
        """Closes the channel (waiting for a capture in progress to return);
        the camera stops acquisition when its last channel closes. A lost
        camera's channel closes without complaint: there is nothing left to
        release on it."""
        with self._lock:
            if not self._open:
                return
            self._open = False
            status = _sdk.StreamOff(self._cam, self.channel)
        self.camera._stream_closed(self.channel)
        if status != 0 and not self.camera.lost:
            check(status, f"closing channel {self.channel}")

    @property
    def is_open(self) -> bool:
        return self._open

    # ---- frames ----

    def _take(self, timeout_us: int) -> Optional[Frame]:
        """One wait in the library, of at most timeout_us (0: no wait)."""
        info = _sdk.PhotoInfoCSharp()
        data = _native.frame_buffer(self.payload_size)
        with self._lock:
            if not self._open:
                raise VoraError(_sdk.VORA_ERR_STREAM_MISSING, f"channel {self.channel} is closed")
            status = _native.capture_frame(self._cam, self.channel, info, data, timeout_us)
        if status == TIMEOUT:
            return None
        if status == CAMERA_LOST:
            raise self.camera.lost_error(f"capture on channel {self.channel}")
        check(status, f"capture on channel {self.channel}")
        return Frame(info, data, self.camera)

    def capture(self, timeout: Optional[float] = 5.0) -> Frame:
        """The next frame, waiting up to ``timeout`` seconds (None: without
        limit). Raises VoraError with code ``voracam.TIMEOUT`` when none
        comes, and with ``voracam.CAMERA_LOST`` as soon as the camera is
        lost (the frames received before are still handed out first)."""
        timeout = _args.seconds(timeout, "timeout", allow_none=True)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left_us = _SLICE_US if deadline is None else math.ceil((deadline - time.monotonic()) * 1e6)
            frame = self._take(max(1, min(left_us, _SLICE_US)))
            if frame is not None:
                return frame
            if deadline is not None and time.monotonic() >= deadline:
                raise VoraError(TIMEOUT, f"capture on channel {self.channel} ({timeout} s)")

    def try_capture(self) -> Optional[Frame]:
        """A frame that is already waiting, or None."""
        return self._take(0)

    def frames(self, count: Optional[int] = None, timeout: Optional[float] = 5.0) -> Iterator[Frame]:
        """Yields ``count`` frames (None: until the stream closes), each
        awaited up to ``timeout`` seconds. A lost camera ends it with
        VoraError (code ``voracam.CAMERA_LOST``)."""
        if count is not None:
            count = _args.whole(count, "count", 0)
        timeout = _args.seconds(timeout, "timeout", allow_none=True)
        return self._frames(count, timeout)

    def _frames(self, count: Optional[int], timeout: Optional[float]) -> Iterator[Frame]:
        taken = 0
        while (count is None or taken < count) and self._open:
            yield self.capture(timeout)
            taken += 1

    def __iter__(self) -> Iterator[Frame]:
        """Frames as they come, until the stream closes; a lost camera ends
        the loop with VoraError (code ``voracam.CAMERA_LOST``)."""
        return self.frames(timeout=None)

    def flush(self) -> None:
        """Drops the frames waiting to be captured."""
        _sdk.FlushBuffer(self._cam, self.channel)

    # ---- settings and statistics ----

    @property
    def buffers(self) -> int:
        """How many frames the channel keeps waiting at most."""
        return check_value(_sdk.GetMaxBufferLength(self._cam, self.channel), "buffer count")

    @buffers.setter
    def buffers(self, count: int) -> None:
        count = _args.whole(count, "buffers", 1, 0xFFFFFFFF)
        check(_sdk.SetMaxBufferLength(self._cam, self.channel, count), "buffer count")

    @property
    def resend(self) -> bool:
        """Whether lost packets are requested again."""
        return bool(check_value(_sdk.GetResendRequest(self._cam, self.channel), "packet resend"))

    @resend.setter
    def resend(self, on: bool) -> None:
        _sdk.SetResendRequest(self._cam, self.channel, int(bool(on)))

    def statistics(self) -> StreamStatistics:
        """The channel's block and packet counters and current rates."""
        blocks = [_sdk.new_unsignedintArray(1) for _ in range(8)]
        packets = [_sdk.new_unsignedintArray(1) for _ in range(7)]
        try:
            _sdk.GetBlockStatistics(self._cam, self.channel, *blocks)
            _sdk.GetPacketStatistics(self._cam, self.channel, *packets)
            b = [_sdk.unsignedintArray_getitem(p, 0) for p in blocks]
            p = [_sdk.unsignedintArray_getitem(q, 0) for q in packets]
        finally:
            for pointer in blocks + packets:
                _sdk.delete_unsignedintArray(pointer)
        return StreamStatistics(
            complete=b[0], incomplete=b[1], timed_out=b[2], no_buffer=b[3], flushed=b[4], lost=b[5],
            errors=b[6], overflow=b[7], packets_received=p[0], packets_lost=p[1],
            packets_resend_requested=p[4], packets_resent=p[5],
            bytes_per_second=max(0, _sdk.GetNetSpeed(self._cam, self.channel)),
            frames_per_second=max(0.0, _sdk.GetBlockRate(self._cam, self.channel)))
