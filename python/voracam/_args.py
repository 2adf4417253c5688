"""Checks of the arguments callers pass, so that a wrong one raises
TypeError or ValueError in the package's words before it reaches the
library (whose bindings would answer with their own errors, or wrap it)."""
from __future__ import annotations

import math
import operator
from typing import Optional

CHANNELS = (0, 1, 2)


def whole(value, what: str, low: Optional[int] = None, high: Optional[int] = None) -> int:
    """``value`` as an int (an int-like such as numpy.int64 too, not a bool
    or a float), within low..high where given."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be a whole number, not {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be a whole number, not {type(value).__name__} {value!r}") from None
    if (low is not None and number < low) or (high is not None and number > high):
        bounds = (f"{low}..{high}" if low is not None and high is not None
                  else f"at least {low}" if low is not None else f"at most {high}")
        raise ValueError(f"{what} must be {bounds}, not {number}")
    return number


def channel(value) -> int:
    """A stream channel: 0, 1 or 2."""
    return whole(value, "channel", CHANNELS[0], CHANNELS[-1])


def seconds(value, what: str, allow_none: bool = False) -> Optional[float]:
    """A time in seconds: a finite number of 0 or more (None where allowed)."""
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
        raise TypeError(f"{what} must be a number of seconds{' or None' if allow_none else ''}, not {value!r}")
    number = float(value)
    if math.isnan(number) or number < 0:
        raise ValueError(f"{what} must be 0 or more seconds, not {value!r}")
    return number


def text(value, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__} {value!r}")
    return value
