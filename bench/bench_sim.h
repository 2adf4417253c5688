// Simulated cameras in network namespaces of their own, for the benchmarks
// that put each camera behind its own link.
#ifndef VORA_BENCH_SIM_H
#define VORA_BENCH_SIM_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench_common.h"
#include "gvsp_codec.h"
#include "sim_camera.h"
#include "sim_description.h"

#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace bench {

// Starts a camera in the named namespace (/run/netns/<ns>); null when the
// namespace cannot be entered or the camera does not start. Its sockets
// and threads belong to the namespace of the thread that starts it, so a
// thread of its own enters the namespace and starts it.
inline std::unique_ptr<vsim::SimCamera> start_camera_in(const std::string& ns, const vsim::SimConfig& config)
{
    std::unique_ptr<vsim::SimCamera> sim;
    std::thread starter([&] {
        const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        const bool entered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (!entered)
            return;
        auto camera = std::make_unique<vsim::SimCamera>(config);
        if (camera->start() == 0)
            sim = std::move(camera);
    });
    starter.join();
    return sim;
}

// Runs a shell command quietly; true when it succeeded.
inline bool sh(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Writes a sysfs value and reads it back; true when it took.
inline bool write_setting(const std::string& path, const std::string& value)
{
    {
        std::ofstream out(path);
        out << value << '\n';
        if (!out.flush())
            return false;
    }
    std::ifstream in(path);
    std::string back;
    std::getline(in, back);
    return back == value;
}

// What makes a veth link hand a UDP_GRO socket trains of datagrams that the
// camera sent one by one, on the receiving end `dev`: GRO on (veth then
// receives through NAPI), the UDP flow accepted for GRO although the sending
// end offers segmentation offload (rx-udp-gro-forwarding; without it veth
// bypasses NAPI for such packets), and the GRO list kept across NAPI polls
// for up to 50 us (gro_flush_timeout, napi_defer_hard_irqs) instead of being
// flushed after each datagram's poll. The sysfs knobs are written through a
// sysfs of this network namespace mounted in a private directory. False when
// any step fails (no ethtool, say); the link then stays plain.
inline bool coalescing_setup(const std::string& dev)
{
    if (!sh("ethtool -K " + dev + " gro on rx-udp-gro-forwarding on"))
        return false;
    char dir[] = "/tmp/vora-bench-sysfs-XXXXXX";
    if (!mkdtemp(dir))
        return false;
    const std::string net = std::string(dir) + "/class/net/" + dev;
    const bool mounted = sh(std::string("mount -t sysfs sysfs ") + dir);
    const bool ok = mounted && write_setting(net + "/gro_flush_timeout", "50000") &&
                    write_setting(net + "/napi_defer_hard_irqs", "2");
    if (mounted)
        sh(std::string("umount ") + dir);
    rmdir(dir);
    return ok;
}

// Undoes coalescing_setup: the link as veth comes (GRO off).
inline void plain_setup(const std::string& dev)
{
    sh("ethtool -K " + dev + " gro off rx-udp-gro-forwarding off");
    char dir[] = "/tmp/vora-bench-sysfs-XXXXXX";
    if (!mkdtemp(dir))
        return;
    const std::string net = std::string(dir) + "/class/net/" + dev;
    if (sh(std::string("mount -t sysfs sysfs ") + dir)) {
        write_setting(net + "/gro_flush_timeout", "0");
        write_setting(net + "/napi_defer_hard_irqs", "0");
        sh(std::string("umount ") + dir);
    }
    rmdir(dir);
}

// A camera's own namespace `ns` behind a veth pair: `host` here with
// <net>.1/24, `cam` there with <net>.2/24, both at `mtu`; with `gro`, the
// host end coalesces (coalescing_setup). Any earlier namespace or link of
// those names goes first. False when the link could not be built; *gro_set
// tells whether the coalescing setup took.
inline bool veth_link(const std::string& ns, const std::string& host, const std::string& cam, const std::string& net,
                      unsigned mtu, bool gro, bool* gro_set = nullptr)
{
    sh("ip netns del " + ns);
    sh("ip link del " + host);
    const std::string m = std::to_string(mtu);
    const bool ok = sh("ip netns add " + ns) && sh("ip link add " + host + " type veth peer name " + cam) &&
                    sh("ip link set " + cam + " netns " + ns) && sh("ip link set " + host + " mtu " + m + " up") &&
                    sh("ip addr add " + net + ".1/24 dev " + host) &&
                    sh("ip netns exec " + ns + " ip link set lo up") &&
                    sh("ip netns exec " + ns + " ip link set " + cam + " mtu " + m + " up") &&
                    sh("ip netns exec " + ns + " ip addr add " + net + ".2/24 dev " + cam);
    const bool coalescing = ok && gro && coalescing_setup(host);
    if (gro_set)
        *gro_set = coalescing;
    return ok;
}

// How the simulated camera sends its stream: payload packets in trains
// the kernel cuts (gso) or one datagram per send. Simulators without the
// switch send datagram by datagram; then asking for trains returns false.
template <class Config>
auto set_send_trains(Config& config, bool trains, int) -> decltype(config.send, bool())
{
    using Mode = decltype(config.send);
    config.send = trains ? Mode::Gso : Mode::Datagram;
    return true;
}
template <class Config>
bool set_send_trains(Config&, bool trains, long)
{
    return !trains;
}
inline bool set_send_trains(vsim::SimConfig& config, bool trains)
{
    return set_send_trains(config, trains, 0);
}

inline uint32_t packets_per_frame(uint32_t payload, uint32_t packet_size)
{
    const uint32_t chunk = packet_size - 36;
    return (payload + chunk - 1) / chunk + 2;
}

// A camera streaming channel 0 for `seconds` at `rate`, then a pause for
// stragglers; the frames it sent.
inline uint64_t stream_window(vsim::SimCamera& sim, double rate, double seconds, double pause_s)
{
    sim.frame_rate = rate;
    const uint64_t f0 = sim.frames_sent(0);
    sim.write_reg(vsim::REG_ACQUISITION_STATUS, 1);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    sim.write_reg(vsim::REG_ACQUISITION_STATUS, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(pause_s));
    return sim.frames_sent(0) - f0;
}

// The baselines: a camera's channel 0 received into scratch memory and
// counted by a thread of its own, through either a bare recvmmsg loop
// (datagram by datagram, 32 a call) or a bare recvmsg loop on a UDP_GRO
// socket (a train of datagrams a call, its segment size in a cmsg).
class BareReceiver {
public:
    enum Mode { Mmsg, Gro };
    BareReceiver(vsim::SimCamera& sim, uint32_t address, uint32_t packet_size, Mode mode, double window_s = 1.5)
        : sim_(sim), packet_size_(packet_size), mode_(mode), window_s_(window_s)
    {
        payload_ = sim_.read_reg(vsim::CHANNEL_BASE + vsim::CH_PAYLOAD_SIZE);
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        int big = static_cast<int>(6 * payload_);  // what the library asks for, too
        setsockopt(sock_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        int one = 1;
        if (mode_ == Gro && setsockopt(sock_, SOL_UDP, UDP_GRO, &one, sizeof one) != 0)
            std::fprintf(stderr, "bench: UDP_GRO refused: %s\n", std::strerror(errno));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
        timeval tv{0, 100000};
        setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        receiver_ = std::thread([this] { mode_ == Gro ? receive_gro() : receive_mmsg(); });
        sim_.write_reg(Stream_Channel_0_Destination_Address_Reg, address);
        sim_.write_reg(Stream_Channel_0_Port_Reg, ntohs(a.sin_port));
        sim_.write_reg(Stream_Channel_Packet_Size_Reg, packet_size);
    }
    ~BareReceiver()
    {
        stop_ = true;
        receiver_.join();
        close(sock_);
    }
    BareReceiver(const BareReceiver&) = delete;
    BareReceiver& operator=(const BareReceiver&) = delete;

    bench::Window window(double rate)
    {
        mark();
        return since_mark(rate, stream_window(sim_, rate, window_s_, 0.3), window_s_);
    }
    // For windows that several receivers share: mark() before the camera
    // streams, since_mark() with the frames it sent after.
    void mark()
    {
        mark_datagrams_ = datagrams_;
        mark_bytes_ = bytes_;
        mark_cpu_ = cpu_;
    }
    bench::Window since_mark(double rate, uint64_t frames, double seconds) const
    {
        bench::Window w;
        w.rate = rate;
        w.fps = frames / seconds;
        w.sent = frames;
        w.lossless = frames > 0 && datagrams_ - mark_datagrams_ == frames * packets_per_frame(payload_, packet_size_);
        w.complete = w.lossless ? frames : 0;
        w.cpu_per_gb = bytes_ > mark_bytes_ ? (cpu_ - mark_cpu_) / ((bytes_ - mark_bytes_) / 1e9) : 0;
        return w;
    }
    // CPU seconds and bytes since mark().
    double cpu_since_mark() const { return cpu_ - mark_cpu_; }
    uint64_t bytes_since_mark() const { return bytes_ - mark_bytes_; }
    // Delay from a frame's last datagram sent to this loop reading it, over
    // two windows at `rate`.
    std::vector<double> latencies_us(double rate)
    {
        {
            std::lock_guard<std::mutex> lock(latency_mutex_);
            latencies_.clear();
        }
        measure_latency_ = true;
        window(rate);
        window(rate);
        measure_latency_ = false;
        std::lock_guard<std::mutex> lock(latency_mutex_);
        return latencies_;
    }
    // Receive calls and datagrams so far.
    uint64_t calls() const { return calls_; }
    uint64_t datagrams() const { return datagrams_; }

private:
    using Clock = std::chrono::steady_clock;

    // A trailer is a frame's last datagram: when it is read is when the
    // system has delivered the whole frame.
    void note_trailer(const char* data, size_t size, Clock::time_point received)
    {
        gvsp::Header h;
        Clock::time_point sent;
        if (gvsp::parse_header(reinterpret_cast<const uint8_t*>(data), size, &h) && h.format == gvsp::FORMAT_TRAILER &&
            sim_.frame_sent_time(0, h.block_id, &sent)) {
            std::lock_guard<std::mutex> lock(latency_mutex_);
            latencies_.push_back(std::chrono::duration<double, std::micro>(received - sent).count());
        }
    }
    void receive_mmsg()
    {
        constexpr int kBatch = 32;
        std::vector<char> area(kBatch * 65536);
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        while (!stop_) {
            for (int i = 0; i < kBatch; ++i) {
                iov[i] = {area.data() + i * 65536, 65536};
                std::memset(&msgs[i], 0, sizeof msgs[i]);
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(sock_, msgs, kBatch, MSG_WAITFORONE, nullptr);
            const auto received = Clock::now();
            uint64_t got = 0;
            for (int i = 0; i < n; ++i) {
                got += msgs[i].msg_len;
                if (measure_latency_)
                    note_trailer(area.data() + i * 65536, msgs[i].msg_len, received);
            }
            if (n > 0) {
                ++calls_;
                datagrams_ += static_cast<uint64_t>(n);
                bytes_ += got;
            }
            cpu_ = bench::thread_cpu_seconds();
        }
    }
    void receive_gro()
    {
        std::vector<char> area(65536);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        while (!stop_) {
            iovec iov{area.data(), area.size()};
            msghdr m{};
            m.msg_iov = &iov;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(sock_, &m, 0);
            const auto received = Clock::now();
            if (n > 0) {
                size_t segment = static_cast<size_t>(n);
                for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
                    if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                        int s = 0;
                        std::memcpy(&s, CMSG_DATA(c), sizeof s);
                        if (s > 0)
                            segment = static_cast<size_t>(s);
                    }
                const uint64_t count = (static_cast<size_t>(n) + segment - 1) / segment;
                // Only a train's last datagram can be a trailer.
                if (measure_latency_) {
                    const size_t last = (count - 1) * segment;
                    note_trailer(area.data() + last, static_cast<size_t>(n) - last, received);
                }
                ++calls_;
                datagrams_ += count;
                bytes_ += static_cast<uint64_t>(n);
            }
            cpu_ = bench::thread_cpu_seconds();
        }
    }

    vsim::SimCamera& sim_;
    const uint32_t packet_size_;
    const Mode mode_;
    const double window_s_;
    uint32_t payload_ = 0;
    int sock_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> calls_{0}, datagrams_{0}, bytes_{0};
    std::atomic<double> cpu_{0};
    uint64_t mark_datagrams_ = 0, mark_bytes_ = 0;
    double mark_cpu_ = 0;
    std::atomic<bool> measure_latency_{false};
    std::mutex latency_mutex_;
    std::vector<double> latencies_;
    std::thread receiver_;
};

}  // namespace bench

#endif
