"""A sensor's calibration: what a camera and a recording both give."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import _voracam_native as _native


@dataclass(frozen=True)
class Calibration:
    """One sensor's calibration: ``distortion`` (5 coefficients), the 3x3
    camera ``matrix``, and the ``rotation`` (3x3) and ``translation`` (3) of
    the sensor."""

    distortion: np.ndarray
    matrix: np.ndarray
    rotation: np.ndarray
    translation: np.ndarray

    def _values(self) -> list:
        return [float(v) for a in (self.distortion, self.matrix, self.rotation, self.translation)
                for v in np.asarray(a, np.float32).ravel()]

    def ros_camera_model(self, offset_x: int = 0, offset_y: int = 0) -> dict:
        """The sensor as ROS's camera model (sensor_msgs/CameraInfo,
        "plumb_bob") for an image cut at (offset_x, offset_y): ``k`` (3x3),
        ``d`` (5), ``r`` (3x3) and ``p`` (3x4)."""
        k, d, r, p = _native.ros_camera_model(self._values(), offset_x, offset_y)
        return {"k": np.array(k).reshape(3, 3), "d": np.array(d), "r": np.array(r).reshape(3, 3),
                "p": np.array(p).reshape(3, 4)}

    def ros_pose(self) -> tuple:
        """Where the sensor's optical frame lies in the camera's body frame
        (x forward, y left, z up): translation in metres and rotation as a
        quaternion (x, y, z, w). ValueError when the rotation is not one."""
        pose = _native.ros_sensor_pose(self._values())
        if pose is None:
            raise ValueError("the calibration's rotation is not a rotation")
        return np.array(pose[0]), np.array(pose[1])
