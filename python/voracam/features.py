"""Camera features by name, as the library evaluates them.

The library checks type, access, range and increment and keeps its own
state (a new heartbeat timeout, say); this module turns its answers into
Python values and its refusals into the package's exceptions, with the
library's message. ``index`` sets the feature's selector (its first) before
the access, e.g. the sensor of ExposureTime.
"""
from __future__ import annotations

import math
import operator
from dataclasses import dataclass
from typing import Optional, Union

import VoraSDK as _sdk
import _voracam_native as _native

from .errors import VoraError

Value = Union[int, float, bool, str, bytes]

_TYPES = {_sdk.VORA_FEATURE_INTEGER: "integer", _sdk.VORA_FEATURE_BOOLEAN: "boolean",
          _sdk.VORA_FEATURE_COMMAND: "command", _sdk.VORA_FEATURE_FLOAT: "float",
          _sdk.VORA_FEATURE_STRING: "string", _sdk.VORA_FEATURE_REGISTER: "register",
          _sdk.VORA_FEATURE_CATEGORY: "category", _sdk.VORA_FEATURE_ENUMERATION: "enumeration"}
_ACCESS = {_sdk.VORA_ACCESS_NI: "NI", _sdk.VORA_ACCESS_NA: "NA", _sdk.VORA_ACCESS_WO: "WO",
           _sdk.VORA_ACCESS_RO: "RO", _sdk.VORA_ACCESS_RW: "RW"}
_VISIBILITY = {_sdk.VORA_VISIBILITY_BEGINNER: "Beginner", _sdk.VORA_VISIBILITY_EXPERT: "Expert",
               _sdk.VORA_VISIBILITY_GURU: "Guru", _sdk.VORA_VISIBILITY_INVISIBLE: "Invisible"}
_REPRESENTATION = {_sdk.VORA_REPRESENTATION_LINEAR: "Linear", _sdk.VORA_REPRESENTATION_LOGARITHMIC: "Logarithmic",
                   _sdk.VORA_REPRESENTATION_BOOLEAN: "Boolean", _sdk.VORA_REPRESENTATION_PURE_NUMBER: "PureNumber",
                   _sdk.VORA_REPRESENTATION_HEX_NUMBER: "HexNumber",
                   _sdk.VORA_REPRESENTATION_IPV4_ADDRESS: "IPV4Address",
                   _sdk.VORA_REPRESENTATION_MAC_ADDRESS: "MACAddress", _sdk.VORA_REPRESENTATION_NONE: None}

# Refusals of a value: Python's own ValueError, as for any argument.
_VALUE_REFUSALS = (_sdk.VORA_ERR_FEATURE_RANGE, _sdk.VORA_ERR_FEATURE_INCREMENT)


@dataclass(frozen=True)
class FeatureInfo:
    """What the camera's description says of a feature, as of now."""
    name: str
    type: str            # 'integer', 'float', 'enumeration', 'boolean', 'command', 'string', 'register'
    access: str          # 'RW', 'RO', 'WO', 'NA' (not available now), 'NI' (not implemented)
    visibility: str      # 'Beginner', 'Expert', 'Guru', 'Invisible'
    unit: str
    display_name: str
    tooltip: str
    representation: Optional[str]
    min: Optional[Union[int, float]]
    max: Optional[Union[int, float]]
    inc: Optional[Union[int, float]]
    length: Optional[int]                  # string and register: bytes
    entries: tuple[str, ...]               # enumeration: the symbolic names available now
    selectors: tuple[str, ...]

    @property
    def readable(self) -> bool:
        return self.type != "command" and self.access in ("RO", "RW")

    @property
    def writable(self) -> bool:
        return self.access in ("WO", "RW")


def _raise(status: int, name: str, what: str) -> None:
    message = _native.feature_error() or f"{what} {name}".strip()
    if status == _sdk.VORA_ERR_FEATURE_TYPE:
        raise TypeError(message) from VoraError(status, message)
    if status in _VALUE_REFUSALS:
        raise ValueError(message) from VoraError(status, message)
    raise VoraError(status, message)


def _answer(pair, name: str, what: str):
    status, result = pair
    if status != 0:
        _raise(status, name, what)
    return result


def names(cam: int, category: Optional[str] = None) -> list[str]:
    return _answer(_native.feature_names(cam, (category or "").encode()), category or "", "listing the features of")


def categories(cam: int) -> list[str]:
    return _answer(_native.feature_categories(cam), "", "listing the categories")


def describe(cam: int, name: str) -> FeatureInfo:
    key = name.encode()
    d = _answer(_native.describe_feature(cam, key), name, "describing")
    kind = _TYPES.get(d["type"], "?")
    bounded = d["has_range"] and kind in ("integer", "float")
    if kind == "integer":
        low, high = (d["int_min"], d["int_max"]) if bounded else (None, None)
        inc = d["int_inc"] if bounded else None
    elif kind == "float":
        low, high = (d["float_min"], d["float_max"]) if bounded else (None, None)
        inc = d["float_inc"] if d["has_inc"] else None
    else:
        low = high = inc = None
    entries: tuple[str, ...] = ()
    if kind == "enumeration":
        entries = tuple(e for e, _ in _answer(_native.feature_entries(cam, key), name, "the entries of"))
    selectors: tuple[str, ...] = ()
    if d["selector_count"] > 0:
        selectors = tuple(_answer(_native.feature_selectors(cam, key), name, "the selectors of"))
    return FeatureInfo(name=d["name"] or name, type=kind, access=_ACCESS.get(d["access"], "?"),
                       visibility=_VISIBILITY.get(d["visibility"], "?"), unit=d["unit"],
                       display_name=d["display_name"], tooltip=d["tooltip"],
                       representation=_REPRESENTATION.get(d["representation"]), min=low, max=high, inc=inc,
                       length=d["length"] if kind in ("string", "register") else None,
                       entries=entries, selectors=selectors)


def _range_text(info: FeatureInfo) -> str:
    steps = f" in steps of {info.inc}" if info.type == "integer" and info.inc and info.inc > 1 else ""
    return f"{info.min}..{info.max}{steps}"


def _select(cam: int, info: FeatureInfo, index: int) -> None:
    if not info.selectors:
        raise ValueError(f"{info.name} has no selector, so no index")
    selector = describe(cam, info.selectors[0])
    key = selector.name.encode()
    if selector.type == "enumeration":
        status = _sdk.SetFeatureEnumValue(cam, key, index)
    else:
        if selector.min is not None and not selector.min <= index <= selector.max:
            raise ValueError(f"{info.name}: index {index} is out of range {_range_text(selector)} "
                             f"of {selector.name}")
        status = _sdk.SetFeatureInteger(cam, key, index)
    if status != 0:
        if status == _sdk.VORA_ERR_FEATURE_RANGE:
            raise ValueError(f"{info.name}: index {index}: {_native.feature_error()}")
        _raise(status, selector.name, "selecting")


def get(cam: int, name: str, index: Optional[int] = None) -> Value:
    info = describe(cam, name)
    if info.type == "command":
        raise ValueError(f"{name} is a command, which has no value: run it with execute()")
    if index is not None:
        _select(cam, info, index)
    kind = {"integer": _sdk.VORA_FEATURE_INTEGER, "float": _sdk.VORA_FEATURE_FLOAT,
            "boolean": _sdk.VORA_FEATURE_BOOLEAN, "enumeration": _sdk.VORA_FEATURE_ENUMERATION,
            "string": _sdk.VORA_FEATURE_STRING, "register": _sdk.VORA_FEATURE_REGISTER}.get(info.type)
    if kind is None:
        raise TypeError(f"{name} is a {info.type}, which has no value")
    return _answer(_native.feature_value(cam, name.encode(), kind, info.length or 0), name, "reading")


def _whole(value, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, not {type(value).__name__} {value!r}") from None


def set(cam: int, name: str, value: Value, index: Optional[int] = None) -> None:  # noqa: A001 - the feature verb
    info = describe(cam, name)
    key = name.encode()
    if info.type == "command":
        raise TypeError(f"{name} is a command: run it with execute()")
    if index is not None:
        # The bounds may differ with the selector's setting.
        _select(cam, info, index)
        info = describe(cam, name)
    checked = True
    if info.type == "integer":
        number = _whole(value, name)
        if checked and info.min is not None and (
                not info.min <= number <= info.max
                or (info.inc and info.inc > 1 and (number - info.min) % info.inc)):
            raise ValueError(f"{name}: {number} is out of range {_range_text(info)}")
        if not -(1 << 63) <= number < (1 << 63):
            raise ValueError(f"{name}: {number} does not fit a 64-bit integer")
        status = _sdk.SetFeatureInteger(cam, key, number)
    elif info.type == "float":
        if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
            raise TypeError(f"{name} must be a number, not {type(value).__name__} {value!r}")
        number = float(value)
        if not math.isfinite(number):
            raise ValueError(f"{name} must be a finite number, not {value!r}")
        if checked and info.min is not None and not info.min <= number <= info.max:
            raise ValueError(f"{name}: {number} is out of range {_range_text(info)}")
        status = _sdk.SetFeatureFloat(cam, key, number)
    elif info.type == "boolean":
        if not isinstance(value, bool) and value not in (0, 1):
            raise TypeError(f"{name} must be True or False, not {value!r}")
        status = _sdk.SetFeatureBoolean(cam, key, int(bool(value)))
    elif info.type == "enumeration":
        if isinstance(value, str):
            if value not in info.entries:
                raise ValueError(f"{name}: {value} is not one of its entries: {', '.join(info.entries)}")
            status = _sdk.SetFeatureEnum(cam, key, value.encode())
        else:
            status = _sdk.SetFeatureEnumValue(cam, key, _whole(value, name))
    elif info.type == "string":
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__} {value!r}")
        text = value.encode()
        if info.length and len(text) > info.length:
            raise ValueError(f"{name}: {len(text)} bytes of text, it holds {info.length}")
        status = _sdk.SetFeatureString(cam, key, text)
    elif info.type == "register":
        if not isinstance(value, (bytes, bytearray, memoryview)):
            raise TypeError(f"{name} must be bytes, not {type(value).__name__}")
        data = bytes(value)
        if info.length is not None and len(data) != info.length:
            raise ValueError(f"{name}: {len(data)} bytes given, the register holds {info.length}")
        status = _sdk.SetFeatureBytes(cam, key, data)
    else:
        raise TypeError(f"{name} is a {info.type}, which cannot be written")
    if status != 0:
        _raise(status, name, "writing")


def execute(cam: int, name: str) -> None:
    status = _sdk.ExecuteFeatureCommand(cam, name.encode())
    if status != 0:
        _raise(status, name, "executing")


_REGION = ("Width", "Height", "OffsetX", "OffsetY")


def region(cam: int, channel: int) -> tuple[int, int, int, int]:
    """Width, height and offsets of a stream channel's region: those of the
    sensor it shows (its CmosIndex), as the camera keeps them per sensor."""
    source = describe(cam, "CmosIndex")
    sensor = get(cam, "CmosIndex", channel if source.selectors else None) if channel or source.selectors else 0
    if not source.selectors and channel:
        raise VoraError(_sdk.VORA_ERR_INVALID_ARG,
                        f"the description gives CmosIndex no selector: the sensor of channel {channel} cannot be told")
    by_channel = source.selectors[0] if source.selectors else None
    values = []
    for name in _REGION:
        info = describe(cam, name)
        if info.selectors:
            values.append(get(cam, name, channel if info.selectors[0] == by_channel else sensor))
        elif sensor:
            raise VoraError(_sdk.VORA_ERR_INVALID_ARG,
                            f"the description gives {name} no selector: the region of sensor {sensor} cannot be read")
        else:
            values.append(get(cam, name))
    return tuple(values)
