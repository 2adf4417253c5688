// The simulated camera's control channel, seen through raw datagrams the way
// any GigE Vision application would see it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "gvcp_codec.h"
#include "sim_camera.h"
#include "vora_base_type.h"

namespace {

// A bare GVCP client bound to its own port: one application.
class App {
public:
    App()
    {
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        timeval tv{0, 300000};
        setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~App() { close(sock_); }

    std::vector<uint8_t> ask(const uint8_t* cmd, size_t len)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(0x7F000001);
        to.sin_port = htons(GVCP_PORT);
        sendto(sock_, cmd, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        uint8_t buf[1024];
        ssize_t n = recv(sock_, buf, sizeof buf, 0);
        return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>();
    }
    uint16_t write(uint32_t address, uint32_t value)
    {
        uint8_t cmd[16];
        gvcp::build_writereg(cmd, ++id_, address, value);
        auto ack = ask(cmd, sizeof cmd);
        return ack.size() >= 12 ? gvcp::get_u16(ack.data()) : 0xFFFF;
    }
    uint16_t read(uint32_t address, uint32_t* value)
    {
        uint8_t cmd[12];
        gvcp::build_readreg(cmd, ++id_, address);
        auto ack = ask(cmd, sizeof cmd);
        if (ack.size() < 8)
            return 0xFFFF;
        if (ack.size() >= 12)
            *value = gvcp::get_u32(ack.data() + 8);
        return gvcp::get_u16(ack.data());
    }

private:
    int sock_;
    uint16_t id_ = 0;
};

class SimControl : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(sim.start(), 0); }
    vsim::SimCamera sim;
};

TEST_F(SimControl, BootstrapRegistersDescribeTheDevice)
{
    App app;
    uint32_t v = 0;
    ASSERT_EQ(app.read(0x0000, &v), 0);
    EXPECT_EQ(v, 0x00020000u);
    ASSERT_EQ(app.read(0x0024, &v), 0);
    EXPECT_EQ(v, 0x7F000001u);
    ASSERT_EQ(app.read(0x000C, &v), 0);
    EXPECT_EQ(v, 0x4F520001u);
    ASSERT_EQ(app.read(Number_of_Stream_Channels_Reg, &v), 0);
    EXPECT_EQ(v, 3u);
    ASSERT_EQ(app.read(Stream_Channel_Packet_Size_Reg + 2 * 0x40, &v), 0);
    EXPECT_EQ(v, 1500u);
    EXPECT_EQ(app.read(Stream_Channel_Packet_Size_Reg + 3 * 0x40, &v), 0x8003);  // no fourth channel
}

TEST_F(SimControl, AnswersWithTheStandardErrorStatuses)
{
    App app;
    uint32_t v = 0;
    EXPECT_EQ(app.read(0x0B00, &v), 0x8003);
    EXPECT_EQ(app.read(0x0002, &v), 0x8005);
    EXPECT_EQ(app.write(0x0000, 1), 0x8004);

    uint8_t cmd[16];
    gvcp::build_readmem(cmd, 9, 0x0200, 540);
    auto ack = app.ask(cmd, sizeof cmd);
    ASSERT_GE(ack.size(), 8u);
    EXPECT_EQ(gvcp::get_u16(ack.data()), 0x8002);
    EXPECT_EQ(gvcp::get_u16(ack.data() + 6), 9);  // acknowledge id = request id

    gvcp::build_readmem(cmd, 10, 0x0200, 536);
    ack = app.ask(cmd, sizeof cmd);
    ASSERT_EQ(ack.size(), 12u + 536);
    EXPECT_EQ(gvcp::get_u16(ack.data() + 2), gvcp::READMEM_ACK);
}

TEST_F(SimControl, ControlPrivilegeBelongsToOneApplication)
{
    App first, second;
    uint32_t v = 0;
    ASSERT_EQ(first.write(Control_Channel_Privilage_Reg, 2), 0);
    EXPECT_EQ(second.write(Heartbeat_Timeout_Reg, 5000), 0x8006);
    EXPECT_EQ(second.write(Control_Channel_Privilage_Reg, 2), 0x8006);
    EXPECT_EQ(second.read(Control_Channel_Privilage_Reg, &v), 0);  // reading is open to all
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(first.write(Heartbeat_Timeout_Reg, 5000), 0);
    ASSERT_EQ(first.write(Control_Channel_Privilage_Reg, 0), 0);
    EXPECT_EQ(second.write(Control_Channel_Privilage_Reg, 2), 0);
}

TEST_F(SimControl, PrivilegeLapsesWhenItsHolderFallsSilent)
{
    App holder, other;
    ASSERT_EQ(holder.write(Heartbeat_Timeout_Reg, 1000), 0);
    ASSERT_EQ(holder.write(Control_Channel_Privilage_Reg, 2), 0);
    // Commands from the holder keep it alive past the timeout.
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(1500)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        uint32_t v = 0;
        ASSERT_EQ(holder.read(Control_Channel_Privilage_Reg, &v), 0);
        ASSERT_EQ(v, 2u);
    }
    // Silent, it lapses: anyone may take control then.
    uint32_t v = 7;
    const auto t1 = std::chrono::steady_clock::now();
    while (v != 0 && std::chrono::steady_clock::now() - t1 < std::chrono::seconds(20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(other.read(Control_Channel_Privilage_Reg, &v), 0);
    }
    EXPECT_EQ(v, 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(900));  // not before its time
    EXPECT_EQ(other.write(Control_Channel_Privilage_Reg, 2), 0);
}

TEST_F(SimControl, AnotherApplicationCanBeMadeToHoldControl)
{
    App app;
    sim.set_foreign_control(true);
    EXPECT_TRUE(sim.controlled_by_someone());
    EXPECT_EQ(app.write(Control_Channel_Privilage_Reg, 2), 0x8006);
    sim.set_foreign_control(false);
    EXPECT_EQ(app.write(Control_Channel_Privilage_Reg, 2), 0);
}

TEST_F(SimControl, SeveralCamerasRunSideBySide)
{
    vsim::SimConfig c;
    c.ip = 0x7F000002;
    c.serial = "SIM00002";
    vsim::SimCamera second(c);
    ASSERT_EQ(second.start(), 0);
    vsim::SimConfig clash;
    vsim::SimCamera same_address(clash);
    EXPECT_NE(same_address.start(), 0);  // 127.0.0.1:3956 is taken
}

}  // namespace
