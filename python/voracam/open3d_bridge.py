"""The hand-off to Open3D, which is optional: it is imported only when a
cloud is handed over."""
from __future__ import annotations

from typing import Optional

import numpy as np


def open3d_cloud(points: np.ndarray, colours: Optional[np.ndarray], keep: Optional[np.ndarray]):
    """An Open3D point cloud of (N, 3) points and (N, 3) uint8 colours,
    keeping the rows ``keep`` marks."""
    try:
        import open3d
    except ImportError as error:
        raise ImportError("to_open3d needs Open3D (Debian: python3-open3d)") from error
    if keep is not None:
        points = points[keep]
        colours = None if colours is None else colours[keep]
    cloud = open3d.geometry.PointCloud(open3d.utility.Vector3dVector(points.astype(np.float64)))
    if colours is not None:
        cloud.colors = open3d.utility.Vector3dVector(colours.astype(np.float64) / 255.0)
    return cloud
