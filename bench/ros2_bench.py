#!/usr/bin/python3
"""The ROS 2 bridge on the simulated camera, its subscriber in another
network namespace across a veth pair, beside the library's own live capture
of the same channels in the same run.

Per topic: messages delivered per second and the latency from the frame's
hand-over by the library to the subscriber (p50, p99); the bridge's CPU per
GB of frames it received, as a ratio to the live capture's; and the largest
frame rate at which every topic of one depth channel plus the colour image
(then of both depth channels) arrives complete. Run by `make bench` inside a
private namespace (tests/netns-run); nothing leaves the machine.

usage: ros2_bench.py BUILD_DIR [--quick]
"""
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
QUICK = "--quick" in sys.argv
SIM = os.path.join(BUILD, "sim", "vora-camsim")
BRIDGE = os.path.join(BUILD, "vora-ros2")
READER = os.path.join(BUILD, "tests", "ros2", "vora-ros2-reader")
CAPTURE = os.path.join(BUILD, "bench", "capture_loop")
CAM, SUB = "bcam", "bsub"
CAM_IP, SUB_IP = "10.231.0.1", "10.231.0.2"
SIM_IP = "10.231.0.10"
DOMAIN = "17"
CHANNEL_OF_ROLE = {"depth": "0", "color": "1", "depth2": "2"}


def sh(command):
    subprocess.run(command, shell=True, check=True)


def setup_namespaces():
    sh(f"ip netns add {CAM} && ip netns add {SUB}")
    sh(f"ip link add vbcam netns {CAM} type veth peer name vbsub netns {SUB}")
    for ns, dev, addr in ((CAM, "vbcam", CAM_IP), (SUB, "vbsub", SUB_IP)):
        sh(f"ip netns exec {ns} ip link set lo up")
        sh(f"ip netns exec {ns} ip link set dev {dev} multicast on mtu 9000 up")
        sh(f"ip netns exec {ns} ip addr add {addr}/24 dev {dev}")
        sh(f"ip netns exec {ns} ip route add 224.0.0.0/4 dev {dev}")
        # What the README asks of a host that takes large samples: IP
        # reassembly room for a cloud's datagrams in flight.
        sh(f"ip netns exec {ns} sysctl -qw net.ipv4.ipfrag_high_thresh=134217728 net.ipv4.ipfrag_time=3")
    # The camera lives on the bridge's side, on an address of its own.
    sh(f"ip netns exec {CAM} ip addr add {SIM_IP}/24 dev vbcam")


def in_ns(ns, args, **kw):
    return subprocess.Popen(["ip", "netns", "exec", ns] + args, **kw)


def wait_rusage(proc, timeout):
    """Waits for a process, killing it after timeout; its CPU seconds."""
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return usage.ru_utime + usage.ru_stime
        if time.monotonic() > deadline:
            proc.kill()
        time.sleep(0.02)


class Simulator:
    def __init__(self, fps, seconds):
        self.proc = in_ns(CAM, [SIM, "--ip", SIM_IP, "--mask", "255.255.255.0", "--fps", str(fps),
                                "--seconds", str(seconds)], stdout=subprocess.PIPE, text=True)
        for line in self.proc.stdout:
            if line.strip() == "ready":
                break

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def live_capture(fps, channels, seconds):
    """The library's live capture of the same channels: CPU seconds per GB."""
    sim = Simulator(fps, seconds + 15)
    try:
        out = subprocess.run(["ip", "netns", "exec", CAM, CAPTURE, str(seconds), channels], capture_output=True,
                             text=True, timeout=seconds + 40, check=True).stdout.split()
    finally:
        sim.stop()
    figures = dict(zip(out[0::2], out[1::2]))
    return float(figures["cpu"]) / (float(figures["bytes"]) / 1e9), int(figures["frames"])


def topics_of(channels):
    topics = []
    for channel in channels.split(","):
        role = {c: r for r, c in CHANNEL_OF_ROLE.items()}[channel]
        kinds = ["image_raw", "camera_info"] + (["points"] if role != "color" else [])
        topics += [f"rt/camera/{role}/{kind}" for kind in kinds]
    return topics


def bridge_run(fps, channels, frames, reader_qos=()):
    """One bounded run: the bridge publishes `frames` frames per channel, a
    reader in the other namespace takes everything. Returns the figures."""
    topics = topics_of(channels)
    workdir = tempfile.mkdtemp(prefix="ros2bench")
    trace = os.path.join(workdir, "trace.txt")
    env = dict(os.environ, ROS_DOMAIN_ID=DOMAIN)
    sim = Simulator(fps, frames / fps + 60)
    deadline = int(frames / fps + 40)
    reader = in_ns(SUB, [READER, "--samples", "0", "--deadline", str(deadline), "--stamps-only", *reader_qos]
                   + topics, stdout=subprocess.PIPE, text=True, env=env)
    samples = []
    ready = threading.Event()

    def read():
        for line in reader.stdout:
            event = json.loads(line)
            if event.get("event") == "ready":
                ready.set()
            elif event.get("event") == "sample":
                samples.append(event)

    thread = threading.Thread(target=read)
    thread.start()
    ready.wait(20)
    bridge = in_ns(CAM, [BRIDGE, "--camera", SIM_IP, "--channels", channels, "--frames", str(frames),
                         "--status", "0", "--trace", trace], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                   text=True, env=env)
    status_lines = []
    out_thread = threading.Thread(target=lambda: status_lines.extend(bridge.stdout))
    out_thread.start()
    cpu = wait_rusage(bridge, deadline)
    out_thread.join()
    sim.stop()
    # Whatever is still in flight gets a moment, then the reader stops.
    time.sleep(2)
    reader.terminate()
    thread.join(10)
    reader.wait(10)

    published, skipped = {}, {}
    for line in status_lines:
        parts = line.split()
        if len(parts) >= 8 and parts[0] == "status":
            published["rt" + parts[1]] = int(parts[3])
            skipped["rt" + parts[1]] = int(parts[5])
    # The bridge's trace: "capture CH HANDOVER_NS PAYLOAD" for each complete
    # frame the library handed over, "publish CH STAMP_NS HANDOVER_NS
    # WRITTEN_NS" for each frame whose messages were written.
    handover, received_bytes = {}, 0
    with open(trace) as f:
        for line in f:
            parts = line.split()
            if parts[0] == "capture":
                received_bytes += int(parts[3])
            elif parts[0] == "publish":
                handover[(parts[1], int(parts[2]))] = int(parts[3])
    per_topic = {}
    for topic in topics:
        mine = [s for s in samples if s["topic"] == topic]
        arrivals = [s["arrival_ns"] for s in mine]
        latencies = []
        for s in mine:
            stamp = s["stamp"]["sec"] * 1_000_000_000 + s["stamp"]["nanosec"]
            channel = CHANNEL_OF_ROLE[topic.split("/")[2]]
            if (channel, stamp) in handover:
                latencies.append((s["arrival_ns"] - handover[(channel, stamp)]) / 1e6)
        span = (max(arrivals) - min(arrivals)) / 1e9 if len(arrivals) > 1 else 0
        # Frames written before the reader matched never reach it (a
        # volatile writer): delivery is owed from its first sample on.
        seqs = sorted(s["writer_seq"] for s in mine)
        lost = (published.get(topic, 0) - seqs[0] + 1 - len(seqs)) if seqs else published.get(topic, 0)
        per_topic[topic] = {
            "received": len(mine), "published": published.get(topic, 0), "skipped": skipped.get(topic, 0),
            "lost": lost,
            "rate": (len(mine) - 1) / span if span > 0 else 0.0,
            "p50_ms": percentile(latencies, 50), "p99_ms": percentile(latencies, 99),
        }
    complete = all(t["received"] > 0 and t["lost"] == 0 and t["skipped"] == 0 for t in per_topic.values())
    return {"cpu": cpu, "bytes": received_bytes, "topics": per_topic, "complete": complete,
            "exit": bridge.returncode}


def main():
    for program in (SIM, BRIDGE, READER, CAPTURE):
        if not os.access(program, os.X_OK):
            print(f"ros2_bench: {program} is not built; skipped")
            return 0
    setup_namespaces()
    seconds = 3 if QUICK else 6
    frames = 20 if QUICK else 50
    print(f"ros2_bench: simulator 1280x1024, veth between two namespaces, DDS domain {DOMAIN}")
    for channels in ("0,1", "0,1,2"):
        live, live_frames = live_capture(10, channels, seconds)
        run = bridge_run(10, channels, frames)
        bridge_per_gb = run["cpu"] / (run["bytes"] / 1e9) if run["bytes"] else float("nan")
        print(f"\nchannels {channels} at 10 frames/s, {frames} frames per channel "
              f"(bridge exit {run['exit']}, {'complete' if run['complete'] else 'NOT complete'})")
        print(f"  {'topic':34} {'recv':>5} {'publ':>5} {'skip':>5} {'lost':>5} {'msg/s':>7} {'p50 ms':>8} "
              f"{'p99 ms':>8}")
        for topic, t in run["topics"].items():
            print(f"  {topic:34} {t['received']:5} {t['published']:5} {t['skipped']:5} {t['lost']:5} {t['rate']:7.2f} "
                  f"{t['p50_ms']:8.2f} {t['p99_ms']:8.2f}")
        print(f"  CPU per GB received: bridge {bridge_per_gb:.3f} s, live capture {live:.3f} s "
              f"({live_frames} frames): ratio {bridge_per_gb / live:.2f}")
    for channels in ("0,1", "0,1,2"):
        best = 0
        for fps in ((10, 15) if QUICK else (5, 10, 15, 20, 25, 30)):
            run = bridge_run(fps, channels, max(20, int(fps * 3)))
            worst = max(run["topics"].items(), key=lambda kv: kv[1]["lost"] + kv[1]["skipped"])
            print(f"  channels {channels} at {fps} frames/s: "
                  f"{'complete' if run['complete'] else 'not complete'} (most missing: {worst[0]}, "
                  f"lost {worst[1]['lost']}, skipped {worst[1]['skipped']})")
            if not run["complete"]:
                break
            best = fps
        print(f"largest complete rate, channels {channels}: {best} frames/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
