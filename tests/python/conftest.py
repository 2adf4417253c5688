"""Shared fixtures: the build's Python modules on the path, and a simulated
camera on 127.0.0.1.

Tests that talk to a camera run only in a private network namespace whose
one interface is loopback (scripts/run-pytest runs pytest through
tests/netns-run), so that discovery never reaches a real network.
"""
import os
import select
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VORA_BUILD_DIR", "build"))
if not BUILD.is_absolute():
    BUILD = REPO / BUILD
PYTHONPATH = [str(BUILD / "python"), str(REPO / "python")]
sys.path[:0] = PYTHONPATH
CAMSIM = BUILD / "sim" / "vora-camsim"
SERIAL = "SIM00001"


def isolated() -> bool:
    """True inside a private namespace that has only loopback."""
    return [name for _, name in socket.if_nameindex()] == ["lo"]


def child_env(**extra) -> dict:
    """The environment of a Python child process that imports the build's modules."""
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(PYTHONPATH + [env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    return env


class Camsim:
    """A simulated camera process; at most one runs, since each listens on
    127.0.0.1:3956."""

    current = None

    def __init__(self, fps: int) -> None:
        self.fps = fps
        # Bounded in time, should a test run be killed before it stops it.
        self.process = subprocess.Popen([str(CAMSIM), "--fps", str(fps), "--seconds", "900"],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # It prints "ready" once it listens; a generous deadline for a busy machine.
        seen = b""
        deadline = time.monotonic() + 60
        while b"ready\n" not in seen and time.monotonic() < deadline:
            if select.select([self.process.stdout], [], [], 1.0)[0]:
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    break
                seen += chunk
        if b"ready\n" not in seen:
            self.stop()
            pytest.fail(f"the simulated camera did not start: {seen.decode(errors='replace')}")

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=30)

    @classmethod
    def running(cls, fps: int) -> "Camsim":
        if cls.current is None or cls.current.fps != fps or cls.current.process.poll() is not None:
            if cls.current is not None:
                cls.current.stop()
            cls.current = Camsim(fps)
        return cls.current


def camsim_at(fps: int) -> Camsim:
    if not CAMSIM.exists():
        pytest.fail(f"{CAMSIM} is missing: build first")
    if not isolated():
        pytest.skip("talks to a camera: run through scripts/run-pytest (a private network namespace)")
    return Camsim.running(fps)


@pytest.fixture(scope="session", autouse=True)
def _stop_camsim():
    yield
    if Camsim.current is not None:
        Camsim.current.stop()


@pytest.fixture
def camsim():
    """A simulated camera streaming 20 frames per second while acquiring."""
    return camsim_at(20)


@pytest.fixture
def fast_camsim():
    """A simulated camera streaming 400 frames per second: for small regions only."""
    return camsim_at(400)


@pytest.fixture
def camera(camsim):
    """The simulated camera, opened through the package; the regions of
    interest a test changes are put back afterwards, so that the next test
    (or example program) sees the whole sensors."""
    import voracam

    with voracam.open(SERIAL, wait=30) as cam:
        regions = {channel: cam.roi(channel) for channel in range(3)}
        yield cam
    if camsim.process.poll() is None:
        with voracam.open(SERIAL, wait=30) as cam:
            for channel, region in regions.items():
                cam.set_roi(channel, *region)
