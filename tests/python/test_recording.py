"""Recording from Python and reading the file back without a camera: the
frames as they were captured, their NumPy views, the camera and its
calibration."""
import numpy as np
import pytest

import voracam
from conftest import SERIAL


def test_record_then_read_back_without_the_camera(camera, tmp_path):
    for channel in (0, 1):
        camera.set_roi(channel, 64, 48)
    path = tmp_path / "run.mcap"
    # A program that died while acquiring leaves the camera sending; frames
    # queued before the recording starts are not recorded.
    camera.stop()
    with camera.stream(0, start=False) as depth, camera.stream(1, start=False) as colour:
        camera.record(path, compress=True)
        camera.start()
        live = [s.capture(timeout=10) for _ in range(3) for s in (depth, colour)]
        camera.stop()
        stats = camera.stop_recording()
    assert stats.dropped == 0 and stats.frames >= len(live) and stats.bytes == path.stat().st_size
    assert sorted(stats.channels) == [0, 1]
    assert sum(c.frames for c in stats.channels.values()) == stats.frames
    assert all(c.dropped == 0 and c.missing_blocks >= c.gaps >= 0 for c in stats.channels.values())

    with voracam.open_recording(path) as rec:
        frames = list(rec)
        assert rec.frame_count == len(frames) == stats.frames
        assert rec.camera.serial == SERIAL
        np.testing.assert_array_equal(rec.calibration(0).matrix, camera.calibration(0).matrix)
        topics = {topic: (kind, n) for topic, kind, n in rec.topics}
        assert topics[f"/vora/{SERIAL}/ch0"][0] == "sensor_msgs/PointCloud2"
        assert topics[f"/vora/{SERIAL}/ch1"][0] == "sensor_msgs/Image"
        assert topics[f"/vora/{SERIAL}/ch0/raw"][1] == sum(f.channel == 0 for f in frames)
        # The recording keeps each channel's figures as the recorder counted them.
        assert rec.channels == [stats.channels[0], stats.channels[1]]
        times = [f.log_time_ns for f in frames]
        assert times == sorted(times) and rec.duration == (times[-1] - times[0]) / 1e9

    recorded = {(f.channel, f.block_id): f for f in frames}
    for f in live:
        r = recorded[(f.channel, f.block_id)]
        assert (r.width, r.height, r.timestamp, r.roi) == (f.width, f.height, f.timestamp, f.roi)
        assert r.raw.tobytes() == f.data[:f.payload_size]
        if f.is_cloud:
            np.testing.assert_array_equal(r.points, f.points)
            np.testing.assert_array_equal(r.depth, f.depth)
        else:
            np.testing.assert_array_equal(r.image, f.image)

    # The library's writers, without a camera, write what they write for a live frame.
    cloud = next(f for f in live if f.is_cloud)
    cloud.save(tmp_path / "live.pcd")
    recorded[(cloud.channel, cloud.block_id)].save(tmp_path / "recorded.pcd")
    assert (tmp_path / "live.pcd").read_bytes() == (tmp_path / "recorded.pcd").read_bytes()


def test_ros2_profile_named_and_replayed(camera, tmp_path):
    path = tmp_path / "bag.mcap"
    camera.stop()
    with camera.stream(0, start=False) as depth:
        with pytest.raises(ValueError):
            camera.record(path, profile="ros3")
        with pytest.raises(ValueError):
            camera.record(path, name="cam")  # a name only for ros2
        with pytest.raises(voracam.VoraError):
            camera.record(path, profile="ros2", name="not/a/name")
        camera.record(path, profile="ros2", name="cam")
        camera.start()
        live = [depth.capture(timeout=10) for _ in range(3)]
        camera.stop()
        stats = camera.stop_recording()
    assert stats.dropped == 0
    with voracam.open_recording(path) as rec:
        topics = {topic: kind for topic, kind, n in rec.topics}
        assert topics["/cam/depth/points"] == "sensor_msgs/msg/PointCloud2"
        assert topics[f"/vora/{SERIAL}/ch0/raw"] == "vora_msgs/msg/RawFrame"
        recorded = {f.block_id: f for f in rec}
    for f in live:
        assert recorded[f.block_id].raw.tobytes() == f.data[:f.payload_size]


def test_a_file_that_is_no_recording_is_refused(tmp_path):
    path = tmp_path / "not.mcap"
    path.write_bytes(b"\x89MCAP0\r\n" + b"\x00" * 40)
    try:
        voracam.open_recording(path)
    except voracam.VoraError as e:
        assert e.code == -73
    else:
        raise AssertionError("opened a file that is no recording")
