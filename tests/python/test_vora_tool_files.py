"""The vora tool's JSON documents, read by Python's json module, and the
coloured clouds of a fused capture, read by Open3D."""
import json
import subprocess

import numpy as np
import pytest

from conftest import BUILD, SERIAL

VORA = BUILD / "vora"


def vora(*args, code=0):
    done = subprocess.run([str(VORA), *map(str, args)], capture_output=True, text=True, timeout=300)
    assert done.returncode == code, done.stderr
    return done.stdout


def test_json_documents_have_their_documented_keys(camsim, tmp_path):
    cameras = json.loads(vora("list", "--json"))["cameras"]
    assert [c["serial"] for c in cameras] == [SERIAL]
    assert {"index", "model", "mac", "ip", "interface", "same_subnet", "control"} <= cameras[0].keys()
    assert cameras[0]["control"]["holder"] == "free"

    info = json.loads(vora("info", "--json", "-c", cameras[0]["mac"]))
    assert info["serial"] == SERIAL
    assert info["heartbeat_timeout_ms"] == 3000
    assert [c["channel"] for c in info["stream_channels"]] == [0, 1, 2]
    assert info["stream_channels"][1]["pixel_format"] == "RGB8"
    assert len(info["sensors"][0]["rotation"]) == 9

    # The simulated camera refuses to read DeviceFanSpeed: null, the rest listed.
    features = {f["name"]: f for f in json.loads(vora("features", "--json"))["features"]}
    assert features["DeviceFanSpeed"]["value"] is None
    assert features["Width"]["type"] == "integer" and features["Width"]["access"] == "RW"
    assert features["ExposureTime"]["selectors"] == ["SensorSelector"] and features["ExposureTime"]["unit"] == "us"
    assert isinstance(features["DeviceTemperature"]["value"], float)
    assert features["Laserbrightness"]["max"] == 100
    assert {e["name"]: e["value"] for e in features["TriggerMode"]["entries"]} == {"Off": 0, "On": 1}

    values = json.loads(vora("get", "--json", "Width[0]", "PixelFormat[1]", "DeviceSerialNumber"))
    assert values == {"Width[0]": features["Width"]["value"], "PixelFormat[1]": "RGB8", "DeviceSerialNumber": SERIAL}

    summary = json.loads(vora("capture", "--json", "--channels", "0", "--frames", "2", "--format", "pcd",
                              "--out", tmp_path))
    assert summary["result"] == "ok"
    channel = summary["channels"][0]
    assert channel["frames"]["saved"] == 2 and channel["frames"]["captured"] >= 2
    assert {"blocks", "packets", "rate", "receive_time_ms"} <= channel.keys()
    # Frames counted as frames, packets as packets.
    assert {"lost_on_network", "not_taken_in_time", "left_waiting"} <= channel["frames"].keys()
    assert {"no_buffer", "no_buffer_after_capture"} <= channel["packets"].keys()
    assert channel["packets"]["no_buffer"] == channel["blocks"]["no_buffer"]
    assert json.loads((tmp_path / "summary.json").read_text()) == summary
    lines = [json.loads(line) for line in (tmp_path / "frames.jsonl").read_text().splitlines()]
    assert [(f["channel"], f["frame"], f["complete"]) for f in lines] == [(0, 1, True), (0, 2, True)]
    assert lines[0]["files"] == ["ch0_0001.pcd"]
    assert lines[0]["pixel_format"] == "Coord3D_ABC16"


def test_fused_and_binary_clouds_load_in_open3d_with_colours(camsim, tmp_path):
    open3d = pytest.importorskip("open3d")
    vora("capture", "--channels", "0,1", "--frames", "1", "--fuse", "--format", "pcd,ply,plybin",
         "--out", tmp_path)
    for name in ("fused_ch0_colour.pcd", "fused_ch0_colour.ply", "fused_ch0_grid.pcd", "fused_ch0_grid.ply"):
        cloud = open3d.io.read_point_cloud(str(tmp_path / name))
        assert cloud.has_colors(), name
        points, colours = np.asarray(cloud.points), np.asarray(cloud.colors)
        points_with_depth = np.isfinite(points).all(axis=1)
        assert points_with_depth.sum() > 1000, name
        # The scene's red box and blue sphere: colours differ between points.
        assert colours[points_with_depth].std(axis=0).max() > 0.05, name
    # The binary PLY holds the points of the text one.
    text = np.asarray(open3d.io.read_point_cloud(str(tmp_path / "ch0_0001.ply")).points)
    binary = np.asarray(open3d.io.read_point_cloud(str(tmp_path / "ch0_0001.bin.ply")).points)
    assert binary.shape == text.shape
    assert np.allclose(binary, text, atol=0.01)
