"""A sensor's calibration: what a camera and a recording both give."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Calibration:
    """One sensor's calibration: ``distortion`` (5 coefficients), the 3x3
    camera ``matrix``, and the ``rotation`` (3x3) and ``translation`` (3) of
    the sensor."""

    distortion: np.ndarray
    matrix: np.ndarray
    rotation: np.ndarray
    translation: np.ndarray
