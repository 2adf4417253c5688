"""Camera features by name.

Features with a control function of the library go through it, so that the
library checks ranges; the rest are read and written as the register the
device description names. ``idx`` is the sensor of per-sensor features and
the stream channel of per-channel ones.
"""
from __future__ import annotations

from typing import Callable, Optional, Union

import VoraSDK as _sdk

from .errors import VoraError, check, check_value

SENSOR_STRIDE = _sdk.SENSOR_REG_STRIDE
CHANNEL_STRIDE = _sdk.STREAM_CHANNEL_REG_STRIDE

Getter = Callable[[int, int], int]
Setter = Callable[[int, int, int], int]


def _gain(kind: int, channel: int) -> tuple[None, Getter, Setter]:
    return (None, lambda c, i: _sdk.GetGain(c, kind, channel),
            lambda c, i, v: _sdk.SetGain(c, kind, v, channel))


def _latched_timestamp(c: int, i: int) -> int:
    # Reading the time stamp latches it first: the value is "now".
    status = _sdk.SetTimestampControlLatch(c)
    return -abs(status) if status else _sdk.GetTimestampValue(c)


# name: (indexed by "sensor" / "channel" / None, getter, setter)
_CONTROLS: dict[str, tuple[Optional[str], Optional[Getter], Optional[Setter]]] = {
    "ExposureTime": ("sensor", _sdk.GetExposureTime, lambda c, i, v: _sdk.SetExposureTime(c, v, i)),
    "ExposureAuto": ("sensor", _sdk.GetAutoExposure, lambda c, i, v: _sdk.SetAutoExposure(c, v, i)),
    "ExposureCompensationLevel": ("sensor", _sdk.GetCamExposureGainLevel, _sdk.SetCamExposureGainLevel),
    "ExposureType": (None, lambda c, i: _sdk.GetMutipleExposure(c), lambda c, i, v: _sdk.SetMutipleExposure(c, v)),
    "analoggain": _gain(1, 0),
    "analoggain_rgb": _gain(1, 1),
    "digitalgain": _gain(2, 0),
    "digitalgain_rgb": _gain(2, 1),
    "TriggerMode": (None, None, lambda c, i, v: _sdk.SetTriggerMode(c, v)),
    "TriggerSource": (None, None, lambda c, i, v: _sdk.SetTriggerSource(c, v)),
    "TriggerSoftware": (None, None, lambda c, i, v: _sdk.SetTriggerCount(c, v)),
    "RGBTriggerMode": (None, None, lambda c, i, v: _sdk.SetRGBTriggerMode(c, v)),
    "RGBTriggerSoftware": (None, None, lambda c, i, v: _sdk.SetRGBTriggerCount(c, v)),
    "StrobeLEDswitch": (None, lambda c, i: _sdk.GetStrobeLEDswitch(c), lambda c, i, v: _sdk.SetStrobeLEDswitch(c, v)),
    "Laserbrightness": (None, lambda c, i: _sdk.GetLaserbrightness(c),
                        lambda c, i, v: _sdk.SetLaserbrightness(c, v)),
    "StrobeLEDbrightress": (None, lambda c, i: _sdk.GetStrobeLEDbrightress(c),
                            lambda c, i, v: _sdk.SetStrobeLEDbrightress(c, v)),
    "GevHeartbeatTimeout": (None, lambda c, i: _sdk.GetHeartBeatTimeout(c),
                            lambda c, i, v: _sdk.SetHeartBeatTimeout(c, v)),
    "GevIEEE1588": (None, lambda c, i: _sdk.GetTimestamp(c), lambda c, i, v: _sdk.SetTimestamp(c, v)),
    "GevIEEE1588Status": (None, lambda c, i: _sdk.GetTimestampStatus(c), None),
    "GevTimestampValue": (None, _latched_timestamp, None),
    "GevTimestampTickFrequency": (None, lambda c, i: _sdk.GetTimestampTickFrequency(c), None),
}

# Registers of a stream channel, with the bits that hold the value (the
# packet size and the host port share their register with flags).
_CHANNEL_REGISTERS = {"PixelFormat": 0xFFFFFFFF, "CmosIndex": 0xFFFFFFFF, "PayloadSize": 0xFFFFFFFF,
                      "GevSCDA": 0xFFFFFFFF, "GevSCPSPacketSize": 0xFFFF, "GevSCPHostPort": 0xFFFF}
# The region of a channel lives in the registers of the sensor behind it.
_REGION = ("Width", "Height", "OffsetX", "OffsetY")
# Text features of the device's identity.
_TEXT = ("DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceSerialNumber",
         "DeviceManufacturerInfo", "DeviceUserID", "DeviceFirmwareVersion", "DeviceID")


def _indexed_by(name: str) -> Optional[str]:
    if name in _REGION or name in _CHANNEL_REGISTERS:
        return "channel"
    return _CONTROLS[name][0] if name in _CONTROLS else None


def _check_index(name: str, idx: int) -> None:
    kind = _indexed_by(name)
    if kind is None and idx != 0:
        raise ValueError(f"{name} has no index")
    if kind == "channel" and not 0 <= idx <= 2:
        raise ValueError(f"{name}: stream channels are 0..2, not {idx}")
    if kind == "sensor" and idx < 0:
        raise ValueError(f"{name}: no sensor {idx}")


def address(cam: int, name: str, offset: int = 0) -> int:
    """The register of a feature, plus a channel or sensor offset."""
    return check_value(_sdk.GetRegisterAddr(cam, name.encode()), f"{name}: register") + offset


def read_register(cam: int, where: int, what: str) -> int:
    value = _sdk.new_intArray(1)
    try:
        check(_sdk.ReadRegister(cam, where, value), f"reading {what}")
        return _sdk.intArray_getitem(value, 0) & 0xFFFFFFFF
    finally:
        _sdk.delete_intArray(value)


def write_register(cam: int, where: int, value: int, what: str) -> None:
    value &= 0xFFFFFFFF
    check(_sdk.WriteRegister(cam, where, value - (1 << 32) if value >= 1 << 31 else value), f"writing {what}")


def _region(cam: int, channel: int) -> dict[str, int]:
    sensor = read_register(cam, address(cam, "CmosIndex", channel * CHANNEL_STRIDE), "CmosIndex")
    return {n: read_register(cam, address(cam, n, sensor * SENSOR_STRIDE), n) for n in _REGION}


def get(cam: int, name: str, idx: int = 0) -> Union[int, str]:
    """A feature's value: a whole number, or text for identity features."""
    _check_index(name, idx)
    if name in _TEXT:
        address(cam, name)  # only a feature that exists has a register to read
        out = bytes(600)
        _sdk.ReadStringRegister(cam, name.encode(), out)
        return out.split(b"\0", 1)[0].decode("utf-8", "replace")
    if name in _REGION:
        return _region(cam, idx)[name]
    getter = _CONTROLS.get(name, (None, None, None))[1]
    if getter is not None:
        value = getter(cam, idx)
        if value < 0 or value >= (1 << 64) - 256:  # -99 and the like, as unsigned 64-bit
            raise VoraError(value if value < 0 else value - (1 << 64), f"reading {name}")
        return value
    if name in _CONTROLS:
        raise ValueError(f"{name} can only be written")
    mask = _CHANNEL_REGISTERS.get(name, 0xFFFFFFFF)
    return read_register(cam, address(cam, name, idx * CHANNEL_STRIDE), name) & mask


# What the library answers a value it refuses.
_REFUSALS = (_sdk.VORA_ERR_INVALID_ARG, _sdk.VORA_ERR_VALUE_RANGE, _sdk.VORA_ERR_GAIN_RANGE, _sdk.VORA_ERR_ROI)


def _bound(read, cam: int, name: str) -> Optional[int]:
    # A bound the description cannot give answers with a negative status,
    # and one it does not declare (an enumeration's, say) with 0: only a
    # positive bound says something.
    value = read(cam, name.encode())
    return value if value > 0 else None


def value_range(cam: int, name: str) -> tuple[Optional[int], Optional[int], Optional[int]]:
    """The minimum, maximum and increment the device description declares
    for a feature (None where it declares none)."""
    return (_bound(_sdk.GetNodeMinValue, cam, name), _bound(_sdk.GetNodeMaxValue, cam, name),
            _bound(_sdk.GetNodeIncValue, cam, name))


def _range_text(low: Optional[int], high: Optional[int], inc: Optional[int]) -> str:
    steps = f" in steps of {inc}" if inc is not None and inc > 1 else ""
    return f"{'' if low is None else low}..{'' if high is None else high}{steps}"


def _outside(value: int, low: Optional[int], high: Optional[int], inc: Optional[int]) -> bool:
    return ((low is not None and value < low) or (high is not None and value > high)
            or (low is not None and inc is not None and inc > 1 and (value - low) % inc != 0))


def _write(cam: int, name: str, value: int, write: Callable[[], int]) -> None:
    """Checks value against the declared range, then writes; a refusal names
    the range too (the library's controls may be stricter than the
    description, e.g. an exposure of exactly the minimum)."""
    low, high, inc = value_range(cam, name)
    declared = low is not None or high is not None
    if declared and _outside(value, low, high, inc):
        raise ValueError(f"{name}: {value} is out of range {_range_text(low, high, inc)}")
    if not -(1 << 31) <= value < (1 << 31):
        raise ValueError(f"{name}: {value} does not fit the 32-bit value the camera takes")
    status = write()
    if status in _REFUSALS and declared:
        raise ValueError(f"{name}: {value} is refused by the camera (range {_range_text(low, high, inc)})") \
            from VoraError(status, f"writing {name}")
    check(status, f"writing {name}")


def set(cam: int, name: str, value: int, idx: int = 0) -> None:  # noqa: A001 - the feature verb
    """Writes a feature (through its control function where there is one)."""
    _check_index(name, idx)
    if name in _TEXT:
        raise ValueError(f"{name} is read-only text")
    value = int(value)
    if name in _REGION:
        region = _region(cam, idx)
        region[name] = value
        check(_sdk.SetRoi(cam, idx, *(region[n] for n in _REGION)), f"writing {name}")
        return
    setter = _CONTROLS.get(name, (None, None, None))[2]
    if setter is not None:
        _write(cam, name, value, lambda: setter(cam, idx, value))
        return
    if name in _CONTROLS:
        raise ValueError(f"{name} is read-only")
    mask = _CHANNEL_REGISTERS.get(name, 0xFFFFFFFF)
    where = address(cam, name, idx * CHANNEL_STRIDE)
    low, high, inc = value_range(cam, name)
    if (low is not None or high is not None) and _outside(value, low, high, inc):
        raise ValueError(f"{name}: {value} is out of range {_range_text(low, high, inc)}")
    if not -(1 << 31) <= value <= 0xFFFFFFFF:
        raise ValueError(f"{name}: {value} does not fit its 32-bit register")
    if mask != 0xFFFFFFFF:
        # Keep the flags that share the register.
        value = (read_register(cam, where, name) & ~mask) | (value & mask)
    write_register(cam, where, value, name)


def names(cam: int) -> list[str]:
    """The feature names of the camera's device description."""
    found = _sdk.StringVector()
    _sdk.GetCameraXMLNodeNamesCSharp(cam, found)
    return [n.decode("utf-8", "replace") for n in found]
