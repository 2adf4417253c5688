"""Synchronised capture: several cameras triggered by one action command,
their frames grouped into sets by time stamp."""
from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import Iterable, Iterator, Optional, Sequence, Union

import VoraSDK as _sdk
import _voracam_native as _native

from . import _args
from .camera import Camera
from .clocks import (DEFAULT_DEVICE_KEY, ClockMapping, SyncCapability, clock_mapping, ptp_state_name,
                     set_action_keys, sync_capability)
from .discovery import CameraInfo, _until
from .errors import CAMERA_LOST, TIMEOUT, VoraError, check, close_quietly
from .frame import Frame
from .stream import _payload_size

_TIME_BASES = {"camera": _sdk.VORA_SET_TIME_CAMERA, "host": _sdk.VORA_SET_TIME_HOST}
_SLICE_US = 200_000


def open_many(cameras: Sequence[Union[int, str, CameraInfo, None]], *, wait: float = 0.0,
              wait_for_control: bool = True) -> list[Camera]:
    """Connects to several cameras, each chosen as ``voracam.open`` chooses
    one, discovering for up to ``wait`` seconds until all answer. When one
    cannot be opened, those already opened are closed before the error
    rises."""
    if isinstance(cameras, (str, bytes)) or not isinstance(cameras, Iterable):
        raise TypeError(f"cameras must be a list of indexes, serial numbers, addresses or CameraInfos, "
                        f"not {cameras!r}")
    wanted = list(cameras)
    if not wanted:
        raise ValueError("open_many needs at least one camera")
    from .camera import open as open_one
    from .discovery import _matches
    wait = _args.seconds(wait, "wait")
    _until(lambda found: all(any(_matches(c, w) for c in found) for w in wanted), wait)
    opened: list[Camera] = []
    try:
        for w in wanted:
            opened.append(open_one(w, wait_for_control=wait_for_control))
    except BaseException:
        for cam in reversed(opened):
            try:
                cam.close()
            except VoraError:
                pass
        raise
    return opened


@dataclass(frozen=True)
class ActionResult:
    """Which cameras acknowledged an action command: ``statuses[i]`` is 0,
    a device status (0x8016: too late) or ``VORA_ERR_NO_ACK``."""
    acknowledged: int
    statuses: tuple[int, ...]


def send_action(cameras: Sequence[Camera], *, device_key: int = DEFAULT_DEVICE_KEY, group_key: int = 1,
                group_mask: int = 1, action_time: Optional[int] = None, ack_timeout: float = 0.1) -> ActionResult:
    """Sends one action command to the cameras (one broadcast per host
    interface). ``action_time`` (camera ticks) schedules it; ``ack_timeout``
    seconds are waited for acknowledges (0: none asked for)."""
    indices = [c.index for c in cameras]
    ack_ms = int(round(_args.seconds(ack_timeout, "ack_timeout") * 1000))
    scheduled = action_time is not None
    when = _args.whole(action_time, "action_time", 0, 2**64 - 1) if scheduled else 0
    result, statuses = _native.send_action(indices, _args.whole(device_key, "device_key", 0, 0xFFFFFFFF),
                                           _args.whole(group_key, "group_key", 0, 0xFFFFFFFF),
                                           _args.whole(group_mask, "group_mask", 0, 0xFFFFFFFF), int(scheduled),
                                           when, ack_ms)
    if result < 0:
        raise VoraError(result, "sending an action command")
    return ActionResult(result, tuple(statuses))


@dataclass(frozen=True)
class SetMember:
    """One member of a set: its camera, channel, frame (None when absent),
    time stamp and offset from the set's time (ns)."""
    camera: Camera
    channel: int
    frame: Optional[Frame]
    time_ns: Optional[int]
    offset_ns: Optional[int]

    @property
    def present(self) -> bool:
        return self.frame is not None


@dataclass(frozen=True)
class SetOfFrames:
    """Frames of several cameras and channels taken at one instant."""
    set_id: int
    time_ns: int
    complete: bool
    spread_ns: int
    members: tuple[SetMember, ...]

    @property
    def frames(self) -> list[Optional[Frame]]:
        return [m.frame for m in self.members]


@dataclass(frozen=True)
class FrameSetStatistics:
    complete: int
    incomplete: int
    unmatched_frames: int
    worst_spread_ns: int


class FrameSet:
    """Groups the frames of (camera, channel) pairs into sets by time stamp.
    Each pair's channel must be open and acquiring. Iterating yields
    ``SetOfFrames`` as they come; it ends with VoraError code
    ``voracam.CAMERA_LOST`` once every camera is lost. Use it as a context
    manager or close it."""

    def __init__(self, members: Sequence[tuple[Camera, int]], *, tolerance_us: float = 1000,
                 wait_us: float = 200_000, time_base: str = "camera") -> None:
        if time_base not in _TIME_BASES:
            raise ValueError(f"time_base must be 'camera' or 'host', not {time_base!r}")
        pairs = []
        for member in members:
            if not isinstance(member, tuple) or len(member) != 2 or not isinstance(member[0], Camera):
                raise TypeError(f"members are (Camera, channel) pairs, not {member!r}")
            pairs.append((member[0], _args.channel(member[1])))
        if not pairs:
            raise ValueError("a frame set needs at least one member")
        if tolerance_us < 0 or wait_us < 0:
            raise ValueError("tolerance_us and wait_us must not be negative")
        self._members = pairs
        self._set: Optional[int] = None
        self._payloads = [_payload_size(cam.index, ch) for cam, ch in pairs]
        result = _native.open_frame_set([(cam.index, ch) for cam, ch in pairs], int(tolerance_us * 1000),
                                        int(wait_us), _TIME_BASES[time_base])
        if result < 0:
            raise VoraError(result, "opening the frame set")
        self._set = result

    def __enter__(self) -> "FrameSet":
        return self

    def __exit__(self, exc_type, exc, traceback) -> None:
        close_quietly(self.close, exc)

    def close(self) -> None:
        if self._set is not None:
            s, self._set = self._set, None
            check(_sdk.CloseFrameSet(s), "closing the frame set")

    @property
    def statistics(self) -> FrameSetStatistics:
        if self._set is None:
            raise VoraError(_sdk.VORA_ERR_FRAME_SET_MISSING, "the frame set is closed")
        s = _sdk.VoraFrameSetStatistics()
        check(_sdk.GetFrameSetStatistics(self._set, s), "frame set statistics")
        return FrameSetStatistics(int(s.complete), int(s.incomplete), int(s.unmatched_frames),
                                  int(s.worst_spread_ns))

    def next(self, timeout: Optional[float] = 5.0) -> SetOfFrames:
        """The next set, waiting up to ``timeout`` seconds (None: without
        limit); VoraError code ``voracam.TIMEOUT`` when none comes."""
        timeout = _args.seconds(timeout, "timeout", allow_none=True)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if self._set is None:
                raise VoraError(_sdk.VORA_ERR_FRAME_SET_MISSING, "the frame set is closed")
            left_us = _SLICE_US if deadline is None else math.ceil((deadline - time.monotonic()) * 1e6)
            records = [_sdk.PhotoInfoCSharp() for _ in self._members]
            buffers = [_native.frame_buffer(p) for p in self._payloads]
            status, set_id, time_ns, complete, _, spread, each = _native.next_frame_set(
                self._set, records, buffers, max(1, min(left_us, _SLICE_US)))
            if status == 0:
                members = []
                for (cam, ch), record, data, (present, t, offset) in zip(self._members, records, buffers, each):
                    frame = Frame(record, data, cam) if present else None
                    members.append(SetMember(cam, ch, frame, t if present else None, offset if present else None))
                return SetOfFrames(int(set_id), int(time_ns), bool(complete), int(spread), tuple(members))
            if status == CAMERA_LOST:
                cams = ", ".join(sorted({c.info.serial for c, _ in self._members}))
                raise VoraError(CAMERA_LOST, f"frame set: every camera ({cams}) was lost")
            if status != TIMEOUT:
                check(status, "frame set")
            if deadline is not None and time.monotonic() >= deadline:
                raise VoraError(TIMEOUT, f"frame set ({timeout} s)")

    def __iter__(self) -> Iterator[SetOfFrames]:
        while self._set is not None:
            yield self.next(None)

