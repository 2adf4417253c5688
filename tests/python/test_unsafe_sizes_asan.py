"""The size checks of _VoraSDK under AddressSanitizer: a Python process with
libasan preloaded (and Python's allocations on malloc, where ASan guards
them) makes the refused calls and the valid calls at the exact sizes; any
read or write past a Python buffer would end it with a report."""
import subprocess
import sys
import textwrap

import pytest

from conftest import child_env

SCRIPT = textwrap.dedent("""
    import numpy as np
    import VoraSDK as V

    def refused(call, *args):
        try:
            call(*args)
        except ValueError:
            return
        raise SystemExit(f"{call.__name__} was not refused")

    assert V.DiscoverCamera() >= 1
    V.CreateCamera()
    w, h = 40, 30
    n = w * h
    info = V.PhotoInfoCSharp()
    info.pixel_format, info.pixel_width, info.pixel_height, info.cloud_unit = 0x023000B9, w, h, 10
    info.payload_size = 6 * n
    data = np.arange(3 * n, dtype="<i2").tobytes()
    colour = V.PhotoInfoCSharp()
    colour.pixel_format, colour.pixel_width, colour.pixel_height, colour.payload_size = 0x02180014, w, h, 3 * n
    image = bytes(3 * n)

    refused(V.Convert3DPointFromCharToFloatCSharp, 0, info, data, np.zeros(3 * n - 1, np.float32))
    refused(V.Convert3DPointFromCharToFloatCSharp, 0, info, data[:-2], np.zeros(3 * n, np.float32))
    refused(V.FusionImageTo3DCSharp, 0, colour, image, len(image), info, data, np.zeros(6 * n - 1, np.float32))
    refused(V.FusionImageTo3DCSharp, 0, colour, image[:-1], len(image), info, data, np.zeros(6 * n, np.float32))
    refused(V.SavePointCloudWithImageToTxtCSharp, 0, info, data, np.zeros(6 * n - 1, np.float32), b"/dev/null")
    refused(V.CaptureCSharp, 0, 0, info, bytes(100), 101)
    refused(V.FilterPointCloudCSharp, 0, info, data, len(data) + 1, 1.0)

    points = np.zeros(3 * n, np.float32)
    V.Convert3DPointFromCharToFloatCSharp(0, info, data, points)
    assert points[-1] == np.float32(3 * n - 1) / np.float32(10)
    V.FusionImageTo3DCSharp(0, colour, image, len(image), info, data, np.zeros(6 * n, np.float32))
    assert V.SavePointCloudWithImageToTxtCSharp(0, info, data, np.ones(6 * n, np.float32), b"/dev/null") == 0
    V.FilterPointCloudCSharp(0, info, bytes(data), len(data), 1.0)
    V.DestroyCamera()
    print("done")
""")


def libasan():
    path = subprocess.run(["gcc", "-print-file-name=libasan.so"], capture_output=True, text=True).stdout.strip()
    return path if path.startswith("/") else None


def test_unsafe_sizes_are_refused_under_address_sanitizer(camsim):
    asan = libasan()
    if not asan:
        pytest.skip("gcc's libasan is not installed")
    env = child_env(LD_PRELOAD=asan, PYTHONMALLOC="malloc", ASAN_OPTIONS="detect_leaks=0:abort_on_error=0")
    run = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and "AddressSanitizer" not in run.stderr, run.stdout + run.stderr
    assert run.stdout.strip() == "done"
