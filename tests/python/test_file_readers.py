"""Files written by the library, read back by independent readers.

A unit-test program of the build writes sample files (PCD, PLY, text, PNG,
BMP) into a temporary directory; Pillow and Open3D must load them and see
the values the samples were made from.
"""
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

open3d = pytest.importorskip("open3d")
Image = pytest.importorskip("PIL.Image")

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VORA_BUILD_DIR", "build"))
if not BUILD.is_absolute():
    BUILD = REPO / BUILD
WRITER = BUILD / "tests" / "test_imaging_writers"

W, H, UNIT = 5, 4, 10


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    if not WRITER.exists():
        pytest.fail(f"{WRITER} is missing: build the tests first")
    out = tmp_path_factory.mktemp("samples")
    env = dict(os.environ, VORA_SAMPLES_DIR=str(out))
    run = subprocess.run([str(WRITER), "--gtest_filter=ImagingSamples.*"], env=env,
                         capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stdout + run.stderr
    return out


def raw_cloud():
    """The raw points of the sample cloud, as the writer program made them."""
    i = np.arange(W * H)
    row, col = i // W, i % W
    x = ((col - 2) * 37 + row).astype(np.int16)
    y = ((row - 2) * -29 - col).astype(np.int16)
    z = np.where(i % 7 == 3, 0, 500 + 123 * i).astype(np.uint16)
    return x, y, z


def float_cloud():
    x, y, z = raw_cloud()
    unit = np.float32(UNIT)
    return np.stack([x.astype(np.float32) / unit, y.astype(np.float32) / unit,
                     z.astype(np.float32) / unit], axis=1)


def two_decimals(points):
    """What a reader gets back from "%.2f" text."""
    return np.array([[float("%.2f" % v) for v in p] for p in points.astype(np.float64)])


def test_pcd_is_organised_with_nan_for_empty_points(samples):
    cloud = open3d.io.read_point_cloud(str(samples / "cloud.pcd"), remove_nan_points=False,
                                       remove_infinite_points=False)
    got = np.asarray(cloud.points)
    want = float_cloud().astype(np.float64)
    empty = raw_cloud()[2] == 0
    want[empty] = np.nan
    assert got.shape == (W * H, 3)
    np.testing.assert_array_equal(got, want)
    header = (samples / "cloud.pcd").read_bytes().split(b"DATA binary\r\n")[0]
    assert b"WIDTH 5\r\nHEIGHT 4\r\n" in header
    assert b"POINTS 20\r\n" in header


def test_ply_and_text_hold_the_points_with_depth(samples):
    keep = raw_cloud()[2] > 0
    want = two_decimals(float_cloud()[keep])
    ply = np.asarray(open3d.io.read_point_cloud(str(samples / "cloud.ply")).points)
    # The reader may keep the decimal value as a double or as a float.
    assert ply.shape == want.shape
    assert np.all((ply == want) | (ply == want.astype(np.float32))), (ply, want)
    text = np.loadtxt(samples / "cloud.txt")
    np.testing.assert_array_equal(text, want)


def test_depth_png_holds_the_raw_depth(samples):
    image = Image.open(samples / "depth.png")
    assert image.size == (W, H)
    got = np.array(image).astype(np.int64)
    np.testing.assert_array_equal(got, raw_cloud()[2].astype(np.int64).reshape(H, W))


def test_plane_png_keeps_negative_values_as_twos_complement(samples):
    got = np.array(Image.open(samples / "plane_x.png")).astype(np.int64)
    want = raw_cloud()[0].view(np.uint16).astype(np.int64).reshape(H, W)
    np.testing.assert_array_equal(got, want)


def image_grid():
    r, c = np.mgrid[0:3, 0:5]
    return r, c


def test_grey_bmp(samples):
    r, c = image_grid()
    got = np.array(Image.open(samples / "grey.bmp").convert("L"))
    np.testing.assert_array_equal(got, (10 * r + 40 * c).astype(np.uint8))


def test_rgb888_bmp(samples):
    r, c = image_grid()
    got = np.array(Image.open(samples / "rgb.bmp").convert("RGB"))
    want = np.stack([r * 80, c * 60, 255 - 20 * r * c], axis=2).astype(np.uint8)
    np.testing.assert_array_equal(got, want)


def test_rgb565_bmp(samples):
    r, c = image_grid()
    v = (r * 0x0841 * 7 + c * 0x1003).astype(np.uint32)
    want = np.stack([(v >> 11) << 3, ((v >> 5) & 0x3F) << 2, (v & 0x1F) << 3], axis=2).astype(np.uint8)
    got = np.array(Image.open(samples / "rgb565.bmp").convert("RGB"))
    np.testing.assert_array_equal(got, want)


def test_binary_ply_holds_the_points_with_depth_exactly(samples):
    keep = raw_cloud()[2] > 0
    got = np.asarray(open3d.io.read_point_cloud(str(samples / "cloud.bin.ply")).points)
    np.testing.assert_array_equal(got, float_cloud()[keep].astype(np.float64))


def fused_colours():
    """(R, G, B) of every sample point, as the writers must store them."""
    i = np.arange(W * H)
    blue = np.where(i == 19, 255, i)  # 300 is clamped
    return np.stack([255 - i, 2 * i, blue], axis=1).astype(np.uint8)


def test_coloured_clouds_carry_their_colours(samples):
    keep = raw_cloud()[2] > 0
    points = float_cloud().astype(np.float64)
    ply = open3d.io.read_point_cloud(str(samples / "fused.ply"))
    np.testing.assert_array_equal(np.asarray(ply.points), points[keep])
    np.testing.assert_array_equal(np.round(np.asarray(ply.colors) * 255).astype(np.uint8), fused_colours()[keep])
    pcd = open3d.io.read_point_cloud(str(samples / "fused.pcd"), remove_nan_points=False,
                                     remove_infinite_points=False)
    got = np.asarray(pcd.points)
    assert got.shape == (W * H, 3) and np.isnan(got[~keep]).all()
    np.testing.assert_array_equal(got[keep], points[keep])
    np.testing.assert_array_equal(np.round(np.asarray(pcd.colors)[keep] * 255).astype(np.uint8),
                                  fused_colours()[keep])


def test_image_pngs_hold_the_pictures(samples):
    r, c = image_grid()
    grey = np.array(Image.open(samples / "grey.png"))
    assert grey.shape == (3, 5, 3)
    np.testing.assert_array_equal(grey[..., 0], (10 * r + 40 * c).astype(np.uint8))
    np.testing.assert_array_equal(np.array(Image.open(samples / "rgb.png")),
                                  np.stack([r * 80, c * 60, 255 - 20 * r * c], axis=2).astype(np.uint8))
    np.testing.assert_array_equal(np.array(Image.open(samples / "rgb565.png")),
                                  np.array(Image.open(samples / "rgb565.bmp").convert("RGB")))


def test_depth_preview_is_near_warm_far_cold_and_empty_black(samples):
    preview = np.array(Image.open(samples / "depth_preview.png")).reshape(-1, 3).astype(int)
    z = raw_cloud()[2]
    assert (preview[z == 0] == 0).all()
    near, far = preview[np.argmin(np.where(z > 0, z, 65535))], preview[np.argmax(z)]
    assert near[0] > near[2] and far[2] > far[0]
