"""Whole sessions against the simulated camera: through _VoraSDK alone, and
through the voracam package."""
import numpy as np
import pytest

import VoraSDK as V
import _VoraSDK as M
import voracam
from conftest import SERIAL

CLOUD = 0x023000B9


def out_values(kind, count):
    return [getattr(M, f"new_{kind}Array")(1) for _ in range(count)]


def read_out(kind, pointers):
    values = [getattr(M, f"{kind}Array_getitem")(p, 0) for p in pointers]
    for p in pointers:
        getattr(M, f"delete_{kind}Array")(p)
    return values


def test_session_through_vorasdk_alone(camsim):
    assert V.DiscoverCamera() == 1 and V.CameraIP(0) == b"127.0.0.1"
    V.CreateCamera()
    assert V.CameraConnect(0) == 0
    try:
        names = V.StringVector()
        V.GetCameraXMLNodeNamesCSharp(0, names)
        assert b"PayloadSize" in names
        serial = bytes(16)
        V.ReadStringRegister(0, b"DeviceSerialNumber", serial)  # fills the bytes in place
        assert serial.rstrip(b"\0") == SERIAL.encode()
        with pytest.raises(ValueError, match="the text has 8 bytes, 4 given"):
            V.ReadStringRegister(0, b"DeviceSerialNumber", bytes(4))
        assert V.SetRoi(0, 0, 64, 48, 0, 0) == 0
        assert V.StreamOn(0, 0) == 0
        [payload] = out_values("int", 1)
        assert V.ReadRegister(0, V.GetRegisterAddr(0, b"PayloadSize"), payload) == 0
        [size] = read_out("int", [payload])
        assert size == 64 * 48 * 6
        assert V.AcquisitionStart(0) == 0
        info, data = V.PhotoInfoCSharp(), bytes(size)
        assert V.CaptureCSharp(0, 0, info, data, size) == 0
        assert (info.pixel_format, info.pixel_width, info.pixel_height, info.payload_size) == (CLOUD, 64, 48, size)
        assert any(data) and info.cloud_unit == 10
        points = np.zeros(3 * 64 * 48, np.float32)
        V.Convert3DPointFromCharToFloatCSharp(0, info, data, points)
        raw = np.frombuffer(data, "<i2").astype(np.float32)
        raw[2::3] = np.frombuffer(data, "<u2")[2::3]
        np.testing.assert_array_equal(points, raw / np.float32(10))
        blocks = out_values("unsignedint", 8)
        V.GetBlockStatistics(0, 0, *blocks)
        complete, incomplete = read_out("unsignedint", blocks)[:2]
        assert complete >= 1 and incomplete == 0
        packets = out_values("unsignedint", 7)
        V.GetPacketStatistics(0, 0, *packets)
        assert read_out("unsignedint", packets)[0] >= 3  # leader, payload, trailer
        summary, bins = V.StatisticsDataCSharp(), M.new_longlongArray(1000)
        V.GetRecieveTimeStatisticsCSharp(0, 0, summary, bins)
        in_bins = sum(M.longlongArray_getitem(bins, i) for i in range(summary.n_bins))
        assert summary.count >= 1 and in_bins + summary.add_more + summary.add_less == summary.count
        M.delete_longlongArray(bins)
        assert V.AcquisitionStop(0) == 0 and V.StreamOff(0, 0) == 0
    finally:
        assert V.CameraDisconnect(0) == 0
        V.DestroyCamera()


def test_discovery_describes_the_camera(camsim):
    [info] = voracam.discover(wait=30)
    assert (info.serial, info.address, info.host_interface, info.mac) == (SERIAL, "127.0.0.1", "lo",
                                                                          "02:56:4f:52:00:01")
    assert info.model and info.same_subnet and info.index == 0


def test_features_and_calibration(camera):
    assert camera.get("DeviceSerialNumber") == SERIAL
    camera.set("ExposureTime", 4000, 1)
    assert camera.get("ExposureTime", 1) == 4000
    camera.set_roi(0, 96, 64, 16, 8)
    assert camera.roi(0) == (96, 64, 16, 8) and camera.get("PayloadSize", 0) == 96 * 64 * 6
    with pytest.raises(voracam.VoraError) as missing:
        camera.get("NoSuchFeature")
    assert missing.value.code == -21 and missing.value.text == voracam.status_text(-21)
    with pytest.raises(voracam.VoraError) as refused:
        camera.set_roi(0, 97, 64)  # not a multiple of the increment
    assert refused.value.code == -25
    calibration = camera.calibration(0)
    assert calibration.matrix.shape == (3, 3) and calibration.matrix[2, 2] == 1
    assert calibration.distortion.shape == (5,) and calibration.translation.shape == (3,)
    assert "PayloadSize" in camera.features()
    model = camera.calibration(0).ros_camera_model(16, 8)
    assert model["k"][0, 2] == pytest.approx(calibration.matrix[0, 2] - 16)
    np.testing.assert_array_equal(model["p"][:, :3], model["k"])
    assert model["d"][4] == 0
    translation, rotation = camera.calibration(0).ros_pose()
    np.testing.assert_allclose(rotation, [-0.5, 0.5, -0.5, 0.5], atol=1e-6)  # the reference sensor
    colour_at, _ = camera.calibration(1).ros_pose()
    assert colour_at[1] == pytest.approx(-0.05012, abs=1e-4)  # 5 cm to the right, in metres


def test_frames_are_views_of_the_captured_bytes(camera, tmp_path):
    camera.set_roi(0, 96, 64, 16, 8)
    with camera.stream(0) as depth:
        frame = depth.capture(timeout=10)
        again = [f.block_id for f in depth.frames(2)]
        statistics = depth.statistics()
    assert frame.is_cloud and (frame.width, frame.height, frame.roi) == (96, 64, (96, 64, 16, 8))
    assert again[0] > frame.block_id and again[1] > again[0]
    assert statistics.complete >= 3 and statistics.incomplete == 0
    memory = np.frombuffer(frame.data, np.uint8)
    assert np.shares_memory(frame.raw, memory) and np.shares_memory(frame.depth, memory)
    assert not frame.raw.flags.writeable
    np.testing.assert_array_equal(frame.depth, frame.raw[..., 2].view(np.uint16))
    np.testing.assert_array_equal(frame.points[..., 2], frame.depth.astype(np.float32) / np.float32(10))
    assert frame.depth.any() and not depth.is_open
    # As ROS tools expect: metres with NaN where there is no depth, and
    # rounded millimetres.
    metres, mm = frame.points_metres, frame.depth_mm
    hole = frame.depth == 0
    assert np.isnan(metres[hole]).all() and not np.isnan(metres[~hole]).any()
    np.testing.assert_allclose(metres[~hole], frame.points[~hole] / 1000, rtol=1e-6)
    np.testing.assert_array_equal(mm, np.floor(frame.depth / 10 + 0.5).astype(np.uint16))
    for extension in ("pcd", "ply", "txt", "png"):
        frame.save(tmp_path / f"cloud.{extension}")
        assert (tmp_path / f"cloud.{extension}").stat().st_size > 0
    assert b"WIDTH 96" in (tmp_path / "cloud.pcd").read_bytes()[:300]
    with pytest.raises(ValueError, match="use one of"):
        frame.save(tmp_path / "cloud.bmp")
    kept = frame.filter_outliers()
    assert kept.depth.shape == frame.depth.shape and np.count_nonzero(kept.depth) <= np.count_nonzero(frame.depth)
    assert frame.filter_sparse(1).depth.shape == frame.depth.shape
    with pytest.raises(voracam.VoraError) as closed:
        depth.capture(timeout=0.1)
    assert closed.value.code == -98


def test_fusion_both_ways_and_open3d(camera, tmp_path):
    open3d = pytest.importorskip("open3d")
    camera.set_roi(0, 160, 128, 560, 448)
    camera.set_roi(1, 320, 256, 480, 384)
    with camera.stream(0) as depth, camera.stream(1) as colour:
        cloud, image = depth.capture(timeout=10), colour.capture(timeout=10)
    assert image.image.shape == (256, 320, 3) and image.rgb().shape == (256, 320, 3)
    fused = cloud.fuse(image)
    coloured = fused.colours.reshape(-1, 3).any(axis=1)
    assert fused.points.shape == (128, 160, 3) and coloured.mean() > 0.5
    fused.save(tmp_path / "fused.txt")
    lines = (tmp_path / "fused.txt").read_text().splitlines()
    assert len(lines) == np.count_nonzero(fused.points[..., 2])
    pc = fused.to_open3d()
    assert isinstance(pc, open3d.geometry.PointCloud) and pc.has_colors()
    assert len(pc.points) == len(lines)
    assert len(cloud.to_open3d().points) == np.count_nonzero(cloud.depth)
    regridded = voracam.depth_to_colour(cloud, image)
    assert regridded.is_cloud and (regridded.width, regridded.height) == (320, 256) and regridded.depth.any()


def test_features_by_name(camera):
    # Enumerations by their entries' names (or values), read back by name.
    mode = camera.describe("TriggerMode")
    assert (mode.type, mode.access, mode.entries) == ("enumeration", "RW", ("Off", "On"))
    camera.set("TriggerMode", "On")
    try:
        assert camera.get("TriggerMode") == "On"
    finally:
        camera.set("TriggerMode", 0)
    assert camera.get("TriggerMode") == "Off"
    with pytest.raises(ValueError, match="^TriggerMode: Sometimes is not one of its entries: Off, On$"):
        camera.set("TriggerMode", "Sometimes")

    # A per-sensor feature through its selector: each sensor keeps its own.
    exposure = camera.describe("ExposureTime")
    assert (exposure.type, exposure.unit, exposure.min) == ("integer", "us", 10) and exposure.selectors
    camera.set("ExposureTime", 4321, 2)
    camera.set("ExposureTime", 1234, 0)
    assert (camera.get("ExposureTime", 2), camera.get("ExposureTime", 0)) == (4321, 1234)
    with pytest.raises(ValueError, match="Laserbrightness has no selector"):
        camera.get("Laserbrightness", 1)

    # A float: the camera's temperature, converted from hundredths of a kelvin.
    temperature = camera.describe("DeviceTemperature")
    assert (temperature.type, temperature.access, temperature.unit) == ("float", "RO", "C")
    assert camera.get("DeviceTemperature") == pytest.approx(42.5)

    # Booleans, strings and registers in their natural types.
    assert camera.describe("GevIEEE1588").type == "boolean"
    assert isinstance(camera.get("GevIEEE1588"), bool)
    assert camera.get("DeviceSerialNumber") == SERIAL
    intrinsics = camera.get("InternelParameter")
    assert isinstance(intrinsics, bytes) and len(intrinsics) == camera.describe("InternelParameter").length == 56

    # Commands run; they have no value.
    assert camera.describe("GevTimestampControlLatch").type == "command"
    camera.execute("GevTimestampControlLatch")
    with pytest.raises(TypeError, match="command"):
        camera.set("GevTimestampControlLatch", 1)
    with pytest.raises(ValueError, match="command"):
        camera.get("GevTimestampControlLatch")

    # A read-only feature: the library refuses, and its message names it.
    with pytest.raises(voracam.VoraError) as refused:
        camera.set("DeviceSerialNumber", "X")
    assert refused.value.code == V.VORA_ERR_FEATURE_NOT_WRITABLE
    assert "DeviceSerialNumber" in str(refused.value)
    assert camera.get("DeviceSerialNumber") == SERIAL
    assert "Laserbrightness" in camera.features("LightControl") and "Width" not in camera.features("LightControl")


def test_colour_formats_convert_on_request(camera):
    formats = voracam.PixelFormat
    camera.set_roi(1, 320, 256, 480, 384)
    images = {}
    try:
        for kind in (formats.RGB8, formats.BAYER_RG8, formats.YUV422_8):
            camera.set("PixelFormat", kind, 1)
            with camera.stream(1) as colour:
                images[kind] = colour.capture(timeout=10)
    finally:
        camera.set("PixelFormat", formats.RGB8, 1)
    assert images[formats.BAYER_RG8].image.shape == (256, 320)
    assert images[formats.YUV422_8].image.shape == (256, 320, 2)
    rgb = images[formats.RGB8].image.astype(int)
    for kind in (formats.BAYER_RG8, formats.YUV422_8):
        converted = images[kind].to_rgb()
        assert converted.pixel_format == formats.RGB8 and np.abs(converted.image.astype(int) - rgb).mean() < 4


def test_leaving_the_block_releases_the_camera(camsim):
    for error in (RuntimeError, KeyboardInterrupt):
        with pytest.raises(error):
            with voracam.open(SERIAL, wait=30) as cam:
                stream = cam.stream(0)
                raise error()
        assert not cam.is_open and not stream.is_open
    with voracam.open(SERIAL) as cam:  # control was given back
        with pytest.raises(voracam.VoraError, match="already open"):
            voracam.open(SERIAL)
    with pytest.raises(voracam.VoraError) as missing:
        voracam.open("NO-SUCH-SERIAL")
    assert missing.value.code == -99
