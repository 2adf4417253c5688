"""voracam: the cameras of libVoraSDK from Python.

>>> import voracam
>>> for camera in voracam.discover():
...     print(camera.serial, camera.address)
>>> with voracam.open() as cam, cam.stream(0) as depth:
...     frame = depth.capture(timeout=2.0)
...     print(frame.points.shape)          # (H, W, 3) float32 millimetres
...     frame.save("cloud.pcd")

Library failures raise VoraError, which carries the status code and the
library's text for it; a camera that is lost ends waits and iteration with
VoraError code CAMERA_LOST. Wrong arguments raise TypeError or ValueError.
``release_on_sigterm()`` lets a terminated program give its cameras back at
once. The low-level module VoraSDK (``_VoraSDK``) offers every exported
function as it is.
"""
from .calibration import Calibration
from .camera import Camera, open, release_on_sigterm
from .discovery import CameraInfo, discover
from .errors import CAMERA_LOST, TIMEOUT, VoraError, status_text
from .features import FeatureInfo
from .frame import Frame, PixelFormat
from .fusion import ColouredCloud, colour_cloud, depth_to_colour
from .recording import RecordedChannel, RecordedFrame, Recording, RecordingStatistics, open_recording
from .stream import Stream, StreamStatistics
from .sync import ClockMapping, FrameSet, SetOfFrames, SyncCapability, open_many, send_action

__all__ = ["CAMERA_LOST", "Calibration", "Camera", "CameraInfo", "ClockMapping", "ColouredCloud", "FeatureInfo",
           "Frame", "FrameSet", "PixelFormat", "RecordedChannel", "RecordedFrame", "Recording", "RecordingStatistics",
           "SetOfFrames", "Stream", "StreamStatistics", "SyncCapability", "TIMEOUT", "VoraError", "colour_cloud",
           "depth_to_colour", "discover", "open", "open_many", "open_recording", "release_on_sigterm",
           "send_action", "status_text"]
