// Stream benchmark: how fast the library receives point clouds, against a
// bare recvmmsg loop that receives the same datagrams and does nothing else.
//
// Runs in a private network namespace (make bench does that): a simulated
// camera streams 1280 x 1024 clouds (7.9 MB) through loopback at rising frame
// rates, with packet sizes 1500 and 9000. For each receiver it reports the
// highest rate at which every frame arrives complete, and the receiving
// thread's CPU seconds per gigabyte; then the share of frames completed
// through resend with 1 % random loss at half the library's lossless rate.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim_camera.h"
#include "sim_description.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
const double kRates[] = {10, 20, 30, 45, 60, 80, 100, 130, 160, 200, 250, 300};
constexpr double kWindowSeconds = 1.5;

struct Result {
    double lossless_fps = 0;  // highest rate with every frame complete
    double cpu_per_gb = 0;    // receive-thread CPU seconds per GB at the common rate
};

// CPU seconds of the library's receive thread of channel 0, found by name.
double receive_thread_cpu()
{
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return 0;
    double cpu = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(base + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name != "vora-rx0")
            continue;
        std::ifstream stat(base + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        std::vector<std::string> fields;
        size_t pos = close + 2;
        while (pos < text.size()) {
            size_t next = text.find(' ', pos);
            fields.push_back(text.substr(pos, next - pos));
            if (next == std::string::npos)
                break;
            pos = next + 1;
        }
        if (fields.size() > 13)
            cpu = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / sysconf(_SC_CLK_TCK);
    }
    closedir(dir);
    return cpu;
}

std::unique_ptr<vsim::SimCamera> make_camera(uint32_t packet_size)
{
    vsim::SimConfig config;
    config.max_packet_size = packet_size;
    config.resend_history = 16;
    auto sim = std::make_unique<vsim::SimCamera>(config);
    if (sim->start() != 0) {
        std::fprintf(stderr, "stream_bench: cannot start the simulated camera (run it through tests/netns-run)\n");
        std::exit(1);
    }
    return sim;
}

uint32_t packets_per_frame(uint32_t payload, uint32_t packet_size)
{
    const uint32_t chunk = packet_size - 36;
    return (payload + chunk - 1) / chunk + 2;
}

// The baseline: datagrams received and counted, nothing else.
Result bare_loop(uint32_t packet_size, double common_rate)
{
    auto sim = make_camera(packet_size);
    const uint32_t payload = sim->read_reg(vsim::CHANNEL_BASE + vsim::CH_PAYLOAD_SIZE);
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 64 << 20;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len);
    timeval tv{0, 100000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> packets{0}, bytes{0};
    std::atomic<double> cpu{0};
    std::thread receiver([&] {
        constexpr int kBatch = 32;
        std::vector<char> area(kBatch * 65536);
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        while (!stop) {
            for (int i = 0; i < kBatch; ++i) {
                iov[i] = {area.data() + i * 65536, 65536};
                std::memset(&msgs[i], 0, sizeof msgs[i]);
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(sock, msgs, kBatch, MSG_WAITFORONE, nullptr);
            for (int i = 0; i < n; ++i)
                bytes += msgs[i].msg_len;
            if (n > 0)
                packets += static_cast<uint64_t>(n);
            timespec ts;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
            cpu = ts.tv_sec + ts.tv_nsec / 1e9;
        }
    });

    sim->write_reg(Stream_Channel_0_Destination_Address_Reg, kLoopback);
    sim->write_reg(Stream_Channel_0_Port_Reg, ntohs(a.sin_port));
    sim->write_reg(Stream_Channel_Packet_Size_Reg, packet_size);
    Result r;
    for (double rate : kRates) {
        sim->frame_rate = rate;
        const uint64_t p0 = packets, f0 = sim->frames_sent(0);
        const uint64_t b0 = bytes;
        const double c0 = cpu;
        sim->write_reg(vsim::REG_ACQUISITION_STATUS, 1);
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        sim->write_reg(vsim::REG_ACQUISITION_STATUS, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const uint64_t frames = sim->frames_sent(0) - f0;
        const uint64_t expected = frames * packets_per_frame(payload, packet_size);
        const bool lossless = packets - p0 == expected;
        const double achieved = frames / kWindowSeconds;
        if (lossless && achieved > rate * 0.9)
            r.lossless_fps = rate;
        if (rate == common_rate && bytes > b0)
            r.cpu_per_gb = (cpu - c0) / ((bytes - b0) / 1e9);
        if (!lossless || achieved < rate * 0.9)
            break;
    }
    stop = true;
    receiver.join();
    close(sock);
    return r;
}

struct LibraryRun {
    Result result;
    double resend_share = 0;  // frames completed, of frames sent, under 1 % loss
};

// The library: discovered, connected, channel 0 opened and captured through
// the exported interface.
Result library(uint32_t packet_size, double common_rate, double loss, double loss_rate_fps, double* share)
{
    auto sim = make_camera(packet_size);
    if (DiscoverCamera() != 1) {
        std::fprintf(stderr, "stream_bench: the simulated camera was not discovered\n");
        std::exit(1);
    }
    CreateCamera();
    if (CameraConnect(0) != 0 || StreamOn(0, 0) != 0) {
        std::fprintf(stderr, "stream_bench: cannot connect and open channel 0\n");
        std::exit(1);
    }
    SetMaxBufferLength(0, 0, 8);
    const uint32_t payload = sim->read_reg(vsim::CHANNEL_BASE + vsim::CH_PAYLOAD_SIZE);
    std::vector<char> pixels(payload);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> captured{0};
    std::thread consumer([&] {
        PhotoInfo frame{};
        frame.pixel = pixels.data();
        while (!stop)
            if (TimeoutCapture(0, 0, &frame, 100000) == 0)
                ++captured;
    });
    auto blocks = [] {
        unsigned b[8];
        GetBlockStatistics(0, 0, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
        return std::vector<unsigned>(b, b + 8);
    };

    Result r;
    std::vector<double> rates;
    if (loss > 0)
        rates.push_back(loss_rate_fps);
    else
        rates.assign(std::begin(kRates), std::end(kRates));
    sim->stream_faults.loss_rate = loss;
    for (double rate : rates) {
        sim->frame_rate = rate;
        const auto b0 = blocks();
        const uint64_t f0 = sim->frames_sent(0);
        const double c0 = receive_thread_cpu();
        AcquisitionStart(0);
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        AcquisitionStop(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const auto b1 = blocks();
        const uint64_t frames = sim->frames_sent(0) - f0;
        const unsigned complete = b1[0] - b0[0];
        const bool lossless = complete == frames && b1[1] == b0[1] && b1[3] == b0[3];
        const double achieved = frames / kWindowSeconds;
        if (loss > 0) {
            *share = frames ? static_cast<double>(complete) / frames : 0;
            break;
        }
        if (lossless && achieved > rate * 0.9)
            r.lossless_fps = rate;
        if (rate == common_rate)
            r.cpu_per_gb = (receive_thread_cpu() - c0) / (complete * double(payload) / 1e9);
        if (!lossless || achieved < rate * 0.9)
            break;
    }
    stop = true;
    consumer.join();
    DestroyCamera();
    return r;
}

}  // namespace

int main()
{
    std::printf("stream benchmark: 1280 x 1024 Coord3D_ABC16 clouds (7.9 MB) over loopback\n");
    double lib9000 = 0;
    for (uint32_t size : {1500u, 9000u}) {
        std::system(("ip link set lo mtu " + std::to_string(size) + " 2>/dev/null").c_str());
        // First find the limits, then measure CPU at the rate both sustain.
        Result bare = bare_loop(size, 0);
        Result lib = library(size, 0, 0, 0, nullptr);
        const double common = std::min(bare.lossless_fps, lib.lossless_fps);
        const Result bare_cpu = bare_loop(size, common);
        const Result lib_cpu = library(size, common, 0, 0, nullptr);
        const double mb = 7.86432;
        std::printf("\npacket size %u\n", size);
        std::printf("  %-22s %10s %10s %14s\n", "receiver", "fps", "MB/s", "CPU s per GB");
        std::printf("  %-22s %10.0f %10.0f %14.3f\n", "bare recvmmsg loop", bare.lossless_fps, bare.lossless_fps * mb,
                    bare_cpu.cpu_per_gb);
        std::printf("  %-22s %10.0f %10.0f %14.3f\n", "libVoraSDK", lib.lossless_fps, lib.lossless_fps * mb,
                    lib_cpu.cpu_per_gb);
        std::printf("  ratios: throughput %.2f of the bare loop (aim >= 0.9), CPU per GB %.2f times (aim <= 1.6) at %.0f fps\n",
                    bare.lossless_fps > 0 ? lib.lossless_fps / bare.lossless_fps : 0,
                    bare_cpu.cpu_per_gb > 0 ? lib_cpu.cpu_per_gb / bare_cpu.cpu_per_gb : 0, common);
        if (size == 9000)
            lib9000 = lib.lossless_fps;
    }
    double share = 0;
    const double half = lib9000 / 2 > 5 ? lib9000 / 2 : 5;
    library(9000, -1, 0.01, half, &share);
    std::printf("\n1 %% random loss at %.0f fps, packet size 9000: %.2f %% of frames complete through resend (aim >= 99.9 %%)\n",
                half, share * 100);
    std::system("ip link set lo mtu 65536 2>/dev/null");
    return 0;
}
