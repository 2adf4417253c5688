"""A camera that goes away, and one that a program leaves behind: waits end
with one clear error, leaving the block adds none, a terminated program
gives its camera back, and the next one waits out a holder that died."""
import signal
import subprocess
import sys
import threading
import warnings

import pytest

import voracam
from conftest import SERIAL, child_env

# A lost camera is found by the heartbeat within a few seconds; these only
# catch a wait that never ends.
DEADLINE = 90


def test_a_lost_camera_ends_iteration_and_waits_with_one_error(camsim):
    outcomes = {}
    started = threading.Barrier(3, timeout=DEADLINE)

    def consume(name, frames):
        try:
            for number, _ in enumerate(frames):
                if number == 0:
                    started.wait()
        except BaseException as error:  # noqa: BLE001 - what ended it is the result
            outcomes[name] = error

    with voracam.open(SERIAL, wait=30) as cam:
        depth, other = cam.stream(0), cam.stream(2)
        threads = [threading.Thread(target=consume, args=("iteration", depth)),
                   threading.Thread(target=consume, args=("frames", other.frames(timeout=30)))]
        for thread in threads:
            thread.start()
        started.wait()
        camsim.process.kill()
        camsim.process.wait()
        for thread in threads:
            thread.join(DEADLINE)
        assert not any(thread.is_alive() for thread in threads)
        assert cam.lost
    # Leaving the block raised nothing over it, and released what there was.
    assert not cam.is_open and not depth.is_open and not other.is_open
    for name, error in outcomes.items():
        assert isinstance(error, voracam.VoraError), (name, error)
        assert error.code == voracam.CAMERA_LOST, (name, error)
        assert f"camera {SERIAL} at 127.0.0.1 was lost" in str(error)
    assert set(outcomes) == {"iteration", "frames"}


def test_leaving_the_block_does_not_hide_the_error_that_ended_it(camsim):
    with pytest.raises(voracam.VoraError) as lost:
        with voracam.open(SERIAL, wait=30) as cam, cam.stream(0) as depth:
            depth.capture(timeout=30)
            camsim.process.kill()
            camsim.process.wait()
            while True:
                depth.capture(timeout=DEADLINE)
    assert lost.value.code == voracam.CAMERA_LOST
    assert not getattr(lost.value, "__notes__", None)  # the clean-up had nothing to add


HOLDER = f"""
import sys, voracam
if sys.argv[1] == "release":
    voracam.release_on_sigterm()
with voracam.open({SERIAL!r}, wait=30) as cam, cam.stream(0) as depth:
    depth.capture(timeout=30)
    print("capturing", flush=True)
    for frame in depth:
        pass
"""


def holder(how):
    child = subprocess.Popen([sys.executable, "-c", HOLDER, how], stdout=subprocess.PIPE, text=True,
                             env=child_env())
    line = child.stdout.readline()
    if line != "capturing\n":
        child.kill()
        pytest.fail(f"the holding program did not start: {line!r}")
    return child


def test_sigterm_releases_the_camera_at_once(camsim):
    child = holder("release")
    child.send_signal(signal.SIGTERM)
    assert child.wait(DEADLINE) == 128 + signal.SIGTERM
    # No heartbeat to wait out: the camera is free now.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with voracam.open(SERIAL, wait=30, wait_for_control=False) as cam:
            assert cam.is_open


def test_open_waits_out_a_holder_that_died(camsim):
    child = holder("plain")
    child.kill()
    child.wait(DEADLINE)
    with pytest.raises(voracam.VoraError) as held:
        voracam.open(SERIAL, wait=30, wait_for_control=False)
    assert held.value.code == -11
    with pytest.warns(UserWarning, match=r"controlled by another application; waiting up to 3\.0 s"):
        with voracam.open(SERIAL, wait=30) as cam:
            assert cam.is_open
