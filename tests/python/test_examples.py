"""The Python examples, run as programs against the simulated camera."""
import signal
import subprocess
import sys

import pytest

import VoraSDK as V
import _VoraSDK as M
from conftest import REPO, SERIAL, child_env

EXAMPLES = REPO / "examples" / "python"


def run(name, *args):
    done = subprocess.run([sys.executable, str(EXAMPLES / name), "--wait", "30", *map(str, args)],
                          env=child_env(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_list_cameras(camsim):
    assert SERIAL in run("list_cameras.py") and "127.0.0.1" in run("list_cameras.py")


def test_capture_and_save(camsim, tmp_path):
    printed = run("capture_and_save.py", "--out", tmp_path, "--frames", 2, "--format", "pcd,png").split()
    assert len(printed) == 4 and sorted(p.name for p in tmp_path.iterdir()) == sorted(p.split("/")[-1] for p in printed)


def test_depth_statistics(camsim):
    lines = run("depth_statistics.py", "--frames", 3).splitlines()
    assert len(lines) == 4 and all("depth min" in line for line in lines[:3]) and "incomplete 0" in lines[3]


def test_colour_cloud_to_open3d(camsim, tmp_path):
    open3d = pytest.importorskip("open3d")
    out = tmp_path / "cloud.ply"
    assert "coloured points" in run("colour_cloud_open3d.py", "--out", out)
    assert open3d.io.read_point_cloud(str(out)).has_colors()


def stop_depth_statistics(signum):
    """Runs depth_statistics.py until it streams, then sends it signum and
    checks that it gave the camera back on the way out, not by the heartbeat
    running out; its exit code and output."""
    program = subprocess.Popen([sys.executable, str(EXAMPLES / "depth_statistics.py"), "--wait", "30"],
                               env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert "depth min" in program.stdout.readline()  # streaming
        program.send_signal(signum)
        out, err = program.communicate(timeout=120)
    finally:
        program.kill()
    assert V.DiscoverCamera() == 1
    V.CreateCamera()
    holder = M.new_intArray(1)
    assert V.GetCameraCCPStatus(0, holder) == 0 and M.intArray_getitem(holder, 0) == 0
    M.delete_intArray(holder)
    V.DestroyCamera()
    return program.returncode, out + err


def test_ctrl_c_gives_the_camera_back(camsim):
    code, out = stop_depth_statistics(signal.SIGINT)
    assert code == 0 and out.splitlines()[-1].startswith("complete"), out


def test_sigterm_gives_the_camera_back(camsim):
    code, out = stop_depth_statistics(signal.SIGTERM)
    assert code == 128 + signal.SIGTERM, out
