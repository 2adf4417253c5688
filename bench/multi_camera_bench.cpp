// Many cameras into one process: 1, 2, 4 and 8 simulated cameras, each in a
// network namespace of its own behind its own veth link (as cameras on
// their own ports of the host), all streaming 1280 x 1024 clouds into the
// library at once. For each count: the highest aggregate rate at which every
// frame of every camera arrives complete, the receive threads' CPU seconds
// per gigabyte, and whether the total rate one camera holds alone is held
// when the cameras share it.
//
// Runs in a private network namespace (make bench does that); the camera
// namespaces and links vanish with it.
#include <unistd.h>

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
#include "vora_qelcamera_api.h"

namespace {

constexpr double kWindowSeconds = 1.5;
constexpr int kMaxCameras = 8;

bool sh(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Camera k lives in namespace vcam<k>, reached through veth vh<k>
// (10.77.k.1 here, 10.77.k.2 there), MTU 9000.
std::unique_ptr<vsim::SimCamera> camera_in_namespace(int k)
{
    const std::string ns = "vcam" + std::to_string(k), host = "vh" + std::to_string(k), cam = "vc" + std::to_string(k),
                      net = "10.77." + std::to_string(k);
    bool ok = sh("ip netns add " + ns) && sh("ip link add " + host + " type veth peer name " + cam) &&
              sh("ip link set " + cam + " netns " + ns) && sh("ip link set " + host + " mtu 9000 up") &&
              sh("ip addr add " + net + ".1/24 dev " + host) && sh("ip netns exec " + ns + " ip link set lo up") &&
              sh("ip netns exec " + ns + " ip link set " + cam + " mtu 9000 up") &&
              sh("ip netns exec " + ns + " ip addr add " + net + ".2/24 dev " + cam);
    if (!ok) {
        std::fprintf(stderr, "multi_camera_bench: cannot build the network of camera %d (root, in netns-run?)\n", k);
        std::exit(1);
    }
    vsim::SimConfig config;
    config.ip = (10u << 24) | (77u << 16) | (static_cast<uint32_t>(k) << 8) | 2u;
    config.mask = 0xFFFFFF00;
    config.serial = "SIMMC" + std::to_string(k);
    config.mac[5] = static_cast<uint8_t>(0x40 + k);
    config.resend_history = 32;
    config.ftp = false;
    std::unique_ptr<vsim::SimCamera> sim = bench::start_camera_in(ns, config);
    if (!sim) {
        std::fprintf(stderr, "multi_camera_bench: camera %d did not start in %s\n", k, ns.c_str());
        std::exit(1);
    }
    return sim;
}

// Every camera discovered, connected, channel 0 open, one capturing thread each.
class Session {
public:
    explicit Session(std::vector<vsim::SimCamera*> cameras) : cameras_(std::move(cameras))
    {
        const int n = static_cast<int>(cameras_.size());
        if (DiscoverCamera() != n) {
            std::fprintf(stderr, "multi_camera_bench: %d cameras expected\n", n);
            std::exit(1);
        }
        CameraSort(SORT_BY_SERIAL_NUMBER);
        CreateCamera();
        for (int i = 0; i < n; ++i) {
            if (CameraConnect(i) != 0 || StreamOn(i, 0) != 0) {
                std::fprintf(stderr, "multi_camera_bench: cannot open camera %d\n", i);
                std::exit(1);
            }
            SetMaxBufferLength(i, 0, 8);
        }
        payload_ = cameras_[0]->read_reg(vsim::CHANNEL_BASE + vsim::CH_PAYLOAD_SIZE);
        for (int i = 0; i < n; ++i)
            consumers_.emplace_back([this, i] { consume(i); });
    }
    ~Session()
    {
        stop_ = true;
        for (auto& t : consumers_)
            t.join();
        DestroyCamera();
    }
    // A window with every camera at `rate`; its figures are the sums.
    bench::Window window(double rate)
    {
        const int n = static_cast<int>(cameras_.size());
        std::vector<std::vector<unsigned>> b0(n);
        std::vector<uint64_t> f0(n);
        for (int i = 0; i < n; ++i) {
            b0[i] = blocks(i);
            f0[i] = cameras_[i]->frames_sent(0);
            cameras_[i]->frame_rate = rate;
        }
        const double c0 = bench::receive_thread_cpu();
        for (auto* c : cameras_)
            c->write_reg(vsim::REG_ACQUISITION_STATUS, 1);
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        for (auto* c : cameras_)
            c->write_reg(vsim::REG_ACQUISITION_STATUS, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        bench::Window w;
        w.rate = rate * n;
        w.lossless = true;
        for (int i = 0; i < n; ++i) {
            const auto b1 = blocks(i);
            const uint64_t sent = cameras_[i]->frames_sent(0) - f0[i];
            const unsigned complete = b1[0] - b0[i][0];
            w.sent += sent;
            w.complete += complete;
            w.lossless = w.lossless && sent > 0 && complete == sent && b1[1] == b0[i][1] && b1[3] == b0[i][3];
        }
        w.fps = w.sent / kWindowSeconds;
        w.cpu_per_gb = w.complete ? (bench::receive_thread_cpu() - c0) / (w.complete * double(payload_) / 1e9) : 0;
        return w;
    }

private:
    static std::vector<unsigned> blocks(int index) { return bench::block_counters(index, 0); }
    void consume(int index)
    {
        std::vector<char> pixels(payload_);
        PhotoInfo frame{};
        frame.pixel = pixels.data();
        while (!stop_)
            TimeoutCapture(index, 0, &frame, 100000);
    }

    std::vector<vsim::SimCamera*> cameras_;
    uint32_t payload_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> consumers_;
};

}  // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it comes
    std::printf("many cameras: 1280 x 1024 Coord3D_ABC16 clouds (%.1f MB), each camera behind its own veth link, "
                "packet size 9000\n",
                bench::kFrameMB);
    std::vector<std::unique_ptr<vsim::SimCamera>> all;
    for (int k = 0; k < kMaxCameras; ++k)
        all.push_back(camera_in_namespace(k));

    std::printf("  %8s %14s %10s %14s %12s %26s\n", "cameras", "lossless fps", "MB/s", "CPU s per GB", "vs one",
                "one camera's rate, shared");
    double one_rate = 0, one_cpu = 0;
    for (int n : {1, 2, 4, 8}) {
        std::vector<vsim::SimCamera*> cameras;
        for (int k = 0; k < n; ++k)
            cameras.push_back(all[static_cast<size_t>(k)].get());
        // The cameras not in this round stay out of discovery.
        for (int k = n; k < kMaxCameras; ++k)
            sh("ip link set vh" + std::to_string(k) + " down");
        for (int k = 0; k < n; ++k)
            sh("ip link set vh" + std::to_string(k) + " up");
        Session session(cameras);
        // Per-camera rates climb the ladder; the figures are totals.
        const double per_camera = bench::highest_lossless([&](double r) { return session.window(r / n); }, 1e9) / n;
        const double total = per_camera * n;
        const double cpu = bench::least_cpu([&] { return session.window(std::max(1.0, per_camera)); });
        if (n == 1) {
            one_rate = total;
            one_cpu = cpu;
        }
        const bool shared = n == 1 || bench::holds([&](double r) { return session.window(r / n); }, one_rate);
        std::printf("  %8d %14.0f %10.0f %14.3f %12.2f %26s\n", n, total, total * bench::kFrameMB, cpu,
                    one_cpu > 0 ? cpu / one_cpu : 0.0, shared ? "held" : "frames lost");
    }
    std::printf("  aims: CPU per GB within 10 %% of one camera's; one camera's total rate held when shared\n");
    return 0;
}
