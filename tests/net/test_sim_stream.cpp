// The simulated camera's streams on the wire, received with plain sockets:
// a frame whole and in order, resend requests answered (or, as a fault,
// not), the same packets for the same fault switches, a channel stopped
// mid-frame staying silent until it is set up anew, and the same datagrams
// whether they leave in trains or one by one.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "eventually.h"
#include "gvcp_codec.h"
#include "gvsp_codec.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_scene.h"
#include "socket_address.h"
#include "topology.h"
#include "vora_pixel_format.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kWidth = 64, kHeight = 8;  // 3072 bytes of cloud
constexpr uint32_t kPacketSize = 576;         // 548 bytes of it a packet
constexpr uint32_t kPayloadPackets = 6;

int udp_socket(uint32_t ip)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int buffer = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    sockaddr_in a = make_addr(ip, 0);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
}

uint16_t local_port(int s)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// The next datagram on `s`, or nothing after a deadline only a fault reaches.
std::vector<uint8_t> next_datagram(int s)
{
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 10000 * kTestSlowdown) != 1)
        return {};
    uint8_t b[70000];
    const ssize_t n = recv(s, b, sizeof b, 0);
    return n > 0 ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>();
}

// Datagrams already delivered to `s`, without waiting.
std::vector<std::vector<uint8_t>> waiting(int s)
{
    std::vector<std::vector<uint8_t>> out;
    uint8_t b[70000];
    for (ssize_t n; (n = recv(s, b, sizeof b, MSG_DONTWAIT)) > 0;)
        out.emplace_back(b, b + n);
    return out;
}

gvsp::Header header(const std::vector<uint8_t>& d)
{
    gvsp::Header h{};
    EXPECT_TRUE(gvsp::parse_header(d.data(), d.size(), &h));
    return h;
}

class SimStream : public ::testing::Test {
protected:
    // A camera whose depth sensors see a small region and send on software
    // triggers; nothing is aimed yet.
    vsim::SimCamera& camera(uint32_t ip)
    {
        vsim::SimConfig config;
        config.ip = ip;
        config.mac[5] = static_cast<uint8_t>(ip);
        sims_.push_back(std::make_unique<vsim::SimCamera>(config));
        vsim::SimCamera& sim = *sims_.back();
        EXPECT_EQ(sim.start(), 0);
        for (uint32_t sensor : {0u, 2u}) {
            sim.write_reg(vsim::SENSOR_BASE + sensor * vsim::SENSOR_STRIDE + vsim::SN_WIDTH, kWidth);
            sim.write_reg(vsim::SENSOR_BASE + sensor * vsim::SENSOR_STRIDE + vsim::SN_HEIGHT, kHeight);
        }
        sim.write_reg(vsim::REG_TRIGGER_MODE, 1);
        return sim;
    }
    // Aims a channel at a socket of the test; returns the socket.
    int aim(vsim::SimCamera& sim, uint32_t channel)
    {
        const int s = udp_socket(kLoopback);
        sockets_.push_back(s);
        const uint32_t base = channel * STREAM_CHANNEL_REG_STRIDE;
        sim.write_reg(Stream_Channel_0_Destination_Address_Reg + base, kLoopback);
        sim.write_reg(Stream_Channel_0_Port_Reg + base, local_port(s));
        sim.write_reg(Stream_Channel_Packet_Size_Reg + base, kPacketSize);
        return s;
    }
    void ask_resend(uint32_t camera_ip, const gvcp::PacketResend& request)
    {
        if (control_ < 0)
            control_ = udp_socket(kLoopback);
        uint8_t cmd[gvcp::PACKETRESEND_CMD_LEN];
        const size_t len = gvcp::build_packetresend(cmd, 1, request);
        sockaddr_in to = make_addr(camera_ip, GVCP_PORT);
        ASSERT_EQ(sendto(control_, cmd, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(len));
    }
    void TearDown() override
    {
        sims_.clear();
        for (int s : sockets_)
            close(s);
        if (control_ >= 0)
            close(control_);
    }

    std::vector<std::unique_ptr<vsim::SimCamera>> sims_;
    std::vector<int> sockets_;
    int control_ = -1;
};

TEST_F(SimStream, AFrameArrivesWholeAndInOrderAndResendRequestsAreAnswered)
{
    vsim::SimCamera& sim = camera(kLoopback);
    const int s = aim(sim, 0);
    sim.software_triggers = 1;
    sim.write_reg(vsim::REG_ACQUISITION_STATUS, 1);

    std::vector<std::vector<uint8_t>> frame;
    for (uint32_t k = 0; k < kPayloadPackets + 2; ++k) {
        frame.push_back(next_datagram(s));
        ASSERT_FALSE(frame.back().empty()) << "packet " << k;
        EXPECT_EQ(header(frame.back()).packet_id, k);
        EXPECT_EQ(header(frame.back()).block_id, 1);
        EXPECT_EQ(header(frame.back()).status, gvsp::STATUS_SUCCESS);
    }
    gvsp::Leader leader{};
    ASSERT_TRUE(gvsp::parse_leader(frame[0].data(), frame[0].size(), &leader));
    EXPECT_EQ(leader.size_x, kWidth);
    EXPECT_EQ(leader.size_y, kHeight);
    EXPECT_EQ(header(frame.back()).format, gvsp::FORMAT_TRAILER);
    std::vector<uint8_t> payload;
    for (uint32_t k = 1; k <= kPayloadPackets; ++k)
        payload.insert(payload.end(), frame[k].begin() + gvsp::HEADER_LEN, frame[k].end());
    EXPECT_EQ(payload, vsim::render_sensor(sim.config().sensors[0], vsim::Roi{kWidth, kHeight, 0, 0},
                                           PIXEL_FORMAT_COORD3D_ABC16, sim.config().cloud_unit));

    ask_resend(kLoopback, {0, 1, 2, 3});
    for (uint32_t id : {2u, 3u}) {
        std::vector<uint8_t> again = next_datagram(s);
        ASSERT_FALSE(again.empty()) << id;
        EXPECT_EQ(header(again).packet_id, id);
        EXPECT_EQ(header(again).status, gvcp::STATUS_PACKET_RESEND);
        EXPECT_TRUE(std::equal(again.begin() + gvsp::HEADER_LEN, again.end(), frame[id].begin() + gvsp::HEADER_LEN,
                               frame[id].end()));
    }

    // Ignored as a fault: the next answer is that of the request after it.
    sim.stream_faults.ignore_resend = true;
    const size_t commands = sim.command_count();
    ask_resend(kLoopback, {0, 1, 4, 4});
    ASSERT_TRUE(eventually([&] { return sim.command_count() > commands; }));
    sim.stream_faults.ignore_resend = false;
    ask_resend(kLoopback, {0, 77, 5, 5});  // a block never sent
    const std::vector<uint8_t> unavailable = next_datagram(s);
    ASSERT_EQ(unavailable.size(), gvsp::HEADER_LEN);
    EXPECT_EQ(header(unavailable).status, gvcp::STATUS_PACKET_UNAVAILABLE);
    EXPECT_EQ(header(unavailable).block_id, 77);
    EXPECT_EQ(header(unavailable).packet_id, 5u);
}

TEST_F(SimStream, TheSameFaultSwitchesSendTheSamePackets)
{
    // The random faults draw from each camera's own seeded engine, so two
    // cameras set alike send alike, packet for packet.
    std::vector<std::vector<std::tuple<uint16_t, uint32_t, uint16_t, size_t>>> seen;
    std::vector<int> socks;
    for (uint32_t ip : {kLoopback, kLoopback + 1}) {
        vsim::SimCamera& sim = camera(ip);
        socks.push_back(aim(sim, 0));
        sim.stream_faults.loss_rate = 0.3;
        sim.stream_faults.duplicate_rate = 0.2;
        sim.stream_faults.reorder_rate = 0.25;
        sim.software_triggers = 4;
        sim.write_reg(vsim::REG_ACQUISITION_STATUS, 1);
    }
    for (size_t c = 0; c < sims_.size(); ++c) {
        // A frame counts as sent once its packets were handed to loopback,
        // which delivers them at once.
        ASSERT_TRUE(eventually([&] { return sims_[c]->frames_sent(0) == 4; }));
        seen.emplace_back();
        for (const std::vector<uint8_t>& d : waiting(socks[c])) {
            const gvsp::Header h = header(d);
            seen.back().emplace_back(h.block_id, h.packet_id, h.status, d.size());
        }
    }
    EXPECT_EQ(seen[0], seen[1]);
    std::vector<uint32_t> ids;
    for (const auto& packet : seen[0])
        ids.push_back(std::get<1>(packet));
    std::vector<uint32_t> whole;
    for (int frame = 0; frame < 4; ++frame)
        for (uint32_t k = 0; k < kPayloadPackets + 2; ++k)
            whole.push_back(k);
    EXPECT_NE(ids, whole) << "the faults changed nothing";
}

TEST_F(SimStream, AChannelStoppedMidFrameStaysSilentUntilItIsSetUpAnew)
{
    vsim::SimCamera& sim = camera(kLoopback);
    const int s0 = aim(sim, 0);
    const int s2 = aim(sim, 2);  // the other depth channel, which shares the triggers
    sim.stream_faults.stop_after_packets = 3;
    sim.software_triggers = 1;
    sim.write_reg(vsim::REG_ACQUISITION_STATUS, 1);
    for (uint32_t k = 0; k < 3; ++k)
        EXPECT_EQ(header(next_datagram(s0)).packet_id, k);
    ASSERT_TRUE(eventually([&] { return sim.frames_sent(0) == 1; }));

    // Channel 0 would take the next trigger first; stopped, it leaves it to channel 2.
    sim.software_triggers = 1;
    for (uint32_t k = 0; k < kPayloadPackets + 2; ++k)
        ASSERT_EQ(header(next_datagram(s2)).packet_id, k);
    EXPECT_TRUE(waiting(s0).empty());
    EXPECT_EQ(sim.frames_sent(0), 1u);

    // Set up anew (another packet size), it sends whole frames again.
    sim.write_reg(Stream_Channel_Packet_Size_Reg, kPacketSize + 100);
    sim.software_triggers = 1;
    const std::vector<uint8_t> leader = next_datagram(s0);
    ASSERT_FALSE(leader.empty());
    EXPECT_EQ(header(leader).format, gvsp::FORMAT_LEADER);
    EXPECT_EQ(header(leader).block_id, 2);
    EXPECT_EQ(next_datagram(s0).size(), kPacketSize + 100 - IP_HEADER_LEN - UDP_HEADER_LEN);
}

TEST_F(SimStream, TheSendModeSwitchesWhileStreaming)
{
    vsim::SimCamera& sim = camera(kLoopback);
    const int s = aim(sim, 0);
    sim.write_reg(vsim::REG_ACQUISITION_STATUS, 1);
    std::vector<std::vector<uint8_t>> frames[2];
    uint64_t trains[2] = {};
    for (int k = 0; k < 2; ++k) {
        sim.software_triggers = 1;
        for (uint32_t id = 0; id < kPayloadPackets + 2; ++id) {
            frames[k].push_back(next_datagram(s));
            ASSERT_FALSE(frames[k].back().empty()) << k << " packet " << id;
            EXPECT_EQ(header(frames[k].back()).packet_id, id);
        }
        ASSERT_TRUE(eventually([&] { return sim.frames_sent(0) == static_cast<uint64_t>(k + 1); }));
        trains[k] = sim.stream_trains_sent();
        sim.send_mode = vsim::SendMode::Datagram;
    }
    EXPECT_EQ(trains[0], 1u) << "the payload packets in one train";
    EXPECT_EQ(trains[1], trains[0]) << "then datagram by datagram";
    for (uint32_t id = 1; id <= kPayloadPackets; ++id)
        EXPECT_TRUE(std::equal(frames[0][id].begin() + gvsp::HEADER_LEN, frames[0][id].end(),
                               frames[1][id].begin() + gvsp::HEADER_LEN, frames[1][id].end()))
            << id;
}

// A receiver's namespace behind a veth pair at `mtu`: the test's side
// (interface gsoN) has the cameras' addresses 10.77.N.1..3, the receiver
// 10.77.N.100.
class Wire {
public:
    Wire(int mtu, int net)
        : ns_("rx" + std::to_string(net)), net_("10.77." + std::to_string(net) + "."),
          iface_("gso" + std::to_string(net))
    {
        topology_.add_namespace(ns_);
        topology_.link(iface_, net_ + "1/24", ns_, "rx", net_ + "100/24", mtu);
        for (int k : {2, 3})
            EXPECT_TRUE(Topology::run("ip addr add " + net_ + std::to_string(k) + "/24 dev " + iface_));
    }
    const std::string& iface() const { return iface_; }
    ~Wire()
    {
        for (int s : sockets_)
            close(s);
    }
    uint32_t camera(int k) const { return address(k); }
    uint32_t receiver() const { return address(100); }
    // A socket bound in the receiver's namespace; `gro`: it takes trains whole.
    int socket(bool gro)
    {
        const int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int there = open(("/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(there, 0);
        EXPECT_EQ(setns(there, CLONE_NEWNET), 0);
        const int s = udp_socket(receiver());
        EXPECT_EQ(setns(own, CLONE_NEWNET), 0);
        close(there);
        close(own);
        int on = 1;
        if (gro) {
            EXPECT_EQ(setsockopt(s, SOL_UDP, UDP_GRO, &on, sizeof on), 0);
        }
        sockets_.push_back(s);
        return s;
    }

private:
    uint32_t address(int k) const { return parse(net_ + std::to_string(k)); }
    static uint32_t parse(const std::string& text)
    {
        in_addr a{};
        EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &a), 1) << text;
        return ntohl(a.s_addr);
    }

    Topology topology_;
    std::string ns_, net_, iface_;
    std::vector<int> sockets_;
};

// One receive: a datagram, or a train cut at `segment` bytes (0: none).
struct Arrival {
    std::vector<uint8_t> bytes;
    size_t segment = 0;
};

// Receives until the trailer of block `last` arrives (what precedes it on
// the path has then arrived too), or nothing more comes.
std::vector<Arrival> receive_until_trailer(int s, uint16_t last)
{
    std::vector<Arrival> out;
    std::vector<uint8_t> buffer(70000);
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 10000 * kTestSlowdown) != 1)
            return out;
        iovec v{buffer.data(), buffer.size()};
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))];
        msghdr m{};
        m.msg_iov = &v;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(s, &m, 0);
        if (n <= 0)
            return out;
        Arrival a;
        a.bytes.assign(buffer.begin(), buffer.begin() + n);
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                int segment = 0;
                std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
                a.segment = static_cast<size_t>(segment);
            }
        out.push_back(a);
        // The last datagram of what arrived.
        const size_t cut = a.segment ? (a.bytes.size() - 1) / a.segment * a.segment : 0;
        gvsp::Header h{};
        if (gvsp::parse_header(a.bytes.data() + cut, a.bytes.size() - cut, &h) && h.block_id == last &&
            h.format == gvsp::FORMAT_TRAILER)
            return out;
    }
}

// The datagrams in arrival order, trains cut where the kernel would.
// Leaders lose their timestamp, the one thing that differs between cameras.
std::vector<std::vector<uint8_t>> datagrams(const std::vector<Arrival>& arrivals)
{
    std::vector<std::vector<uint8_t>> out;
    for (const Arrival& a : arrivals) {
        const size_t step = a.segment ? a.segment : a.bytes.size();
        for (size_t at = 0; at < a.bytes.size(); at += step) {
            out.emplace_back(a.bytes.begin() + at, a.bytes.begin() + std::min(at + step, a.bytes.size()));
            std::vector<uint8_t>& d = out.back();
            gvsp::Header h{};
            if (gvsp::parse_header(d.data(), d.size(), &h) && h.format == gvsp::FORMAT_LEADER &&
                d.size() >= gvsp::LEADER_TIMESTAMP_LOW + 4)
                std::fill(d.begin() + gvsp::LEADER_TIMESTAMP_HIGH, d.begin() + gvsp::LEADER_TIMESTAMP_LOW + 4, 0);
        }
    }
    return out;
}

TEST_F(SimStream, TrainsAndSingleDatagramsArriveAsTheSameDatagramsInTheSameOrder)
{
    // One backlog on the receiving side: datagrams queued from two CPUs
    // could be handed over out of order, whoever sent them.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);

    // A cloud that leaves every packet size with a short last payload packet.
    constexpr uint32_t kCloudWidth = 320, kCloudHeight = 100;  // 192000 bytes
    enum class Sent { Trains, Datagrams, EitherWay };
    struct Case {
        int size, mtu;
        bool checksum_offload;
        Sent sent;      // how the camera's sends left
        bool received;  // whether trains reach the receiver whole
    };
    const Case cases[] = {
        {1500, 1500, true, Sent::Trains, true},
        {9000, 9000, true, Sent::Trains, true},
        // Segments larger than the route takes: datagram by datagram, which
        // the kernel fragments as ever.
        {9000, 1500, true, Sent::Datagrams, false},
        // A device that cannot checksum: some kernels refuse trains (the
        // camera then sends datagram by datagram for good), others cut them
        // before the device.
        {1500, 1500, false, Sent::EitherWay, false},
    };
    int net = 0;
    for (const Case& c : cases) {
        const int size = c.size;
        SCOPED_TRACE("packets of " + std::to_string(size) + " bytes, MTU " + std::to_string(c.mtu) +
                     (c.checksum_offload ? "" : ", no checksum offload"));
        const uint32_t chunk = static_cast<uint32_t>(size) - IP_HEADER_LEN - UDP_HEADER_LEN - gvsp::HEADER_LEN;
        ASSERT_NE(kCloudWidth * kCloudHeight * 6 % chunk, 0u);
        Wire wire(c.mtu, ++net);
        if (!c.checksum_offload && !Topology::run("ethtool -K " + wire.iface() + " tx off")) {
            std::printf("ethtool cannot switch checksum offload off here: that case is left out\n");
            continue;
        }
        // Three cameras alike but for how they send; the random faults draw
        // from each one's own seeded engine, so they lose and move the same
        // packets.
        std::vector<vsim::SimCamera*> cams;
        std::vector<int> socks;
        const vsim::SendMode modes[] = {vsim::SendMode::Gso, vsim::SendMode::Datagram, vsim::SendMode::Gso};
        for (int k = 0; k < 3; ++k) {
            vsim::SimConfig config;
            config.ip = wire.camera(k + 1);
            config.mac[5] = static_cast<uint8_t>(k + 1);
            config.send = modes[k];
            sims_.push_back(std::make_unique<vsim::SimCamera>(config));
            vsim::SimCamera& sim = *sims_.back();
            ASSERT_EQ(sim.start(), 0);
            sim.write_reg(vsim::SENSOR_BASE + vsim::SN_WIDTH, kCloudWidth);
            sim.write_reg(vsim::SENSOR_BASE + vsim::SN_HEIGHT, kCloudHeight);
            sim.write_reg(vsim::REG_TRIGGER_MODE, 1);
            socks.push_back(wire.socket(k == 2));
            sim.write_reg(Stream_Channel_0_Destination_Address_Reg, wire.receiver());
            sim.write_reg(Stream_Channel_0_Port_Reg, local_port(socks.back()));
            sim.write_reg(Stream_Channel_Packet_Size_Reg, static_cast<uint32_t>(size));
            sim.stream_faults.loss_rate = 0.03;
            sim.stream_faults.reorder_rate = 0.03;
            sim.stream_faults.duplicate_rate = 0.02;
            sim.stream_faults.burst_every = 2;
            sim.stream_faults.burst_length = 3;
            sim.software_triggers = 3;
            sim.write_reg(vsim::REG_ACQUISITION_STATUS, 1);
            cams.push_back(&sim);
        }
        // A last frame without faults marks the end: its trailer comes last.
        for (vsim::SimCamera* sim : cams) {
            ASSERT_TRUE(eventually([&] { return sim->frames_sent(0) == 3; }));
            sim->stream_faults.loss_rate = 0;
            sim->stream_faults.reorder_rate = 0;
            sim->stream_faults.duplicate_rate = 0;
            sim->stream_faults.burst_every = 0;
            sim->software_triggers = 1;
        }
        std::vector<std::vector<Arrival>> got;
        for (int s : socks)
            got.push_back(receive_until_trailer(s, 4));

        const std::vector<std::vector<uint8_t>> plain = datagrams(got[1]);
        for (int k : {0, 2}) {
            const std::vector<std::vector<uint8_t>> trained = datagrams(got[static_cast<size_t>(k)]);
            EXPECT_EQ(trained.size(), plain.size()) << "camera " << k;
            const size_t differ = static_cast<size_t>(
                std::mismatch(trained.begin(), trained.end(), plain.begin(), plain.end()).first - trained.begin());
            EXPECT_EQ(differ, trained.size()) << "camera " << k << ": the datagrams differ from this one on";
        }

        // What the plain socket saw is the frames, faults and all.
        size_t payload = 0, trailers = 0, short_last = 0;
        for (const std::vector<uint8_t>& d : plain) {
            const gvsp::Header h = header(d);
            payload += h.format == gvsp::FORMAT_PAYLOAD;
            trailers += h.format == gvsp::FORMAT_TRAILER;
            short_last += h.format == gvsp::FORMAT_PAYLOAD && d.size() < chunk + gvsp::HEADER_LEN;
        }
        const size_t per_frame = (kCloudWidth * kCloudHeight * 6 + chunk - 1) / chunk;
        EXPECT_NE(payload, 4 * per_frame) << "the faults changed nothing";
        EXPECT_GE(short_last, 1u);
        EXPECT_GE(trailers, 1u);
        size_t cut = 0;
        for (const Arrival& a : got[0])
            cut += a.segment != 0;
        EXPECT_EQ(cut, 0u) << "a plain socket takes datagrams";

        // The socket that takes trains whole got them at the packets' size,
        // each a run of payload packets.
        size_t trains = 0, wrong_size = 0, not_payload = 0;
        for (const Arrival& a : got[2]) {
            if (a.segment == 0 || a.bytes.size() <= a.segment)
                continue;
            ++trains;
            wrong_size += a.segment != static_cast<size_t>(size) - IP_HEADER_LEN - UDP_HEADER_LEN;
            for (const std::vector<uint8_t>& d : datagrams({a}))
                not_payload += header(d).format != gvsp::FORMAT_PAYLOAD;
        }
        EXPECT_EQ(trains > 0, c.received);
        EXPECT_EQ(wrong_size, 0u);
        EXPECT_EQ(not_payload, 0u);
        if (c.sent != Sent::EitherWay) {
            EXPECT_EQ(cams[0]->stream_trains_sent() > 0, c.sent == Sent::Trains);
        }
        EXPECT_EQ(cams[1]->stream_trains_sent(), 0u) << "datagram by datagram";
        sims_.clear();
    }
}

}  // namespace
