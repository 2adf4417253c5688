"""Frames lent by the library: views over its buffer without a copy, loans
given back on close and on collection, copies beyond the loan limit, and
arrays that stay readable whatever is closed before them."""
import gc
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import voracam
from conftest import SERIAL, child_env

DEADLINE = 90


def address(array: np.ndarray) -> int:
    return array.__array_interface__["data"][0]


def lent_buffer(frame) -> int:
    return frame._loan.state()[4]


def loans(stream) -> dict:
    return dict(stream.statistics().loans)


def test_views_lie_over_the_lent_buffer(camera):
    camera.set_roi(0, 96, 64, 16, 8)
    camera.set_roi(1, 320, 256, 480, 384)
    with camera.stream(0) as depth, camera.stream(1) as colour:
        with depth.capture() as cloud, colour.capture() as image:
            assert cloud.lent and image.lent
            raw, z = cloud.raw, cloud.depth
            assert address(raw) == lent_buffer(cloud) and np.shares_memory(raw, z)
            assert raw.shape == (64, 96, 3) and not raw.flags.writeable
            # A second view is the same memory again, not a copy.
            assert address(cloud.raw) == address(raw)
            assert address(image.image) == lent_buffer(image)
            # The library reads a lent frame in place for what it computes.
            assert cloud.depth_mm.shape == z.shape and cloud.points_metres.shape == (64, 96, 3)
            points = cloud.points
            assert points.shape == (64, 96, 3) and not np.shares_memory(points, raw)
            assert np.array_equal(points[..., 2] != 0, z != 0)
        # The arrays still lie over the depth frame's buffer.
        assert loans(depth)["out"] == 1 and loans(colour)["out"] == 0
        del raw, z
        assert loans(depth)["out"] == 0


def test_loans_go_back_on_close_and_on_collection(camera, tmp_path):
    camera.set_roi(0, 96, 64, 16, 8)
    with camera.stream(0) as stream:
        before = loans(stream)
        with stream.capture() as frame:
            assert loans(stream)["out"] == 1
            kept = frame.raw[10:20]
            expected = kept.copy()
            frame.save(tmp_path / "lent.raw")
            filtered = frame.filter_outliers()
        # Closed, but an array still lies over the buffer: it stays lent.
        assert frame.closed and loans(stream)["out"] == 1
        with pytest.raises(ValueError):
            frame.raw
        with pytest.raises(ValueError):
            frame.save(tmp_path / "closed.raw")
        assert frame.width == 96  # the record stays
        assert np.array_equal(kept, expected)
        del kept
        gc.collect()
        assert loans(stream)["out"] == 0
        # A frame made from it is a copy of its own.
        assert not filtered.lent and filtered.raw.shape == (64, 96, 3)
        assert (tmp_path / "lent.raw").stat().st_size == frame.payload_size

        # Never closed: collected with its arrays, in a reference cycle too.
        frame = stream.capture()
        cycle = {"frame": frame, "view": frame.depth}
        cycle["self"] = cycle
        del frame, cycle
        gc.collect()
        after = loans(stream)
        assert after["out"] == 0 and after["lent"] - before["lent"] == 2
        assert after["returned"] - before["returned"] == 2
        assert set(stream.statistics().receive_path) >= {"gro", "calls", "datagrams", "frames_gro"}


def test_frames_kept_beyond_the_loan_limit_are_copies(camera):
    camera.set_roi(0, 96, 64, 16, 8)
    with camera.stream(0) as stream:
        with pytest.raises(ValueError):
            stream.loan_limit = 0
        with pytest.raises(ValueError):
            stream.loan_limit = 65
        stream.loan_limit = 2
        assert stream.loan_limit == 2
        kept = list(stream.frames(5))
        assert [f.lent for f in kept] == [True, True, False, False, False]
        assert all(f.raw.shape == (64, 96, 3) for f in kept)
        assert len({f.block_id for f in kept}) == 5
        statistics = stream.statistics()
        assert statistics.copied == 3 and statistics.loans["refused"] >= 3 and statistics.loans["out"] == 2
        # Giving one back makes room for lending again.
        kept[0].close()
        assert stream.capture().lent


def test_iteration_gives_each_frame_back_as_the_next_comes(camera):
    camera.set_roi(0, 96, 64, 16, 8)
    with camera.stream(0) as stream:
        # The loop variable holds the last frame while the next is taken.
        stream.loan_limit = 2
        seen = []
        for frame in stream:
            seen.append((frame.lent, int(frame.depth.max() >= 0)))
            if len(seen) == 6:
                break
        del frame
        assert seen == [(True, 1)] * 6 and stream.statistics().copied == 0
        assert loans(stream)["out"] == 0


@pytest.mark.parametrize("order", ["stream", "camera", "frame-stream-camera"])
def test_arrays_stay_readable_whatever_closes_first(camsim, order):
    cam = voracam.open(SERIAL, wait=30)
    region = cam.roi(0)
    try:
        cam.set_roi(0, 96, 64, 16, 8)
        stream = cam.stream(0)
        frame = stream.capture()
        raw = frame.raw
        expected = raw.copy()
        if order == "frame-stream-camera":
            frame.close()
        if order != "camera":
            stream.close()
            # Its channel stays open in the library for the array.
            assert stream.held_open
        cam.close()
        assert stream.held_open and np.array_equal(raw, expected)
        if order != "frame-stream-camera":
            # The frame itself became a copy of its own when its stream closed.
            assert not frame.lent and np.array_equal(frame.raw, expected)
        with pytest.raises(voracam.VoraError):
            voracam.open(SERIAL)  # still taken while the array lives
        del frame, raw
        gc.collect()
        assert not stream.held_open
        with voracam.open(SERIAL, wait=30) as again:
            with again.stream(0) as fresh:
                assert fresh.capture().raw.shape == (64, 96, 3)
            again.set_roi(0, *region)
    finally:
        cam.close()


def test_interpreter_exit_with_lent_arrays_alive(camsim):
    program = textwrap.dedent(f"""
        import voracam
        cam = voracam.open({SERIAL!r}, wait=30)
        stream = cam.stream(0)
        frames = list(stream.frames(3))
        arrays = [f.raw for f in frames]
        stream.close()
        print(int(arrays[0].sum() >= 0), flush=True)
        # Exits with the camera open and the arrays alive.
        """)
    done = subprocess.run([sys.executable, "-c", program], env=child_env(), capture_output=True, timeout=DEADLINE)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    assert done.stdout.strip() == b"1"
