"""A camera's part in synchronised capture, by its index: what it can do,
its action keys, and its clock as the host sees it. The camera and the
frame sets both use it; it uses neither."""
from __future__ import annotations

from dataclasses import dataclass

import VoraSDK as _sdk

from . import _args
from .errors import check

#: The action device key the tool and the package use unless told.
DEFAULT_DEVICE_KEY = 0x56524131

_PTP_STATES = {1: "Initializing", 2: "Faulty", 3: "Disabled", 4: "Listening", 5: "PreMaster", 6: "Master",
               7: "Passive", 8: "Uncalibrated", 9: "Slave"}


def ptp_state_name(state: int) -> str:
    """The name of a camera's IEEE 1588 state (``GetTimestampStatus``)."""
    return _PTP_STATES.get(state, "Unknown")


@dataclass(frozen=True)
class SyncCapability:
    """What a camera says it can synchronise."""
    action: bool
    scheduled_action: bool
    ptp: bool
    action_signals: int
    scheduled_queue_size: int


@dataclass(frozen=True)
class ClockMapping:
    """At host time ``host_ns`` (realtime) the camera's clock read
    ``camera_ticks``, give or take ``uncertainty_ns``."""
    camera_ticks: int
    host_ns: int
    tick_frequency: int
    uncertainty_ns: int
    ptp_state: int
    ptp_enabled: bool

    @property
    def camera_ns(self) -> int:
        f = self.tick_frequency
        return self.camera_ticks // f * 1_000_000_000 + self.camera_ticks % f * 1_000_000_000 // f if f else 0

    @property
    def offset_ns(self) -> int:
        """The camera's clock minus the host's, in nanoseconds."""
        return self.camera_ns - self.host_ns

    @property
    def ptp_state_name(self) -> str:
        return ptp_state_name(self.ptp_state)


def sync_capability(index: int) -> SyncCapability:
    c = _sdk.VoraSyncCapability()
    check(_sdk.GetSyncCapability(index, c), "reading what the camera can synchronise")
    return SyncCapability(bool(c.action), bool(c.scheduled_action), bool(c.ptp), int(c.action_signals),
                          int(c.scheduled_queue_size))


def clock_mapping(index: int) -> ClockMapping:
    m = _sdk.VoraClockMapping()
    check(_sdk.GetClockMapping(index, m), "reading the camera's clock")
    return ClockMapping(int(m.camera_ticks), int(m.host_ns), int(m.tick_frequency), int(m.uncertainty_ns),
                        int(m.ptp_state), bool(m.ptp_enabled))


def set_action_keys(index: int, device_key: int, group_key: int, group_mask: int, signal: int) -> None:
    device_key = _args.whole(device_key, "device_key", 0, 0xFFFFFFFF)
    group_key = _args.whole(group_key, "group_key", 0, 0xFFFFFFFF)
    group_mask = _args.whole(group_mask, "group_mask", 0, 0xFFFFFFFF)
    signal = _args.whole(signal, "signal", 0, 0xFFFFFFFF)
    check(_sdk.SetActionDeviceKey(index, device_key), "setting the action device key")
    check(_sdk.SetActionGroup(index, signal, group_key, group_mask), f"setting action group {signal}")
