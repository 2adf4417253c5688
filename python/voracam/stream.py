"""A stream channel of an open camera: frames by capture or iteration.

Frames are borrowed: their NumPy views lie over the library's own buffer,
without a copy, and the buffer goes back to the stream when the frame is
closed (``with stream.capture() as frame:``, ``frame.close()``) and no array
taken from it remains, or when the frame and its arrays are collected. No
order of closing frames, arrays, streams and cameras lets an array see freed
memory. When a stream closes, each of its lent frames still alive becomes a
copy of its own and goes back, so code that keeps frames beyond the stream
or camera keeps working. Arrays and memoryviews already taken from a lent
frame cannot move: while any remains, the library's channel stays open for
it (acquisition stops at once, as before), and the camera, closed or not,
keeps its place in the table (it cannot be opened again) until the last of
them is collected.

A stream lends at most ``loan_limit`` frames at once; beyond that capture()
copies the frame as before, so code that keeps many frames keeps working
(``statistics().copied`` counts those)."""
from __future__ import annotations

import math
import threading
import time
import weakref
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any, Callable, Iterator, Mapping, Optional, Protocol

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

    def _channel_held(self, channel: int) -> None: ...

    def _channel_released(self, channel: int) -> None: ...


# Status of BorrowFrame when the stream has its loan limit of frames out.
LOAN_LIMIT = _sdk.VORA_ERR_LOAN_LIMIT


def _record(make: Callable[[], Any], read: Callable[[Any], int]) -> Mapping[str, int]:
    """A record of the library as a read-only mapping of its fields (the
    names are the C header's, through the SWIG proxy); all zero when the
    library cannot say."""
    record = make()
    status = read(record)
    names = [name for name, value in vars(type(record)).items()
             if isinstance(value, property) and name not in ("this", "thisown")]
    return MappingProxyType({name: getattr(record, name) if status == 0 else 0 for name in names})


class _Lease:
    """Holds a channel open in the library: the stream keeps one while it is
    open and every frame out on loan another, and the channel is closed in
    the library when the last of them lets go."""

    __slots__ = ("__weakref__",)


def _channel_off(camera: StreamCamera, cam: int, channel: int, status: list[int]) -> None:
    status.append(_sdk.StreamOff(cam, channel))
    camera._channel_released(channel)


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
    # Frames captured by copy because the loan limit was reached.
    copied: int = 0
    # VoraLoanStatistics (out, limit, lent, returned, refused).
    loans: Mapping[str, int] = field(default_factory=lambda: MappingProxyType({}))
    # VoraReceivePathStatistics: how datagrams reached the stream (zeros
    # where the library does not say).
    receive_path: Mapping[str, int] = field(default_factory=lambda: MappingProxyType({}))


class Stream:
    """An open stream channel. ``for frame in stream`` yields frames as they
    come; ``capture(timeout=...)`` takes one. Waiting releases the interpreter
    lock, so other Python threads keep running. Frames are lent without a
    copy while fewer than ``loan_limit`` are out (see the module's text)."""

    def __init__(self, camera: StreamCamera, channel: int, *, buffers: Optional[int] = None,
                 resend: Optional[bool] = None) -> None:
        self.camera = camera
        self.channel = _args.channel(channel)
        if buffers is not None:
            buffers = _args.whole(buffers, "buffers", 1, 0xFFFFFFFF)
        self._cam = camera.index
        self._lock = threading.Lock()
        self._open = False
        self._copied = 0
        # Lent frames, by plain weak references: a callback on each frame's
        # end would run Python code at any moment, where a signal's
        # exception (Ctrl-C, SIGTERM) is only printed and lost.
        self._lent: list[weakref.ref] = []
        check(_sdk.StreamOn(self._cam, channel), f"opening channel {channel}")
        self._open = True
        self._off_status: list[int] = []
        self._lease: Optional[_Lease] = _Lease()
        self._off = weakref.finalize(self._lease, _channel_off, camera, self._cam, channel, self._off_status)
        # At exit the process ends anyway: the channel is not closed under
        # arrays that module teardown may still reach.
        self._off.atexit = False
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
        release on it. Frames still out on loan become copies of their own;
        arrays taken from them stay readable, and the library's channel
        closes when the last of them is collected."""
        with self._lock:
            if not self._open:
                return
            self._open = False
            for ref in self._lent:
                frame = ref()
                if frame is not None:
                    frame._keep_copy()
            self._lent = []
            self.camera._channel_held(self.channel)
            # Without loans out, the lease ends here and the channel closes now.
            self._lease = None
        self.camera._stream_closed(self.channel)
        if self._off_status and self._off_status[0] != 0 and not self.camera.lost:
            check(self._off_status[0], f"closing channel {self.channel}")

    @property
    def held_open(self) -> bool:
        """True after close() while frames lent by the stream are still
        alive, which keep the library's channel open."""
        return not self._open and self._off.alive

    @property
    def is_open(self) -> bool:
        return self._open

    # ---- frames ----

    def _take(self, timeout_us: int) -> Optional[Frame]:
        """One wait in the library, of at most timeout_us (0: no wait): a
        lent frame, or a copy when the loan limit is reached."""
        info = _sdk.PhotoInfoCSharp()
        with self._lock:
            if not self._open:
                raise VoraError(_sdk.VORA_ERR_STREAM_MISSING, f"channel {self.channel} is closed")
            status, loan = _native.borrow_frame(self._cam, self.channel, info, timeout_us, self._lease)
            if status == LOAN_LIMIT:
                # The ready frame stays queued: copy it as before.
                data = _native.frame_buffer(self.payload_size)
                status = _native.capture_frame(self._cam, self.channel, info, data, timeout_us)
                if status == 0:
                    self._copied += 1
                    return Frame(info, data, self.camera)
        if status == 0:
            frame = Frame(info, loan, self.camera)
            self._lent = [ref for ref in self._lent if ref() is not None]
            self._lent.append(weakref.ref(frame))
            return frame
        if status == TIMEOUT:
            return None
        if status == CAMERA_LOST:
            raise self.camera.lost_error(f"capture on channel {self.channel}")
        raise VoraError(status, f"capture on channel {self.channel}")

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
    def loan_limit(self) -> int:
        """How many frames may be out on loan at once (1..64); captures
        beyond it copy."""
        return check_value(_sdk.GetLoanLimit(self._cam, self.channel), "loan limit")

    @loan_limit.setter
    def loan_limit(self, frames: int) -> None:
        frames = _args.whole(frames, "loan_limit", 1, 64)
        check(_sdk.SetLoanLimit(self._cam, self.channel, frames), "loan limit")

    @property
    def resend(self) -> bool:
        """Whether lost packets are requested again."""
        return bool(check_value(_sdk.GetResendRequest(self._cam, self.channel), "packet resend"))

    @resend.setter
    def resend(self, on: bool) -> None:
        _sdk.SetResendRequest(self._cam, self.channel, int(bool(on)))

    def statistics(self) -> StreamStatistics:
        """The channel's block and packet counters and current rates, its
        loans and how its datagrams came in."""
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
            frames_per_second=max(0.0, _sdk.GetBlockRate(self._cam, self.channel)),
            copied=self._copied,
            loans=_record(_sdk.VoraLoanStatistics, lambda r: _sdk.GetLoanStatistics(self._cam, self.channel, r)),
            receive_path=_record(_sdk.VoraReceivePathStatistics,
                                 lambda r: _sdk.GetReceivePathStatistics(self._cam, self.channel, r)))

