// The simulated camera's control channel, seen through raw datagrams the way
// any GigE Vision application would see it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "eventually.h"
#include "gvcp_codec.h"
#include "gvsp_codec.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "socket_address.h"
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

// ---- action commands and precision time ----

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kDeviceKey = 0x12345678;
constexpr uint32_t kGroupKey = 0x00000001;  // signal 0: mask 0x0F; signal 1: key 2, mask 0xF0
constexpr uint32_t kWidth = 64, kHeight = 8;

// Sends action commands from 127.0.0.1, to the camera or as a broadcast,
// and reads their acknowledges.
class Actor {
public:
    Actor()
    {
        sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(sock_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in self = make_addr(kLoopback, 0);
        EXPECT_EQ(bind(sock_, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
    }
    ~Actor() { close(sock_); }

    void send(const uint8_t* data, size_t len, bool broadcast = false)
    {
        sockaddr_in to = make_addr(broadcast ? INADDR_BROADCAST : kLoopback, GVCP_PORT);
        ASSERT_EQ(sendto(sock_, data, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), static_cast<ssize_t>(len));
    }
    void act(const gvcp::Action& a, uint16_t id, bool broadcast = false)
    {
        uint8_t cmd[gvcp::SCHEDULED_ACTION_CMD_LEN];
        send(cmd, gvcp::build_action(cmd, id, a, true), broadcast);
    }
    // The next acknowledge, or none after a deadline only a fault reaches.
    bool next_ack(gvcp::AckHeader* ack)
    {
        pollfd p{sock_, POLLIN, 0};
        if (poll(&p, 1, 10000 * kTestSlowdown) != 1)
            return false;
        uint8_t b[64];
        const ssize_t n = recv(sock_, b, sizeof b, 0);
        return n > 0 && gvcp::parse_ack_header(b, static_cast<size_t>(n), ack);
    }
    bool nothing_waiting()
    {
        uint8_t b[64];
        return recv(sock_, b, sizeof b, MSG_DONTWAIT) < 0;
    }

private:
    int sock_ = -1;
};

gvcp::Action action(uint32_t group_key = kGroupKey, uint32_t group_mask = 0x1, uint32_t device_key = kDeviceKey)
{
    gvcp::Action a;
    a.device_key = device_key;
    a.group_key = group_key;
    a.group_mask = group_mask;
    return a;
}

gvcp::Action scheduled(uint64_t at)
{
    gvcp::Action a = action();
    a.scheduled = true;
    a.action_time = at;
    return a;
}

class SimActions : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sim.start(), 0);
        ASSERT_EQ(app.write(Heartbeat_Timeout_Reg, 600000), 0);
        ASSERT_EQ(app.write(Control_Channel_Privilage_Reg, 2), 0);
        ASSERT_EQ(app.write(gvcp::ACTION_DEVICE_KEY_REG, kDeviceKey), 0);
        ASSERT_EQ(app.write(gvcp::ACTION_GROUP_KEY_BASE, kGroupKey), 0);
        ASSERT_EQ(app.write(gvcp::ACTION_GROUP_MASK_BASE, 0x0F), 0);
        ASSERT_EQ(app.write(gvcp::ACTION_GROUP_KEY_BASE + gvcp::ACTION_GROUP_STRIDE, 2), 0);
        ASSERT_EQ(app.write(gvcp::ACTION_GROUP_MASK_BASE + gvcp::ACTION_GROUP_STRIDE, 0xF0), 0);
    }
    void TearDown() override
    {
        if (stream_ >= 0)
            close(stream_);
    }

    // The next acknowledge must answer request `id`: whatever was sent
    // before it on the same path went unanswered.
    void expect_next_ack(uint16_t id, uint16_t status)
    {
        gvcp::AckHeader ack{};
        ASSERT_TRUE(actor.next_ack(&ack)) << "no answer to " << id;
        EXPECT_EQ(ack.ack_id, id);
        EXPECT_EQ(ack.answer, gvcp::ACTION_ACK);
        EXPECT_EQ(ack.status, status);
        EXPECT_EQ(ack.length, 0);
    }
    // Sends a matching action as a probe: its answer comes first when
    // nothing before it was answered.
    void probe(uint16_t id)
    {
        actor.act(action(), id);
        expect_next_ack(id, gvcp::STATUS_SUCCESS);
    }

    // Channel 0 shows depth sensor 0 on a socket of the test and waits for
    // Action1 triggers.
    void stream_on_action1()
    {
        stream_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = make_addr(kLoopback, 0);
        ASSERT_EQ(bind(stream_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(stream_, reinterpret_cast<sockaddr*>(&a), &len);
        sim.write_reg(vsim::SENSOR_BASE + vsim::SN_WIDTH, kWidth);
        sim.write_reg(vsim::SENSOR_BASE + vsim::SN_HEIGHT, kHeight);
        sim.write_reg(Stream_Channel_0_Destination_Address_Reg, kLoopback);
        sim.write_reg(Stream_Channel_0_Port_Reg, ntohs(a.sin_port));
        sim.write_reg(Stream_Channel_Packet_Size_Reg, 1500);
        ASSERT_EQ(app.write(vsim::REG_TRIGGER_SOURCE, vsim::TRIGGER_SOURCE_ACTION1), 0);
        ASSERT_EQ(app.write(vsim::REG_TRIGGER_MODE, 1), 0);
        sim.write_reg(vsim::REG_ACQUISITION_STATUS, 1);
    }
    // The time stamp of the next frame's leader.
    bool next_leader(uint64_t* timestamp)
    {
        uint8_t b[2048];
        for (int k = 0; k < 100; ++k) {
            pollfd p{stream_, POLLIN, 0};
            if (poll(&p, 1, 10000 * kTestSlowdown) != 1)
                return false;
            const ssize_t n = recv(stream_, b, sizeof b, 0);
            gvsp::Header h{};
            gvsp::Leader leader{};
            if (n > 0 && gvsp::parse_header(b, static_cast<size_t>(n), &h) && h.format == gvsp::FORMAT_LEADER &&
                gvsp::parse_leader(b, static_cast<size_t>(n), &leader)) {
                *timestamp = leader.timestamp;
                return true;
            }
        }
        return false;
    }

    vsim::SimCamera sim;
    App app;
    Actor actor;
    int stream_ = -1;
};

TEST_F(SimActions, RegistersAndCapabilitiesDescribeTheFeature)
{
    uint32_t v = 0;
    ASSERT_EQ(app.read(gvcp::GVCP_CAPABILITY_REG, &v), 0);
    EXPECT_TRUE(v & gvcp::CAPABILITY_ACTION);
    EXPECT_TRUE(v & gvcp::CAPABILITY_SCHEDULED_ACTION);
    EXPECT_TRUE(v & gvcp::CAPABILITY_IEEE1588);
    ASSERT_EQ(app.read(gvcp::NUMBER_OF_ACTION_SIGNALS_REG, &v), 0);
    EXPECT_EQ(v, 2u);
    ASSERT_EQ(app.read(gvcp::SCHEDULED_ACTION_QUEUE_SIZE_REG, &v), 0);
    EXPECT_EQ(v, 4u);
    ASSERT_EQ(app.read(gvcp::IEEE1588_STATUS_REG, &v), 0);
    EXPECT_EQ(v & gvcp::IEEE1588_STATUS_MASK, 3u);  // disabled
    // The device key is write-only; the group registers read back.
    EXPECT_EQ(app.read(gvcp::ACTION_DEVICE_KEY_REG, &v), gvcp::STATUS_ACCESS_DENIED);
    ASSERT_EQ(app.read(gvcp::ACTION_GROUP_MASK_BASE + gvcp::ACTION_GROUP_STRIDE, &v), 0);
    EXPECT_EQ(v, 0xF0u);
    // Past the last signal there is nothing.
    EXPECT_EQ(app.read(gvcp::ACTION_GROUP_KEY_BASE + 2 * gvcp::ACTION_GROUP_STRIDE, &v), gvcp::STATUS_INVALID_ADDRESS);
    EXPECT_EQ(app.write(gvcp::SCHEDULED_ACTION_QUEUE_SIZE_REG, 9), gvcp::STATUS_WRITE_PROTECT);
}

TEST_F(SimActions, OnlyMatchingKeysAndGroupsFireAndAreAnswered)
{
    // Signal 0: key 1 and a mask sharing bit 0; signal 1: key 2, mask 0xF0.
    actor.act(action(kGroupKey, 0x1), 1);
    expect_next_ack(1, gvcp::STATUS_SUCCESS);
    EXPECT_EQ(sim.actions_fired.load(), 1);
    actor.act(action(2, 0x30), 2);
    expect_next_ack(2, gvcp::STATUS_SUCCESS);
    EXPECT_EQ(sim.actions_fired.load(), 2);

    // Silence for a mask without a shared bit, the wrong group or device key.
    actor.act(action(kGroupKey, 0xF0), 3);
    actor.act(action(2, 0x0F), 4);
    actor.act(action(7, 0xFFFFFFFF), 5);
    actor.act(action(kGroupKey, 0x1, kDeviceKey + 1), 6);
    probe(7);
    EXPECT_EQ(sim.actions_fired.load(), 3);
    EXPECT_EQ(sim.software_triggers.load(), 0);  // the trigger is not set to take actions
}

TEST_F(SimActions, ABroadcastActionTriggersAFrameStampedWhenItFired)
{
    stream_on_action1();
    const uint64_t before = sim.timestamp_ticks();
    actor.act(action(), 1, true);
    expect_next_ack(1, gvcp::STATUS_SUCCESS);
    const uint64_t after = sim.timestamp_ticks();
    uint64_t stamp = 0;
    ASSERT_TRUE(next_leader(&stamp));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);

    // A software trigger is stamped when written, too.
    ASSERT_EQ(app.write(vsim::REG_TRIGGER_SOFTWARE, 1), 0);
    const uint64_t written = sim.timestamp_ticks();
    ASSERT_TRUE(next_leader(&stamp));
    EXPECT_GT(stamp, after);
    EXPECT_LE(stamp, written);
}

TEST_F(SimActions, AScheduledActionFiresAtItsTimeAndStampsItsFrameWithIt)
{
    stream_on_action1();
    const uint64_t at = sim.timestamp_ticks() + 300000000ULL * kTestSlowdown;  // ticks are ns
    actor.act(scheduled(at), 1);
    expect_next_ack(1, gvcp::STATUS_SUCCESS);
    uint64_t stamp = 0;
    ASSERT_TRUE(next_leader(&stamp));
    EXPECT_EQ(stamp, at);
    EXPECT_GE(sim.timestamp_ticks(), at);  // not sent before its time
    EXPECT_EQ(sim.scheduled_actions(), 0u);
    EXPECT_EQ(sim.actions_fired.load(), 1);
}

TEST_F(SimActions, ALateScheduledActionIsRefusedAndAFullQueueOverflows)
{
    actor.act(scheduled(sim.timestamp_ticks() - 1), 1);
    expect_next_ack(1, gvcp::STATUS_ACTION_LATE);
    EXPECT_EQ(sim.actions_fired.load(), 0);

    const uint64_t far = sim.timestamp_ticks() + 3600ULL * 1000000000ULL;
    for (uint16_t id = 2; id < 6; ++id) {
        actor.act(scheduled(far + id), id);
        expect_next_ack(id, gvcp::STATUS_SUCCESS);
    }
    EXPECT_EQ(sim.scheduled_actions(), 4u);
    actor.act(scheduled(far), 6);
    expect_next_ack(6, gvcp::STATUS_OVERFLOW);
    EXPECT_EQ(sim.scheduled_actions(), 4u);
    EXPECT_EQ(sim.actions_fired.load(), 0);
}

TEST_F(SimActions, NobodyInControlMeansNoAction)
{
    ASSERT_EQ(app.write(Control_Channel_Privilage_Reg, 0), 0);
    const size_t before = sim.command_count();
    actor.act(action(), 1);
    actor.act(action(), 2, true);
    // The broadcast comes in on another socket than the control write after
    // it: both actions must have been handled before control is taken.
    ASSERT_TRUE(eventually([&] { return sim.command_count() >= before + 2; }));
    ASSERT_EQ(app.write(Control_Channel_Privilage_Reg, 2), 0);
    probe(3);
    EXPECT_EQ(sim.actions_fired.load(), 1);
}

TEST_F(SimActions, ACameraWithoutActionsIgnoresThem)
{
    vsim::SimConfig c;
    c.ip = 0x7F000002;
    c.actions = false;
    vsim::SimCamera plain(c);
    ASSERT_EQ(plain.start(), 0);
    plain.set_foreign_control(true);
    plain.write_reg(gvcp::ACTION_GROUP_KEY_BASE, kGroupKey);
    EXPECT_FALSE(plain.read_reg(GVCP_Capability_Reg) &
                 (gvcp::CAPABILITY_ACTION | gvcp::CAPABILITY_SCHEDULED_ACTION | gvcp::CAPABILITY_IEEE1588));
    EXPECT_EQ(plain.read_reg(gvcp::NUMBER_OF_ACTION_SIGNALS_REG), 0u);
    // The broadcast reaches both; only this fixture's camera answers.
    actor.act(action(), 1, true);
    expect_next_ack(1, gvcp::STATUS_SUCCESS);
    probe(2);
    EXPECT_EQ(plain.actions_fired.load(), 0);
    EXPECT_TRUE(actor.nothing_waiting());
}

TEST_F(SimActions, FaultsIgnoreAnswerForAnyGroupOrAcknowledgeLate)
{
    sim.faults.action_ignore = true;
    actor.act(action(), 1);
    // The camera answers in order: once this is answered, the action was handled.
    uint32_t v = 0;
    ASSERT_EQ(app.read(gvcp::NUMBER_OF_ACTION_SIGNALS_REG, &v), 0);
    sim.faults.action_ignore = false;
    probe(2);
    EXPECT_EQ(sim.actions_fired.load(), 1);

    // The camera that answers for a group it is not in.
    sim.faults.action_any_group = true;
    actor.act(action(0x77, 0x100), 3);
    expect_next_ack(3, gvcp::STATUS_SUCCESS);
    EXPECT_GE(sim.actions_fired.load(), 2);
    sim.faults.action_any_group = false;
    const int fired = sim.actions_fired.load();

    // Fired at once, acknowledged after other commands were answered.
    sim.faults.action_ack_delay_ms = 2000 * kTestSlowdown;
    actor.act(action(), 4);
    ASSERT_EQ(app.read(gvcp::NUMBER_OF_ACTION_SIGNALS_REG, &v), 0);
    EXPECT_EQ(sim.actions_fired.load(), fired + 1);
    EXPECT_TRUE(actor.nothing_waiting());
    expect_next_ack(4, gvcp::STATUS_SUCCESS);
}

TEST_F(SimActions, HostileActionCommandsLeaveTheCameraAnswering)
{
    uint8_t cmd[64];
    gvcp::Action a = scheduled(sim.timestamp_ticks() + 1000000);
    const size_t len = gvcp::build_action(cmd, 1, a, true);
    for (size_t n = 0; n < len; ++n)
        actor.send(cmd, n);  // short
    gvcp::put_u16(cmd + 4, 0x0200);
    actor.send(cmd, len);  // a length that lies
    gvcp::build_action(cmd, 1, action(), true);
    cmd[1] |= gvcp::FLAG_SCHEDULED_ACTION;
    actor.send(cmd, gvcp::ACTION_CMD_LEN);  // scheduled, without its time
    std::mt19937 random(4);
    for (int k = 0; k < 200; ++k) {
        const size_t n = 8 + random() % 40;
        for (size_t i = 0; i < n; ++i)
            cmd[i] = static_cast<uint8_t>(random());
        cmd[0] = 0x42;
        gvcp::put_u16(cmd + 2, gvcp::ACTION_CMD);
        cmd[1] &= static_cast<uint8_t>(~gvcp::FLAG_ACK_REQUIRED);  // fuzz must not be answered
        actor.send(cmd, n, k % 2 == 0);
    }
    probe(2);
    EXPECT_EQ(sim.actions_fired.load(), 1);
    EXPECT_EQ(sim.scheduled_actions(), 0u);
    uint32_t v = 0;
    EXPECT_EQ(app.read(gvcp::NUMBER_OF_ACTION_SIGNALS_REG, &v), 0);
}

TEST_F(SimActions, PrecisionTimeListensCalibratesAndBecomesSlave)
{
    std::vector<uint32_t> seen;
    ASSERT_EQ(app.write(gvcp::GVCP_CONFIGURATION_REG, gvcp::CONFIGURATION_IEEE1588), 0);
    const bool slave = eventually([&] {
        uint32_t v = 0;
        if (app.read(gvcp::IEEE1588_STATUS_REG, &v) != 0)
            return false;
        v &= gvcp::IEEE1588_STATUS_MASK;
        if (seen.empty() || seen.back() != v)
            seen.push_back(v);
        return v == 9;
    });
    ASSERT_TRUE(slave);
    // Listening (4), uncalibrated (8), slave (9), in that order, none skipped back.
    const std::vector<uint32_t> order = {4, 8, 9};
    size_t at = 0;
    for (uint32_t v : seen) {
        while (at < order.size() && order[at] != v)
            ++at;
        EXPECT_LT(at, order.size()) << "state " << v << " out of order";
    }
    // Now on the master's time (the host's realtime clock).
    const int64_t master =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const int64_t camera = static_cast<int64_t>(sim.timestamp_ticks());
    EXPECT_LT(std::llabs(camera - master), 5000000000LL);

    // A reset does not take the clock from its master; turning it off does not step back.
    ASSERT_EQ(app.write(vsim::bootstrap::TIMESTAMP_CONTROL, 1), 0);
    const uint64_t before_off = sim.timestamp_ticks();
    EXPECT_GT(before_off, 1000000000000000000ULL);
    ASSERT_EQ(app.write(gvcp::GVCP_CONFIGURATION_REG, 0), 0);
    uint32_t v = 0;
    ASSERT_EQ(app.read(gvcp::IEEE1588_STATUS_REG, &v), 0);
    EXPECT_EQ(v, 3u);
    EXPECT_GE(sim.timestamp_ticks(), before_off);
}

}  // namespace
