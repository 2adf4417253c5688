"""Finding cameras, and the library's process-wide camera table behind them.

The library keeps one list of discovered cameras and one table of camera
objects built from it; discovering again empties the list, and building the
table again destroys every camera object. So while a camera is open the list
of the last discovery stands, and the table is rebuilt only when none is.
"""
from __future__ import annotations

import ipaddress
import sys
import threading
import time
from dataclasses import dataclass
from typing import Union

import VoraSDK as _sdk
import _voracam_native as _native

from . import _args
from .errors import VoraError, check_value


@dataclass(frozen=True)
class CameraInfo:
    """A discovered camera and the host interface it answered on."""

    index: int
    address: str
    mask: str
    gateway: str
    mac: str
    serial: str
    model: str
    vendor: str
    version: str
    user_id: str
    host_address: str
    host_interface: str
    mtu: int
    same_subnet: bool


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


def _dotted(value: int) -> str:
    return str(ipaddress.IPv4Address(value & 0xFFFFFFFF))


def _mac(high: int, low: int) -> str:
    # The record keeps the acknowledge's bytes in wire order.
    return ":".join(f"{b:02x}" for b in high.to_bytes(2, sys.byteorder) + low.to_bytes(4, sys.byteorder))


def _read_info(index: int) -> CameraInfo:
    r = _sdk.DiscoveryInfo()
    if not _native.discovered_camera(index, r):
        raise VoraError(_sdk.VORA_ERR_CAMERA_MISSING, f"camera {index}")
    return CameraInfo(
        index=index, address=_dotted(r.camera_ip), mask=_dotted(r.camera_mask),
        gateway=_dotted(r.camera_gateway), mac=_mac(r.camera_mac_high, r.camera_mac_low),
        serial=_text(r.device_serial_number), model=_text(r.device_model_name),
        vendor=_text(r.device_vendor_name), version=_text(r.device_version),
        user_id=_text(r.device_user_id), host_address=_dotted(r.computer_ip),
        host_interface=_text(r.computer_adapter), mtu=r.mtu,
        same_subnet=bool(_sdk.WhetherIsSameSegment(index)))


class _Table:
    """The library's list and table, shared by every Camera of the process."""

    def __init__(self) -> None:
        self.lock = threading.RLock()
        self.cameras: list[CameraInfo] = []
        self.open_indexes: set[int] = set()
        self.generation = 0  # bumped whenever the table is rebuilt
        self.built = False   # the table matches the list

    def discover(self) -> list[CameraInfo]:
        with self.lock:
            if self.open_indexes:
                return list(self.cameras)
            count = check_value(_sdk.DiscoverCamera(), "DiscoverCamera")
            if count > 1:
                # By serial number, so that an index stays put between runs.
                check_value(_sdk.CameraSort(_sdk.SORT_BY_SERIAL_NUMBER), "CameraSort")
            self.cameras = [_read_info(i) for i in range(count)]
            self.built = False
            return list(self.cameras)

    def take(self, index: int) -> int:
        """Marks a camera open, building the table first when needed; returns
        the table generation the camera belongs to."""
        with self.lock:
            if index in self.open_indexes:
                raise VoraError(_sdk.VORA_ERR_INVALID_ARG, f"camera {index} is already open")
            # A table someone destroyed through VoraSDK is built again too.
            if not self.built or not _sdk.SDKVersion(index):
                _sdk.CreateCamera()
                self.built = True
                self.generation += 1
            self.open_indexes.add(index)
            return self.generation

    def give_back(self, index: int) -> None:
        with self.lock:
            self.open_indexes.discard(index)


_table = _Table()


def discover(wait: float = 0.0) -> list[CameraInfo]:
    """Lists the cameras on the host's networks, sorted by serial number,
    discovering again for up to ``wait`` seconds while none answers.

    While a camera is open this is the list it was opened from: discovering
    again would take the open camera away.
    """
    return _until(lambda cameras: bool(cameras), _args.seconds(wait, "wait"))[0]


def find(camera: Union[int, str, CameraInfo, None], wait: float) -> CameraInfo:
    """The camera meant by an index, a serial number, an address or a
    CameraInfo (None: the first), discovering for up to ``wait`` seconds
    until it answers."""
    cameras, found = _until(lambda cameras: next((c for c in cameras if _matches(c, camera)), None), wait)
    if found is None:
        raise VoraError(_sdk.VORA_ERR_CAMERA_MISSING, f"no camera matches {camera!r} among {len(cameras)} found")
    return found


def _until(found, wait: float):
    """Discovers until found(cameras) is true or ``wait`` seconds pass;
    returns the cameras and what found() said."""
    deadline = time.monotonic() + wait
    while True:
        cameras = _table.discover()
        result = found(cameras)
        if result or time.monotonic() >= deadline or _table.open_indexes:
            return cameras, result
        time.sleep(0.1)


def _matches(info: CameraInfo, camera: Union[int, str, CameraInfo, None]) -> bool:
    if camera is None:
        return True
    if isinstance(camera, CameraInfo):
        return info.serial == camera.serial and info.address == camera.address
    if isinstance(camera, int):
        return info.index == camera
    return camera in (info.serial, info.address)
