// Cameras as one instrument: 4 and 8 simulated cameras, each in a network
// namespace of its own behind its own veth link, all on one bridge with the
// host (one switch). One broadcast action command per set triggers them;
// frame sets put their 1280 x 1024 clouds back together. For each count,
// with PTP on (sets matched on camera time) and off (matched on host time
// through each camera's clock mapping): sets per second at 10 actions per
// second and as fast as sets complete, the worst and 99th-percentile
// spread inside a set, the host's CPU per set, what the frame-set threads
// (their copies and the matcher) cost beside the receive threads, and the
// matcher alone, replaying the run's stamps.
//
// Runs in a private network namespace (make bench does that); the camera
// namespaces, links and bridge vanish with it.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "bench_sim.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sync/frame_set_matcher.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr int kMaxCameras = 8;
constexpr uint32_t kDeviceKey = 0x56524131;
constexpr double kPacedSeconds = 5;
constexpr double kFastSeconds = 3;

bool sh(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "sync_bench: %s\n", what.c_str());
    std::exit(1);
}

// Camera k lives in namespace vsyn<k> at 10.79.0.<20+k>, its veth vy<k>
// enslaved to the bridge vybr (10.79.0.1), MTU 9000 throughout.
std::unique_ptr<vsim::SimCamera> camera_in_namespace(int k)
{
    const std::string ns = "vsyn" + std::to_string(k), host = "vy" + std::to_string(k), cam = "vz" + std::to_string(k);
    const std::string ip = "10.79.0." + std::to_string(20 + k);
    if (!(sh("ip netns add " + ns) && sh("ip link add " + host + " type veth peer name " + cam) &&
          sh("ip link set " + cam + " netns " + ns) && sh("ip link set " + host + " mtu 9000 master vybr up") &&
          sh("ip netns exec " + ns + " ip link set lo up") &&
          sh("ip netns exec " + ns + " ip link set " + cam + " mtu 9000 up") &&
          sh("ip netns exec " + ns + " ip addr add " + ip + "/24 dev " + cam)))
        fail("cannot build the network of camera " + std::to_string(k) + " (root, in netns-run?)");
    vsim::SimConfig config;
    config.ip = (10u << 24) | (79u << 16) | static_cast<uint32_t>(20 + k);
    config.mask = 0xFFFFFF00;
    config.serial = "SIMSY" + std::to_string(k);
    config.mac[5] = static_cast<uint8_t>(0x60 + k);
    config.resend_history = 32;
    config.ftp = false;
    std::unique_ptr<vsim::SimCamera> sim = bench::start_camera_in(ns, config);
    if (!sim)
        fail("camera " + std::to_string(k) + " did not start in " + ns);
    return sim;
}

struct Figures {
    double sets_per_second = 0;
    unsigned long long complete = 0, incomplete = 0, actions = 0;
    double worst_us = 0, p99_us = 0;
    double cpu_ms_per_set = 0;  // the library's threads: receive and frame sets
    double set_share = 0;       // frame-set threads' CPU (matcher and copies) over the receive threads'
    double matcher_share = 0;   // the matcher alone, replayed on the run's stamps, over the receive threads'
};

// CPU seconds the matcher alone spends on these sets (each a list of member
// stamps), replayed many times over so that the clock can see it.
double matcher_cpu_per_set(const std::vector<std::vector<int64_t>>& sets, size_t members)
{
    if (sets.empty())
        return 0;
    constexpr int kRounds = 200;
    const double start = bench::thread_cpu_seconds();
    size_t made = 0;
    for (int round = 0; round < kRounds; ++round) {
        framesync::FrameSetMatcher matcher(members, 1000000, 300000000);
        framesync::MatchedSet out;
        int64_t now = 0;
        for (const std::vector<int64_t>& set : sets) {
            now += 100000000;
            for (size_t m = 0; m < members; ++m)
                matcher.push(m, set[m], m, now);
            while (matcher.next(now, &out))
                ++made;
            matcher.take_released();
        }
    }
    const double cpu = bench::thread_cpu_seconds() - start;
    return made ? cpu / static_cast<double>(made) : 0;
}

// n cameras connected, triggered by Action1, channel 0 streaming, PTP as asked.
class Session {
public:
    Session(int n, bool ptp) : n_(n), ptp_(ptp)
    {
        if (DiscoverCamera() != n)
            fail(std::to_string(n) + " cameras expected");
        CameraSort(SORT_BY_SERIAL_NUMBER);
        CreateCamera();
        for (int i = 0; i < n; ++i) {
            indices_.push_back(i);
            if (CameraConnect(i) != 0 || SetActionDeviceKey(i, kDeviceKey) != 0 || SetActionGroup(i, 0, 1, 1) != 0 ||
                SetFeatureEnum(i, "TriggerMode", "On") != 0 || SetFeatureEnum(i, "TriggerSource", "Action1") != 0 ||
                SetTimestamp(i, ptp ? 1 : 0) != 0)
                fail("cannot set up camera " + std::to_string(i));
        }
        const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (int i = 0; ptp && i < n; ++i)
            while (GetTimestampStatus(i) != VORA_PTP_SLAVE)
                if (std::chrono::steady_clock::now() > settle)
                    fail("PTP did not settle");
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (int i = 0; i < n; ++i) {
            if (StreamOn(i, 0) != 0 || AcquisitionStart(i) != 0)
                fail("cannot stream from camera " + std::to_string(i));
            SetMaxBufferLength(i, 0, 8);
        }
        payload_ = 1280u * 1024u * 6u;
        pixels_.assign(static_cast<size_t>(n), std::vector<char>(payload_));
        frames_.assign(static_cast<size_t>(n), PhotoInfo{});
        for (int i = 0; i < n; ++i)
            frames_[static_cast<size_t>(i)].pixel = pixels_[static_cast<size_t>(i)].data();
        std::vector<VoraSetMember> members;
        for (int i = 0; i < n; ++i)
            members.push_back(VoraSetMember{i, 0});
        VoraFrameSetOptions options{1000000, 300000, ptp ? VORA_SET_TIME_CAMERA : VORA_SET_TIME_HOST};
        set_ = OpenFrameSet(members.data(), n, &options);
        if (set_ < 0)
            fail("cannot open a frame set");
    }
    ~Session()
    {
        CloseFrameSet(set_);
        for (int i = 0; i < n_; ++i) {
            AcquisitionStop(i);
            StreamOff(i, 0);
        }
        DestroyCamera();
    }

    // Actions at `rate` per second (0: the next as soon as a set is out)
    // for `seconds`; every set taken.
    Figures run(double rate, double seconds)
    {
        Figures f;
        std::vector<double> spreads;
        std::vector<std::vector<int64_t>> stamps;  // of the complete sets
        VoraAction go{kDeviceKey, 1, 1, 0, 0};
        std::vector<VoraActionAck> acks(static_cast<size_t>(n_));
        std::vector<VoraSetFrameInfo> each(static_cast<size_t>(n_));
        VoraFrameSetStatistics s0{}, s1{};
        GetFrameSetStatistics(set_, &s0);
        const double rx0 = bench::receive_thread_cpu(), set0 = bench::threads_cpu("vora-set");
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        auto due = start;
        while (std::chrono::steady_clock::now() < end) {
            if (rate > 0) {
                std::this_thread::sleep_until(due);
                due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(1.0 / rate));
            }
            SendActionToCameras(indices_.data(), n_, &go, 0, acks.data());
            ++f.actions;
            VoraFrameSetInfo info{};
            if (NextFrameSet(set_, frames_.data(), each.data(), &info, 2000000) == 0 && info.complete) {
                spreads.push_back(info.spread_ns / 1000.0);
                stamps.emplace_back();
                for (const VoraSetFrameInfo& member : each)
                    stamps.back().push_back(member.time_ns);
            }
        }
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // The last sets still on their way.
        VoraFrameSetInfo info{};
        while (NextFrameSet(set_, frames_.data(), each.data(), &info, 300000) == 0)
            if (info.complete)
                spreads.push_back(info.spread_ns / 1000.0);
        GetFrameSetStatistics(set_, &s1);
        f.complete = s1.complete - s0.complete;
        f.incomplete = s1.incomplete - s0.incomplete;
        f.sets_per_second = f.complete / elapsed;
        std::sort(spreads.begin(), spreads.end());
        if (!spreads.empty()) {
            f.worst_us = spreads.back();
            f.p99_us = spreads[static_cast<size_t>(0.99 * (spreads.size() - 1))];
        }
        const double rx = bench::receive_thread_cpu() - rx0, set = bench::threads_cpu("vora-set") - set0;
        f.cpu_ms_per_set = f.complete ? (rx + set) * 1000 / f.complete : 0;
        f.set_share = rx > 0 ? set / rx : 0;
        const double rx_per_set = f.complete ? rx / f.complete : 0;
        f.matcher_share = rx_per_set > 0 ? matcher_cpu_per_set(stamps, static_cast<size_t>(n_)) / rx_per_set : 0;
        return f;
    }

private:
    int n_;
    bool ptp_;
    std::vector<int> indices_;
    uint32_t payload_ = 0;
    std::vector<std::vector<char>> pixels_;
    std::vector<PhotoInfo> frames_;
    int set_ = -1;
};

}  // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!(sh("ip link add vybr type bridge") && sh("ip addr add 10.79.0.1/24 dev vybr") &&
          sh("ip link set vybr mtu 9000 up")))
        fail("cannot build the bridge (root, in netns-run?)");
    std::vector<std::unique_ptr<vsim::SimCamera>> all;
    for (int k = 0; k < kMaxCameras; ++k)
        all.push_back(camera_in_namespace(k));

    std::printf("synchronised capture: 1280 x 1024 Coord3D_ABC16 clouds (%.1f MB) per camera, one broadcast action "
                "per set, cameras on one bridge, packet size 9000\n",
                bench::kFrameMB);
    std::printf("  %7s %4s %14s %12s %10s %10s %14s %11s %16s %16s\n", "cameras", "PTP", "sets/s at 10/s", "complete",
                "worst us", "p99 us", "fastest sets/s", "CPU ms/set", "set threads/rx", "matcher/rx");
    for (int n : {4, 8}) {
        for (int k = 0; k < kMaxCameras; ++k)
            sh("ip link set vy" + std::to_string(k) + (k < n ? " up" : " down"));
        for (bool ptp : {true, false}) {
            Session session(n, ptp);
            const Figures paced = session.run(10, kPacedSeconds);
            const Figures fast = session.run(0, kFastSeconds);
            std::printf("  %7d %4s %14.1f %5llu of %-4llu %10.0f %10.0f %14.1f %11.2f %15.1f%% %15.4f%%\n", n,
                        ptp ? "on" : "off", paced.sets_per_second, paced.complete, paced.actions, paced.worst_us,
                        paced.p99_us, fast.sets_per_second, paced.cpu_ms_per_set, 100 * paced.set_share,
                        100 * paced.matcher_share);
        }
    }
    std::printf("  aims: every action a complete set at 10 sets/s with four cameras; the matcher under 1 %% of the "
                "receive CPU\n");
    return 0;
}
