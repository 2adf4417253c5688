"""A waiting capture lets other Python threads run; captures leave nothing
behind."""
import gc
import sys
import threading
import time
import tracemalloc

import pytest

import VoraSDK as V
import voracam
from conftest import SERIAL


def test_a_waiting_capture_lets_other_threads_run(camera):
    samples = []
    stop = threading.Event()

    def count():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                samples.append(time.monotonic())

    with camera.stream(0, start=False) as silent:  # no acquisition: nothing arrives
        counter = threading.Thread(target=count)
        counter.start()
        start = time.monotonic()
        with pytest.raises(voracam.VoraError) as timed_out:
            silent.capture(timeout=1.0)
        end = time.monotonic()
        stop.set()
        counter.join()
    assert timed_out.value.code == voracam.TIMEOUT and end - start >= 1.0
    # The counter ran throughout the wait, not only between the library calls
    # it is made of: most 50 ms stretches of it saw the counter advance.
    stretches = {int((t - start) / 0.05) for t in samples if start <= t < end}
    assert len(stretches) >= 0.5 * (end - start) / 0.05, sorted(stretches)


def test_no_reference_growth_over_a_thousand_captures(fast_camsim):
    with voracam.open(SERIAL, wait=30) as cam:
        cam.set_roi(0, 16, 16)
        with cam.stream(0) as stream:
            def capture(count):
                for _ in range(count):
                    frame = stream.capture(timeout=10)
                    assert frame.depth.shape == (16, 16)

            info, data = V.PhotoInfoCSharp(), bytes(stream.payload_size)

            def capture_raw(count):
                for _ in range(count):
                    assert V.CaptureCSharp(cam.index, 0, info, data, len(data)) == 0

            capture(50)
            capture_raw(50)
            gc.collect()
            tracemalloc.start()
            objects = len(gc.get_objects())
            references = [sys.getrefcount(x) for x in (cam, stream, info, data, voracam.Frame, V.PhotoInfoCSharp)]
            capture(1000)
            capture_raw(1000)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0]
            tracemalloc.stop()
            assert [sys.getrefcount(x) for x in (cam, stream, info, data, voracam.Frame,
                                                 V.PhotoInfoCSharp)] == references
            assert len(gc.get_objects()) - objects < 50
            assert grown < 64 * 1024, grown
