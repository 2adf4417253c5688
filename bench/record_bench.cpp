// Recording beside live capture, in the same run: one channel of 1280 x 1024
// Coord3D_ABC16 clouds over loopback (packet size 9000), captured by a thread
// of the benchmark, first alone, then while the library records it into an
// MCAP file in each way it can (raw frames only or with the ROS clouds,
// plain or zstd). Figures: frames recorded per second, frames lost or
// dropped, and the CPU seconds per GB of stream data of the library's
// threads and the capturing one, against live capture alone.
#include <pthread.h>
#include <sys/stat.h>
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
#include "sim_camera.h"
#include "sim_description.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr double kWindowSeconds = 2.0;

struct Mode {
    const char* name;
    bool record;
    unsigned options;
};

struct Result {
    bench::Window w;
    double receive_cpu_per_gb = 0;  // the receive thread's alone
    unsigned long long recorded = 0, dropped = 0, bytes = 0;
};

class Bench {
public:
    Bench()
    {
        vsim::SimConfig config;
        config.max_packet_size = 9000;
        config.resend_history = 32;
        sim_ = std::make_unique<vsim::SimCamera>(config);
        if (sim_->start() != 0 || DiscoverCamera() != 1) {
            std::fprintf(stderr, "record_bench: no simulated camera (run it through tests/netns-run)\n");
            std::exit(1);
        }
        CreateCamera();
        if (CameraConnect(0) != 0 || StreamOn(0, 0) != 0) {
            std::fprintf(stderr, "record_bench: cannot connect and open channel 0\n");
            std::exit(1);
        }
        SetMaxBufferLength(0, 0, 8);
        payload_ = sim_->read_reg(vsim::CHANNEL_BASE + vsim::CH_PAYLOAD_SIZE);
        consumer_ = std::thread([this] { consume(); });
    }
    ~Bench()
    {
        stop_ = true;
        consumer_.join();
        DestroyCamera();
    }

    Result window(double rate, const Mode& mode)
    {
        Result r;
        const std::string path = "record_bench_" + std::to_string(getpid()) + ".mcap";
        if (mode.record && StartRecording(0, 1, path.c_str(), mode.options) != 0) {
            std::fprintf(stderr, "record_bench: cannot record to %s\n", path.c_str());
            std::exit(1);
        }
        const auto b0 = blocks();
        const double c0 = bench::threads_cpu("vora-"), rx0 = bench::threads_cpu("vora-rx");
        sim_->frame_rate = rate;
        const uint64_t f0 = sim_->frames_sent(0);
        sim_->write_reg(vsim::REG_ACQUISITION_STATUS, 1);
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        sim_->write_reg(vsim::REG_ACQUISITION_STATUS, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));  // stragglers
        const uint64_t frames = sim_->frames_sent(0) - f0;
        const auto b1 = blocks();
        const unsigned complete = b1[0] - b0[0];
        if (mode.record) {
            // The recorder's backlog is part of its cost: measured once written.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (std::chrono::steady_clock::now() < deadline) {
                GetRecordingStatistics(0, &r.recorded, &r.dropped, &r.bytes);
                if (r.recorded + r.dropped >= complete)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        const double cpu = bench::threads_cpu("vora-") - c0, rx = bench::threads_cpu("vora-rx") - rx0;
        if (mode.record) {
            StopRecording(0);
            GetRecordingStatistics(0, &r.recorded, &r.dropped, &r.bytes);
            std::remove(path.c_str());
        }
        r.w.rate = rate;
        r.w.fps = frames / kWindowSeconds;
        r.w.sent = frames;
        r.w.complete = complete;
        r.w.lossless = frames > 0 && complete == frames && b1[1] == b0[1] && b1[3] == b0[3] &&
                       (!mode.record || (r.dropped == 0 && r.recorded == complete));
        r.w.cpu_per_gb = complete ? cpu / (complete * double(payload_) / 1e9) : 0;
        r.receive_cpu_per_gb = complete ? rx / (complete * double(payload_) / 1e9) : 0;
        return r;
    }

private:
    static std::vector<unsigned> blocks() { return bench::block_counters(0, 0); }
    void consume()
    {
        pthread_setname_np(pthread_self(), "vora-capture");
        std::vector<char> pixels(payload_);
        PhotoInfo frame{};
        frame.pixel = pixels.data();
        while (!stop_)
            TimeoutCapture(0, 0, &frame, 100000);
    }

    std::unique_ptr<vsim::SimCamera> sim_;
    uint32_t payload_ = 0;
    std::atomic<bool> stop_{false};
    std::thread consumer_;
};

}  // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::system("ip link set lo mtu 9000 2>/dev/null");
    std::printf("record benchmark: 1280 x 1024 Coord3D_ABC16 clouds (%.1f MB), packet size 9000, files in %s\n",
                bench::kFrameMB, get_current_dir_name());
    Bench b;
    const Mode live{"live capture alone", false, 0};
    // The highest rate live capture holds without losing a frame (up to 60 fps).
    double failed = 0;
    const double rate = bench::highest_lossless([&](double r) { return b.window(r, live).w; }, 60, &failed);
    std::printf("live capture holds %.0f fps lossless%s\n", rate,
                failed > 0 ? (" (lost frames at " + std::to_string(int(failed)) + " fps)").c_str() : " (the limit tried)");
    const Mode modes[] = {
        live,
        {"record raw frames", true, VORA_RECORD_RAW_ONLY},
        {"record raw + ROS clouds", true, 0},
        {"record raw, zstd", true, VORA_RECORD_RAW_ONLY | VORA_RECORD_ZSTD},
        {"record raw + ROS, zstd", true, VORA_RECORD_ZSTD},
    };
    // At the highest rate live capture holds, and at half of it.
    for (const double at : {rate, std::max(5.0, rate / 2)}) {
        std::printf("\nat %.0f fps (best of three windows of %.0f s each):\n", at, kWindowSeconds);
        std::printf("  %-26s %10s %10s %9s %12s %14s %12s %16s\n", "mode", "sent fps", "recorded/s", "dropped",
                    "file MB/s", "CPU s per GB", "vs live", "receive thread");
        double live_cpu = 0, live_rx = 0;
        for (const Mode& m : modes) {
            Result best;
            bool lossless_all = true;
            for (int i = 0; i < 3; ++i) {
                const Result r = b.window(at, m);
                lossless_all = lossless_all && r.w.lossless;
                if (r.w.cpu_per_gb > 0 && (best.w.cpu_per_gb == 0 || r.w.cpu_per_gb < best.w.cpu_per_gb))
                    best = r;
            }
            if (!m.record) {
                live_cpu = best.w.cpu_per_gb;
                live_rx = best.receive_cpu_per_gb;
            }
            std::printf("  %-26s %10.1f %10.1f %9llu %12.0f %14.3f %+11.0f%% %+15.0f%%%s\n", m.name, best.w.fps,
                        best.recorded / kWindowSeconds, best.dropped, best.bytes / 1e6 / kWindowSeconds,
                        best.w.cpu_per_gb, live_cpu > 0 ? 100.0 * (best.w.cpu_per_gb / live_cpu - 1) : 0.0,
                        live_rx > 0 ? 100.0 * (best.receive_cpu_per_gb / live_rx - 1) : 0.0,
                        lossless_all ? "" : "  (a window lost or dropped frames)");
        }
    }
    std::printf("\nvs live: all the library's threads and the capturing one (the recorder's writing included); "
                "receive thread: the receive thread alone, against live capture\n");
    std::printf("aim: recording raw frames adds <= 20 %% CPU per GB uncompressed, and no window loses or drops a frame\n");
    std::system("ip link set lo mtu 65536 2>/dev/null");
    return 0;
}
