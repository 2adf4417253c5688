// Many cameras into one process: 1, 2, 4 and 8 simulated cameras, each in a
// network namespace of its own behind its own veth link (as cameras on
// their own ports of the host), all streaming 1280 x 1024 clouds into the
// library at once. For each count: the highest aggregate rate at which every
// frame of every camera arrives complete, the receive threads' CPU seconds
// per gigabyte, and whether the total rate one camera holds alone is held
// when the cameras share it. Then four cameras at once over links plain or
// coalescing datagrams into GRO trains, the cameras sending trains (UDP GSO)
// or datagram by datagram: the library beside bare recvmmsg loops and bare
// UDP_GRO loops, one per camera, with how the library's datagrams arrived.
//
// Runs in a private network namespace (make bench does that); the camera
// namespaces and links vanish with it.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

using bench::sh;

// Camera k lives in namespace vcam<k>, reached through veth vh<k>
// (10.77.k.1 here, 10.77.k.2 there), MTU 9000.
void build_link(int k)
{
    const std::string n = std::to_string(k);
    if (!bench::veth_link("vcam" + n, "vh" + n, "vc" + n, "10.77." + n, 9000, false)) {
        std::fprintf(stderr, "multi_camera_bench: cannot build the network of camera %d (root, in netns-run?)\n", k);
        std::exit(1);
    }
}

// Camera k started in its namespace, sending trains (UDP GSO) or datagram by
// datagram; null when this simulator cannot send trains.
std::unique_ptr<vsim::SimCamera> camera_in_namespace(int k, bool trains = false)
{
    vsim::SimConfig config;
    config.ip = (10u << 24) | (77u << 16) | (static_cast<uint32_t>(k) << 8) | 2u;
    config.mask = 0xFFFFFF00;
    config.serial = "SIMMC" + std::to_string(k);
    config.mac[5] = static_cast<uint8_t>(0x40 + k);
    config.resend_history = 32;
    config.ftp = false;
    if (!bench::set_send_trains(config, trains))
        return nullptr;
    const std::string ns = "vcam" + std::to_string(k);
    std::unique_ptr<vsim::SimCamera> sim = bench::start_camera_in(ns, config);
    if (!sim) {
        std::fprintf(stderr, "multi_camera_bench: camera %d did not start in %s\n", k, ns.c_str());
        std::exit(1);
    }
    return sim;
}

// Only the links of cameras 0..n-1 up, so that only those are discovered.
void links_up(int n)
{
    for (int k = n; k < kMaxCameras; ++k)
        sh("ip link set vh" + std::to_string(k) + " down");
    for (int k = 0; k < n; ++k)
        sh("ip link set vh" + std::to_string(k) + " up");
}

// Every camera discovered, connected, channel 0 open, one capturing thread each.
class Session {
public:
    explicit Session(std::vector<vsim::SimCamera*> cameras) : cameras_(std::move(cameras))
    {
        const int n = static_cast<int>(cameras_.size());
        // A link just brought up may not carry the first broadcast yet.
        int found = 0;
        for (int attempt = 0; attempt < 10 && (found = DiscoverCamera()) != n; ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (found != n) {
            std::fprintf(stderr, "multi_camera_bench: %d cameras expected, %d found\n", n, found);
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
        std::vector<VoraReceivePathStatistics> r0(n);
        for (int i = 0; i < n; ++i)
            r0[i] = bench::receive_path(i, 0);
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
        path_ = VoraReceivePathStatistics{};
        for (int i = 0; i < n; ++i) {
            const VoraReceivePathStatistics d =
                bench::receive_path_delta(r0[i], bench::receive_path(i, 0, &path_available_));
            path_.gro |= d.gro;
            path_.calls += d.calls;
            path_.datagrams += d.datagrams;
            path_.trains += d.trains;
            path_.train_datagrams += d.train_datagrams;
            path_.irregular_trains += d.irregular_trains;
            path_.landed += d.landed;
            path_.frames_gro += d.frames_gro;
            path_.frames_datagram += d.frames_datagram;
        }
        w.cpu_per_gb = w.complete ? (bench::receive_thread_cpu() - c0) / (w.complete * double(payload_) / 1e9) : 0;
        return w;
    }

    // How the last window's datagrams arrived, summed over the cameras.
    const VoraReceivePathStatistics& last_path() const { return path_; }
    bool path_available() const { return path_available_; }

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
    VoraReceivePathStatistics path_{};
    bool path_available_ = false;
};

// One bare loop per camera (recvmmsg or UDP_GRO), measured over windows in
// which every camera streams at once; the figures are the sums.
class BareLoops {
public:
    BareLoops(const std::vector<vsim::SimCamera*>& cameras, bench::BareReceiver::Mode mode) : cameras_(cameras)
    {
        for (size_t k = 0; k < cameras_.size(); ++k)
            loops_.push_back(std::make_unique<bench::BareReceiver>(
                *cameras_[k], (10u << 24) | (77u << 16) | (static_cast<uint32_t>(k) << 8) | 1u, 9000, mode));
    }
    bench::Window window(double rate)
    {
        std::vector<uint64_t> f0;
        for (size_t k = 0; k < cameras_.size(); ++k) {
            loops_[k]->mark();
            f0.push_back(cameras_[k]->frames_sent(0));
            cameras_[k]->frame_rate = rate;
        }
        for (auto* c : cameras_)
            c->write_reg(vsim::REG_ACQUISITION_STATUS, 1);
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        for (auto* c : cameras_)
            c->write_reg(vsim::REG_ACQUISITION_STATUS, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        bench::Window w;
        w.rate = rate * cameras_.size();
        w.lossless = true;
        double cpu = 0, bytes = 0;
        for (size_t k = 0; k < cameras_.size(); ++k) {
            const bench::Window one = loops_[k]->since_mark(rate, cameras_[k]->frames_sent(0) - f0[k], kWindowSeconds);
            w.lossless = w.lossless && one.lossless;
            w.sent += one.sent;
            w.complete += one.complete;
            cpu += loops_[k]->cpu_since_mark();
            bytes += double(loops_[k]->bytes_since_mark());
        }
        w.fps = w.sent / kWindowSeconds;
        w.cpu_per_gb = bytes > 0 ? cpu / (bytes / 1e9) : 0;
        return w;
    }

private:
    std::vector<vsim::SimCamera*> cameras_;
    std::vector<std::unique_ptr<bench::BareReceiver>> loops_;
};

double ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

// kGroCameras cameras at once over links plain or coalescing, the cameras
// sending datagrams or trains: the bare recvmmsg loops, the bare GRO loops
// and the library, each the highest lossless total rate and CPU per GB at a
// total rate all three sustain.
// `from`: a total rate to start the bare recvmmsg loops' climb at; returns
// the total rate they held.
constexpr int kGroCameras = 4;
double gro_run(bool coalescing, bool trains, double from)
{
    std::printf("\n%d cameras, links %s, cameras send %s\n", kGroCameras, coalescing ? "coalescing (GRO)" : "plain",
                trains ? "gso" : "datagram");
    bool set = true;
    for (int k = 0; k < kGroCameras; ++k) {
        const std::string dev = "vh" + std::to_string(k);
        if (coalescing)
            set = bench::coalescing_setup(dev) && set;
        else
            bench::plain_setup(dev);
    }
    if (!set)
        std::printf("  the coalescing setup failed (ethtool missing?): the links stay plain\n");
    links_up(kGroCameras);
    std::vector<std::unique_ptr<vsim::SimCamera>> owned;
    std::vector<vsim::SimCamera*> cameras;
    for (int k = 0; k < kGroCameras; ++k) {
        owned.push_back(camera_in_namespace(k, trains));
        if (!owned.back()) {
            std::printf("  skipped: this simulator sends datagram by datagram only\n");
            return from;
        }
        cameras.push_back(owned.back().get());
    }
    const int n = kGroCameras;
    using Bare = bench::BareReceiver;
    auto per_camera = [n](auto& receiver, double start) {
        return bench::highest_lossless([&](double r) { return receiver.window(r / n); }, 1e9, nullptr, start) / n;
    };
    double mmsg = 0, gro = 0, lib = 0;
    {
        BareLoops loops(cameras, Bare::Mmsg);
        mmsg = per_camera(loops, from);
    }
    {
        BareLoops loops(cameras, Bare::Gro);
        gro = per_camera(loops, mmsg * n / 2);
    }
    {
        Session session(cameras);
        lib = per_camera(session, std::min(mmsg, gro) * n / 2);
    }
    const double common = std::max(1.0, std::min({mmsg, gro, lib}));
    double mmsg_cpu = 0, gro_cpu = 0, lib_cpu = 0;
    VoraReceivePathStatistics path{};
    bool path_available = false;
    {
        BareLoops loops(cameras, Bare::Mmsg);
        mmsg_cpu = bench::least_cpu([&] { return loops.window(common); });
    }
    {
        BareLoops loops(cameras, Bare::Gro);
        gro_cpu = bench::least_cpu([&] { return loops.window(common); });
    }
    {
        Session session(cameras);
        lib_cpu = bench::least_cpu([&] { return session.window(common); });
        path = session.last_path();
        path_available = session.path_available();
    }
    std::printf("  %-22s %14s %10s %14s\n", "receivers", "lossless fps", "MB/s", "CPU s per GB");
    std::printf("  %-22s %14.0f %10.0f %14.3f\n", "bare recvmmsg loops", mmsg * n, mmsg * n * bench::kFrameMB,
                mmsg_cpu);
    std::printf("  %-22s %14.0f %10.0f %14.3f\n", "bare GRO loops", gro * n, gro * n * bench::kFrameMB, gro_cpu);
    std::printf("  %-22s %14.0f %10.0f %14.3f\n", "libVoraSDK", lib * n, lib * n * bench::kFrameMB, lib_cpu);
    std::printf("  library vs bare recvmmsg loops: lossless throughput %.2f, CPU per GB %.2f (at %.0f fps in all)\n",
                ratio(lib, mmsg), ratio(lib_cpu, mmsg_cpu), common * n);
    std::printf("  library vs bare GRO loops:      lossless throughput %.2f, CPU per GB %.2f\n", ratio(lib, gro),
                ratio(lib_cpu, gro_cpu));
    if (coalescing && set)
        std::printf("  aim over GRO links at 9000: CPU per GB <= 0.7 x the bare recvmmsg loops' (%s)\n",
                    lib_cpu > 0 && ratio(lib_cpu, mmsg_cpu) <= 0.7 ? "met" : "not met");
    bench::print_receive_path("  library's last window, ", path, path_available);
    return mmsg * n;
}

// 1, 2, 4 and 8 cameras at once over plain links, sending datagram by datagram.
void counts()
{
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
        links_up(n);
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
}
}  // namespace

// Parts to run as arguments (counts: 1 to 8 cameras; gro: the GRO runs);
// both without any.
int main(int argc, char** argv)
{
    auto wanted = [&](const char* part) { return bench::wanted(argc, argv, part); };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it comes
    std::printf("many cameras: 1280 x 1024 Coord3D_ABC16 clouds (%.1f MB), each camera behind its own veth link, "
                "packet size 9000\n",
                bench::kFrameMB);
    for (int k = 0; k < kMaxCameras; ++k)
        build_link(k);
    if (wanted("counts"))
        counts();
    if (wanted("gro")) {
        std::printf("\nGRO: links coalescing datagrams into trains (GRO on, rx-udp-gro-forwarding on, "
                    "gro_flush_timeout 50 us, napi_defer_hard_irqs 2 on the host end) or plain, beside bare loops per "
                    "camera\n");
        // The first run climbs from the bottom, the others from half the
        // total rate the bare recvmmsg loops held in it.
        double first = 0;
        for (bool coalescing : {false, true})
            for (bool trains : {false, true}) {
                const double got = gro_run(coalescing, trains, first / 2);
                if (first == 0)
                    first = got;
            }
    }
    return 0;
}
