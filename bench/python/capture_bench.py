#!/usr/bin/env python3
"""Python capture benchmark: the same simulated stream captured through the
voracam package and through the library from C++ (capture_loop), in the same
run, at rising frame rates.

For each rate a simulated camera streams 1280 x 1024 clouds (7.9 MB) over
loopback with 9000-byte packets; each side connects, captures channel 0 for a
few seconds and reports frames per second, whether every frame arrived
complete, and its process's CPU seconds per GB captured (receive thread
included). Run it in a private network namespace, as `make bench` does:
    tests/netns-run /usr/bin/python3 bench/python/capture_bench.py build
"""
import os
import resource
import subprocess
import sys
import time

RATES = (10, 30, 60, 100, 150, 200, 250)
SECONDS = 4.0
GB = 1e9


def cpu_seconds() -> float:
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def python_loop(seconds: float) -> None:
    """The Python side, in a process of its own: prints capture_loop's line."""
    import voracam

    with voracam.open(wait=20) as cam, cam.stream(0, buffers=8) as stream:
        stream.capture(timeout=5)  # the first frame starts the clock
        frames = 0
        cpu0, start = cpu_seconds(), time.monotonic()
        while time.monotonic() < start + seconds:
            try:
                stream.capture(timeout=0.1)
                frames += 1
            except voracam.VoraError as error:
                if error.code != voracam.TIMEOUT:
                    raise
        wall, cpu = time.monotonic() - start, cpu_seconds() - cpu0
        cam.stop()
        s = stream.statistics()
        print(f"frames {frames} wall {wall:.3f} cpu {cpu:.3f} bytes {frames * stream.payload_size} "
              f"incomplete {s.incomplete} lost {s.lost} no_buffer {s.no_buffer}")


def measure(command: list, env: dict) -> dict:
    out = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    if out.returncode != 0:
        sys.exit(f"capture_bench: {' '.join(command)} failed:\n{out.stderr}")
    words = out.stdout.split()
    figures = {k: float(v) for k, v in zip(words[::2], words[1::2])}
    figures["fps"] = figures["frames"] / figures["wall"]
    figures["cpu_per_gb"] = figures["cpu"] / (figures["bytes"] / GB) if figures["bytes"] else 0.0
    return figures


def dropped(f: dict) -> int:
    """Frames the receiver did not deliver whole: incomplete, lost, or
    without a free buffer."""
    return int(f["incomplete"] + f["lost"] + f["no_buffer"])


def held(f: dict, rate: float) -> bool:
    """Every frame delivered whole, at (nearly) the rate asked for: a busy
    machine can keep the camera itself below it."""
    return dropped(f) == 0 and f["fps"] >= 0.9 * rate


def main(build: str) -> None:
    build = os.path.abspath(build)
    here = os.path.dirname(os.path.abspath(__file__))
    source_python = os.path.join(here, "..", "..", "python")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(build, "python"), source_python]))
    subprocess.run(["ip", "link", "set", "lo", "mtu", "9000"], check=False)
    print("python capture benchmark: 1280 x 1024 Coord3D_ABC16 clouds (7.9 MB), packet size 9000, loopback")
    print(f"  {'rate':>5} | {'C++ fps':>8} {'CPU s/GB':>9} {'dropped':>8} | "
          f"{'Python fps':>10} {'CPU s/GB':>9} {'dropped':>8} | {'CPU ratio':>9}")
    lossless = []  # rates the C++ capture held, with both sides' figures
    for rate in RATES:
        sim = subprocess.Popen([os.path.join(build, "sim", "vora-camsim"), "--fps", str(rate), "--seconds", "120"],
                               stdout=subprocess.PIPE, text=True)
        try:
            while "ready" not in (sim.stdout.readline() or "ready"):
                pass
            cpp = measure([os.path.join(build, "bench", "capture_loop"), str(SECONDS)], env)
            py = measure([sys.executable, __file__, "--python-loop", str(SECONDS)], env)
        finally:
            sim.terminate()
            sim.wait()
        ratio = py["cpu_per_gb"] / cpp["cpu_per_gb"] if cpp["cpu_per_gb"] else 0.0
        print(f"  {rate:>5} | {cpp['fps']:>8.1f} {cpp['cpu_per_gb']:>9.3f} {dropped(cpp):>8} | "
              f"{py['fps']:>10.1f} {py['cpu_per_gb']:>9.3f} {dropped(py):>8} | {ratio:>9.2f}", flush=True)
        if not held(cpp, rate):
            break
        lossless.append((rate, cpp, py))
    if lossless:
        # CPU per GB over all those rates: one window each is noisy on a busy machine.
        cpp_cpu, py_cpu = (sum(f["cpu"] for f in side) / (sum(f["bytes"] for f in side) / GB)
                           for side in ([c for _, c, _ in lossless], [p for _, _, p in lossless]))
        rate, _, py = lossless[-1]
        print(f"  highest rate tried at which the C++ capture stays lossless: {rate} fps; Python there: "
              f"{'every frame complete' if dropped(py) == 0 else f'{dropped(py)} frames dropped'}, {py['fps']:.1f} fps")
        print(f"  CPU per GB over those rates: C++ {cpp_cpu:.3f} s, Python {py_cpu:.3f} s, "
              f"ratio {py_cpu / cpp_cpu:.2f} (aim <= 1.15)")
    subprocess.run(["ip", "link", "set", "lo", "mtu", "65536"], check=False)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--python-loop":
        python_loop(float(sys.argv[2]))
    elif len(sys.argv) == 2:
        main(sys.argv[1])
    else:
        sys.exit("usage: capture_bench.py BUILD_DIR")
