// The simulated camera's streams on the wire, received with plain sockets:
// a frame whole and in order, resend requests answered (or, as a fault,
// not), the same packets for the same fault switches, and a channel stopped
// mid-frame staying silent until it is set up anew.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "eventually.h"
#include "gvcp_codec.h"
#include "gvsp_codec.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_scene.h"
#include "socket_address.h"
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

}  // namespace
