"""An open camera: connection, features, calibration and stream channels."""
from __future__ import annotations

import atexit
import os
import signal
import threading
import time
import warnings
import weakref
from typing import Optional, Union

import numpy as np
import VoraSDK as _sdk
import _voracam_native as _native

from . import _args, clocks, features
from .calibration import Calibration
from .discovery import CameraInfo, _table, find
from .errors import CAMERA_LOST, NOT_CONNECTED, VoraError, check, close_quietly
from .recording import RecordingStatistics, recording_statistics
from .stream import Stream

# The GigE Vision bootstrap register of the heartbeat timeout (milliseconds),
# as the library names it, and the default a camera starts with.
_HEARTBEAT_TIMEOUT_REGISTER = _sdk.Heartbeat_Timeout_Reg
_DEFAULT_HEARTBEAT_MS = 3000


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

    def __init__(self, info: CameraInfo, wait_for_control: bool = True) -> None:
        self.info = info
        self.index = info.index
        self._streams: dict[int, Stream] = {}
        # Channels closed in Python whose library side is still held open
        # for frames out on loan.
        self._held: set[int] = set()
        self._acquiring = False
        self._generation = _table.take(self.index)
        self._open = True
        try:
            _connect(info, wait_for_control)
        except BaseException:
            self._open = False
            _table.give_back(self.index)
            raise
        _open_cameras.add(self)

    # ---- lifetime ----

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, exc_type, exc, traceback) -> None:
        close_quietly(self.close, exc)

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<voracam.Camera {self.info.serial} at {self.info.address}, {state}>"

    @property
    def is_open(self) -> bool:
        return self._open

    @property
    def lost(self) -> bool:
        """True once the library has given the camera up: it stopped
        answering (unplugged, powered off, rebooted) or its control lapsed.
        Captures then end with VoraError code ``voracam.CAMERA_LOST``."""
        return self._open and _sdk.GetConnectionState(self.index) == CAMERA_LOST

    def lost_error(self, operation: str) -> VoraError:
        """The error of a wait that ended because the camera was lost."""
        return VoraError(CAMERA_LOST, f"{operation}: camera {self.info.serial} at {self.info.address} was lost")

    def close(self) -> None:
        """Stops acquisition, closes every stream channel and disconnects.
        Safe to call more than once; a lost camera closes without complaint,
        since there is nothing left to release on it. Arrays of frames still
        out on loan stay readable: their channels stay open in the library
        until the last of them is collected, and until then the camera's
        place in the table stays taken (it cannot be opened again)."""
        if not self._open:
            return
        first: Optional[VoraError] = None
        try:
            if self._acquiring:
                try:
                    self._stop_unless_lost()
                except VoraError as error:
                    first = error
            _native.stop_recording(self.index)  # a recording left running is finished, not lost
            for stream in list(self._streams.values()):
                try:
                    stream.close()
                except VoraError as error:
                    first = first or error
            _sdk.CameraDisconnect(self.index)
        finally:
            self._open = False
            if not self._held:
                _table.give_back(self.index)
        if first is not None:
            raise first

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

    def features(self, category: Optional[str] = None) -> list[str]:
        """The names of the camera's features in description order (no
        categories), or of one category's (through its sub-categories)."""
        if category is not None:
            category = _args.text(category, "category")
        self._require_open()
        return features.names(self.index, category)

    def describe(self, name: str) -> features.FeatureInfo:
        """What the description says of a feature now: type, access,
        bounds, entries, selectors, unit, ..."""
        name = _args.text(name, "feature name")
        self._require_open()
        return features.describe(self.index, name)

    def get(self, name: str, index: Optional[int] = None) -> features.Value:
        """A feature's value as int, float, bool, str (an enumeration's
        entry by name, a string) or bytes (a register). ``index`` first sets
        the feature's selector, e.g. the sensor of ExposureTime."""
        name = _args.text(name, "feature name")
        if index is not None:
            index = _args.whole(index, "index", 0)
        self._require_open()
        return features.get(self.index, name, index)

    def set(self, name: str, value: features.Value, index: Optional[int] = None) -> None:
        """Writes a feature; the value as get() gives it (an enumeration by
        entry name or value). A value outside the feature's bounds raises
        ValueError naming the range, one of the wrong type TypeError."""
        name = _args.text(name, "feature name")
        if index is not None:
            index = _args.whole(index, "index", 0)
        self._require_open()
        features.set(self.index, name, value, index)

    def execute(self, name: str) -> None:
        """Runs a command feature (AcquisitionStart, ...)."""
        name = _args.text(name, "feature name")
        self._require_open()
        features.execute(self.index, name)

    def roi(self, channel: int) -> tuple[int, int, int, int]:
        """Width, height, x and y offset of a channel's region of interest."""
        channel = _args.channel(channel)
        self._require_open()
        return features.region(self.index, channel)

    def set_roi(self, channel: int, width: int, height: int, x: int = 0, y: int = 0) -> None:
        """Sets a channel's region; takes effect for streams opened afterwards."""
        channel = _args.channel(channel)
        size = [_args.whole(v, what, 0, 0x7FFFFFFF)
                for v, what in ((width, "width"), (height, "height"), (x, "x offset"), (y, "y offset"))]
        self._require_open()
        check(_sdk.SetRoi(self.index, channel, *size), f"region of channel {channel}")

    def calibration(self, sensor: int) -> Calibration:
        """A sensor's calibration as NumPy arrays."""
        sensor = _args.whole(sensor, "sensor", 0, 0x7FFFFFFF)
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
        status = _sdk.AcquisitionStop(self.index)
        if status != 0 and self.lost:
            raise self.lost_error("stopping acquisition")
        check(status, "stopping acquisition")

    def _stop_unless_lost(self) -> None:
        # On the way out, a lost camera has nothing to stop.
        try:
            self.stop()
        except VoraError as error:
            if error.code != CAMERA_LOST:
                raise

    # ---- synchronised capture ----

    def set_action_keys(self, device_key: int = 0x56524131, group_key: int = 1, group_mask: int = 1, *,
                        signal: int = 0) -> None:
        """Arms the camera for action commands: its device key, and the
        group key and mask of action signal ``signal``."""
        self._require_open()
        clocks.set_action_keys(self.index, device_key, group_key, group_mask, signal)

    def sync_capability(self):
        """What the camera can synchronise (``voracam.clocks.SyncCapability``)."""
        self._require_open()
        return clocks.sync_capability(self.index)

    def clock_mapping(self):
        """The camera's clock as the host sees it now
        (``voracam.clocks.ClockMapping``: ticks, host time, offset_ns,
        uncertainty, PTP state)."""
        self._require_open()
        return clocks.clock_mapping(self.index)

    def stream(self, channel: int, *, start: bool = True, buffers: Optional[int] = None,
               resend: Optional[bool] = None) -> Stream:
        """Opens a stream channel (0, 1 or 2) and, with ``start``, starts
        acquisition. ``buffers`` bounds the frames kept waiting; ``resend``
        switches packet resend requests. Use the stream as a context manager
        or close it."""
        channel = _args.channel(channel)
        self._require_open()
        if channel in self._streams:
            raise VoraError(_sdk.VORA_ERR_INVALID_ARG, f"channel {channel} is already open")
        if channel in self._held:
            raise VoraError(_sdk.VORA_ERR_INVALID_ARG,
                            f"channel {channel} still has frames out on loan: close them or drop their arrays")
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
               compress: bool = False, raw_only: bool = False, profile: str = "ros1",
               name: Optional[str] = None) -> None:
        """Starts recording open stream channels (default: all open ones)
        into an MCAP file; ``stop_recording`` finishes it. Writing runs in
        the library, off the receive threads. ``profile`` "ros2" writes a
        ROS 2 bag as rosbag2 does, its topics and frames named after
        ``name`` (default "camera"); "ros1" (the default) ROS 1 messages."""
        self._require_open()
        chosen = sorted(self._streams) if channels is None else [_args.channel(c) for c in channels]
        if not chosen:
            raise ValueError("record needs an open stream channel: open one with cam.stream(channel) first")
        mask = 0
        for channel in chosen:
            mask |= 1 << channel
        if profile not in ("ros1", "ros2"):
            raise ValueError(f"profile is 'ros1' or 'ros2', not {profile!r}")
        if name is not None and profile != "ros2":
            raise ValueError("name names the camera in a ros2 recording (profile='ros2')")
        options = (_sdk.VORA_RECORD_ZSTD if compress else 0) | (_sdk.VORA_RECORD_RAW_ONLY if raw_only else 0)
        if profile == "ros2":
            options |= _sdk.VORA_RECORD_ROS2
        encoded_name = None if name is None else name.encode()
        check(_sdk.StartRecordingNamed(self.index, mask, os.fsencode(path), options, encoded_name),
              f"recording to {path}")

    def stop_recording(self) -> RecordingStatistics:
        """Writes what is queued, finishes the file; its statistics
        (voracam.RecordingStatistics)."""
        status = _native.stop_recording(self.index)
        statistics = recording_statistics(self.index)
        check(status, "finishing the recording")
        return statistics

    def _channel_held(self, channel: int) -> None:
        self._held.add(channel)

    def _channel_released(self, channel: int) -> None:
        # The library's channel closed: its last lent frame came back.
        self._held.discard(channel)
        if not self._held and not self._open:
            _table.give_back(self.index)

    def _stream_closed(self, channel: int) -> None:
        self._streams.pop(channel, None)
        if not self._streams and self._acquiring and self._open:
            self._stop_unless_lost()


_open_cameras: "weakref.WeakSet[Camera]" = weakref.WeakSet()


@atexit.register
def _close_open_cameras() -> None:
    # A program that forgets to close still leaves its cameras free.
    for camera in list(_open_cameras):
        try:
            camera.close()
        except VoraError:
            pass


def _connect(info: CameraInfo, wait_for_control: bool) -> None:
    """Takes control of the camera. One held by another application is tried
    again for up to the camera's heartbeat timeout (saying so), so that a
    program that just died without releasing it (killed, SIGTERM without
    release_on_sigterm) does not keep the next one out."""
    where = f"connecting to {info.serial} at {info.address}"
    deadline = None
    while True:
        status = _sdk.CameraConnect(info.index)
        if status == 0:
            return
        holder = _sdk.new_intArray(1)
        try:
            held = (status == NOT_CONNECTED and _sdk.GetCameraCCPStatus(info.index, holder) == 0
                    and _sdk.intArray_getitem(holder, 0) != 0)
        finally:
            _sdk.delete_intArray(holder)
        if not held or not wait_for_control:
            raise VoraError(status, where)
        if deadline is None:
            timeout_ms = _heartbeat_timeout_ms(info.index)
            deadline = time.monotonic() + timeout_ms / 1000 + 0.5
            warnings.warn(f"camera {info.serial} at {info.address} is controlled by another application; waiting up "
                          f"to {timeout_ms / 1000:.1f} s (its heartbeat timeout) for a holder that ended without "
                          f"releasing it", stacklevel=4)
        elif time.monotonic() >= deadline:
            raise VoraError(status, f"{where}: another application still controls it after its heartbeat timeout")
        time.sleep(0.2)


def _heartbeat_timeout_ms(index: int) -> int:
    value = _sdk.new_intArray(1)
    try:
        status = _sdk.ReadRegisterWithoutControl(index, _HEARTBEAT_TIMEOUT_REGISTER, value)
        timeout = _sdk.intArray_getitem(value, 0)
    finally:
        _sdk.delete_intArray(value)
    # A camera that does not say keeps the GigE Vision default; a very long
    # one is not waited for in full.
    return timeout if status == 0 and 0 < timeout <= 60000 else _DEFAULT_HEARTBEAT_MS


def open(camera: Union[int, str, CameraInfo, None] = None, *, wait: float = 0.0,  # noqa: A001
         wait_for_control: bool = True) -> Camera:
    """Connects to a camera: by index in ``discover()``, serial number,
    address, a CameraInfo, or the first one (None). Keeps discovering for up
    to ``wait`` seconds until the camera answers. A camera another
    application controls is tried again for up to its heartbeat timeout
    (with a warning), since a program that died holding it keeps it until
    then; ``wait_for_control=False`` fails at once instead."""
    if camera is not None and not isinstance(camera, (int, str, CameraInfo)) or isinstance(camera, bool):
        raise TypeError(f"camera must be an index, a serial number, an address or a CameraInfo, not {camera!r}")
    if isinstance(camera, int):
        camera = _args.whole(camera, "camera index", 0)
    wait = _args.seconds(wait, "wait")
    return Camera(find(camera, wait), wait_for_control)


def release_on_sigterm() -> None:
    """Makes SIGTERM (what ``kill``, systemd and container runtimes send)
    end the program as Ctrl-C does: ``with`` blocks are left, so every open
    camera stops acquisition, closes its channels and gives up control at
    once, and the next program can take the camera without waiting for its
    heartbeat to lapse. The program then exits with status 143. Call it from
    the main thread, before opening cameras."""
    if threading.current_thread() is not threading.main_thread():
        raise RuntimeError("release_on_sigterm must be called from the main thread")

    def terminate(signum, frame):
        # Once: a second SIGTERM while closing ends the program at once.
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, terminate)
