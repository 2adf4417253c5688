"""Synchronised capture from Python: two simulated cameras armed for one
action command, their frames grouped into sets."""
import os
import select
import subprocess
import time

import numpy as np
import pytest

from conftest import CAMSIM, isolated

import voracam


@pytest.fixture
def pair():
    if not isolated():
        pytest.skip("needs a private network namespace (tests/netns-run)")
    process = subprocess.Popen([str(CAMSIM), "--ip", "127.0.0.2", "--cameras", "2", "--serial", "SYNCP",
                                "--fps", "10", "--seconds", "300"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    seen = b""
    deadline = time.monotonic() + 60
    while b"ready\n" not in seen and time.monotonic() < deadline:
        if select.select([process.stdout], [], [], 1.0)[0]:
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
    try:
        assert b"ready\n" in seen, seen.decode(errors="replace")
        cams = voracam.open_many(["SYNCP", "SYNCP-2"], wait=20)
        try:
            yield cams
        finally:
            for cam in cams:
                cam.close()
    finally:
        process.terminate()
        process.wait(timeout=30)


def test_open_many_closes_what_it_opened_when_one_fails(pair):
    with pytest.raises(voracam.VoraError):
        voracam.open_many([pair[0].info.serial], wait=0)  # already open here
    with pytest.raises(TypeError):
        voracam.open_many("SYNCP")


def test_sets_of_two_cameras_triggered_by_actions(pair):
    for cam in pair:
        capability = cam.sync_capability()
        if not capability.action:
            pytest.skip("the simulated camera has no action commands")
        assert capability.action_signals >= 1
        cam.set_action_keys(0x56524131, 1, 1)
        cam.set("TriggerMode", "On")
        cam.set("TriggerSource", "Action1")
        mapping = cam.clock_mapping()
        assert mapping.tick_frequency > 0 and mapping.uncertainty_ns >= 0
    streams = [cam.stream(0) for cam in pair]
    with voracam.FrameSet([(cam, 0) for cam in pair], tolerance_us=1000, time_base="host") as sets:
        complete = []
        for _ in range(40):
            sent = voracam.send_action(pair, ack_timeout=1.0)
            assert sent.acknowledged == 2, sent
            try:
                got = sets.next(timeout=5)
            except voracam.VoraError as error:
                assert error.code == voracam.TIMEOUT
                continue
            if got.complete:
                complete.append(got)
            if len(complete) == 3:
                break
        assert len(complete) == 3
        for s in complete:
            assert [m.camera for m in s.members] == pair
            for m in s.members:
                assert m.present and isinstance(m.frame.points, np.ndarray)
                assert abs(m.offset_ns) <= 1_000_000
        assert sets.statistics.complete >= 3
    for stream in streams:
        stream.close()


def test_a_frame_set_ends_when_every_camera_is_lost(pair):
    for cam in pair:
        cam.stream(0)
    with voracam.FrameSet([(cam, 0) for cam in pair], time_base="host") as sets:
        # Nothing keeps the cameras: closing them ends the set's members.
        # Sets of frames taken before may still come (a few buffers' worth),
        # then an error, never a wait without end.
        for cam in pair:
            cam.close()
        with pytest.raises(voracam.VoraError):
            for _ in range(20):
                sets.next(timeout=10)
