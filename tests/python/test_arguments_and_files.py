"""What a new user gets wrong first: arguments the package refuses in its
own words, values outside a feature's range, and every file the tool writes
for a frame, saved from Python and read back by independent readers."""
import numpy as np
import pytest

import voracam

Image = pytest.importorskip("PIL.Image")


def test_wrong_arguments_raise_pythons_errors_in_our_words(camera):
    with pytest.raises(ValueError, match=r"channel must be 0\.\.2, not -1"):
        camera.stream(-1)
    with pytest.raises(ValueError, match="channel must be 0..2, not 3"):
        camera.stream(3)
    with pytest.raises(TypeError, match="channel must be a whole number, not str '0'"):
        camera.stream("0")
    with pytest.raises(TypeError, match="channel must be a whole number"):
        camera.stream(1.0)
    with pytest.raises(ValueError, match="buffers must be 1..4294967295, not 0"):
        camera.stream(0, buffers=0)
    with pytest.raises(ValueError, match="sensor must be"):
        camera.calibration(-1)
    with pytest.raises(TypeError, match="feature name must be a str"):
        camera.get(7)
    with pytest.raises(ValueError, match="width must be"):
        camera.set_roi(0, -96, 64)
    with pytest.raises(ValueError, match="wait must be 0 or more seconds"):
        voracam.discover(wait=-1)
    with pytest.raises(ValueError, match="camera index must be at least 0, not -1"):
        voracam.open(-1)
    with pytest.raises(TypeError, match="camera must be an index"):
        voracam.open(3.5)
    with camera.stream(0, start=False) as depth:
        with pytest.raises(TypeError, match="timeout must be a number of seconds or None"):
            depth.capture(timeout="soon")
        with pytest.raises(ValueError, match="count must be at least 0, not -2"):
            depth.frames(-2)  # refused when called, not at the first frame
        with pytest.raises(ValueError, match="buffers must be"):
            depth.buffers = -1
    assert camera.is_open  # nothing of this reached the library


def test_a_value_out_of_range_names_the_range(camera):
    before = camera.get("Laserbrightness")
    with pytest.raises(ValueError, match=r"^Laserbrightness: 101 is out of range 1\.\.100$"):
        camera.set("Laserbrightness", 101)
    with pytest.raises(ValueError, match=r"^ExposureTime: 99999999 is out of range \d*\.\.\d+"):
        camera.set("ExposureTime", 99_999_999, 1)
    with pytest.raises(ValueError, match=r"^analoggain: 1099511627776 is out of range 1\.\.64$"):
        camera.set("analoggain", 1 << 40)
    with pytest.raises(TypeError, match="Laserbrightness must be a whole number"):
        camera.set("Laserbrightness", "bright")
    assert camera.get("Laserbrightness") == before  # nothing was written
    camera.set("Laserbrightness", 100)
    assert camera.get("Laserbrightness") == 100


def test_every_format_the_tool_writes_is_saved_from_python(camera, tmp_path):
    open3d = pytest.importorskip("open3d")
    camera.set_roi(0, 160, 128, 560, 448)
    camera.set_roi(1, 320, 256, 480, 384)
    with camera.stream(0) as depth, camera.stream(1) as colour:
        cloud, image = depth.capture(timeout=30), colour.capture(timeout=30)

    for name in ("c.pcd", "c.ply", "c.bin.ply", "c.txt", "c.png", "c.raw"):
        cloud.save(tmp_path / name)
    cloud.save(tmp_path / "c_preview.png", format="preview")
    with_depth = np.count_nonzero(cloud.depth)
    binary = open3d.io.read_point_cloud(str(tmp_path / "c.bin.ply"))
    np.testing.assert_array_equal(np.asarray(binary.points),
                                  cloud.points.reshape(-1, 3)[cloud.depth.reshape(-1) > 0].astype(np.float64))
    assert (tmp_path / "c.raw").read_bytes() == bytes(cloud.data[:cloud.payload_size])
    preview = np.array(Image.open(tmp_path / "c_preview.png"))
    assert preview.shape == (128, 160, 3) and (preview[cloud.depth == 0] == 0).all()
    assert np.count_nonzero(preview.any(axis=2)) == with_depth

    image.save(tmp_path / "i.bmp")
    image.save(tmp_path / "i.png")
    image.save(tmp_path / "i.raw")
    np.testing.assert_array_equal(np.array(Image.open(tmp_path / "i.png")), image.rgb())
    np.testing.assert_array_equal(np.array(Image.open(tmp_path / "i.bmp").convert("RGB")), image.rgb())
    with pytest.raises(ValueError, match="cannot save .* as pcd: use one of bmp, png, raw"):
        image.save(tmp_path / "i.pcd")
    with pytest.raises(ValueError, match="use one of pcd, ply, plybin, txt, png, preview, raw"):
        cloud.save(tmp_path / "c.bmp")

    fused = cloud.fuse(image)
    keep = fused.points[..., 2].reshape(-1) > 0
    for name in ("f.txt", "f.pcd", "f.ply"):
        fused.save(tmp_path / name)
    ply = open3d.io.read_point_cloud(str(tmp_path / "f.ply"))
    np.testing.assert_array_equal(np.asarray(ply.points), fused.points.reshape(-1, 3)[keep].astype(np.float64))
    np.testing.assert_array_equal(np.round(np.asarray(ply.colors) * 255).astype(np.uint8),
                                  fused.colours.reshape(-1, 3)[keep])
    pcd = open3d.io.read_point_cloud(str(tmp_path / "f.pcd"), remove_nan_points=False, remove_infinite_points=False)
    assert len(pcd.points) == 160 * 128
    np.testing.assert_array_equal(np.round(np.asarray(pcd.colors)[keep] * 255).astype(np.uint8),
                                  fused.colours.reshape(-1, 3)[keep])
    with pytest.raises(ValueError, match="use one of .pcd, .ply, .txt"):
        fused.save(tmp_path / "f.png")

    # A frame of a closed camera still saves: no camera is needed to write.
    camera.close()
    cloud.save(tmp_path / "after.pcd")
    assert (tmp_path / "after.pcd").read_bytes() == (tmp_path / "c.pcd").read_bytes()


def test_recorded_frames_save_the_same_formats(camera, tmp_path):
    camera.set_roi(0, 96, 64, 16, 8)
    with camera.stream(0, start=False) as depth, camera.stream(1, start=False) as colour:
        camera.record(tmp_path / "r.mcap", raw_only=True)
        camera.start()
        depth.capture(timeout=30)
        colour.capture(timeout=30)
        camera.stop_recording()
    with voracam.open_recording(tmp_path / "r.mcap") as recording:
        for frame in recording:
            names = ["x.pcd", "x.bin.ply", "x.png"] if frame.is_cloud else ["x.bmp", "x.png"]
            for name in names:
                frame.save(tmp_path / f"{frame.channel}_{name}")
                assert (tmp_path / f"{frame.channel}_{name}").stat().st_size > 0
