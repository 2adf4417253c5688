// Register and memory access of a camera object against the simulated camera.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "gvcp_codec.h"
#include "sim_fixture.h"

namespace {

using Transport = SimCameraTest;

uint16_t req_id_of(const std::vector<uint8_t>& cmd)
{
    return gvcp::get_u16(cmd.data() + 6);
}

// Waits until a datagram is queued on this process's UDP socket bound to
// `port`; false when there is none within the deadline.
bool datagram_waiting_on(unsigned short port)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET ||
            ntohs(a.sin_port) != port)
            continue;
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000) == 1;
    }
    return false;
}

TEST_F(Transport, ReadsAndWritesRegisters)
{
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(Number_of_Stream_Channels_Reg, &value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(camera.WriteRegister(Heartbeat_Timeout_Reg, 5000), 0);
    EXPECT_EQ(camera.ReadRegister(Heartbeat_Timeout_Reg, &value), 0);
    EXPECT_EQ(value, 5000);
    EXPECT_EQ(sim->read_reg(Heartbeat_Timeout_Reg), 5000u);

    // What went on the wire: one command each, request ids counting up.
    auto cmds = sim->commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0].size(), 12u);
    EXPECT_EQ(cmds[1].size(), 16u);
    EXPECT_EQ(req_id_of(cmds[1]), req_id_of(cmds[0]) + 1);
}

TEST_F(Transport, DeviceErrorStatusesArePassedOnAndLeaveTheValueAtMinusOne)
{
    int value = 7;
    EXPECT_EQ(camera.ReadRegister(0x0B00, &value), 0x8003);  // unmapped
    EXPECT_EQ(value, -1);
    EXPECT_EQ(camera.WriteRegister(Number_of_Stream_Channels_Reg, 1), 0x8004);  // read-only

    sim->faults.status = 0x8006;
    value = 7;
    EXPECT_EQ(camera.ReadRegister(Heartbeat_Timeout_Reg, &value), 32774);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(camera.WriteRegister(Heartbeat_Timeout_Reg, 1), 32774);
    sim->faults.status = 0;

    // The real thing: another application holds control.
    sim->set_foreign_control(true);
    EXPECT_EQ(camera.WriteRegister(Heartbeat_Timeout_Reg, 4000), 0x8006);
    EXPECT_EQ(camera.WriteRegister(Control_Channel_Privilage_Reg, 2), 0x8006);
    EXPECT_EQ(camera.ReadRegister(Control_Channel_Privilage_Reg, &value), 0);
    EXPECT_EQ(value, 2);
}

TEST_F(Transport, UnansweredReadGivesUpAfterThreeSends)
{
    sim->faults.silent = true;
    int value = 7;
    int result = 0;
    long long ms = elapsed_ms([&] { result = camera.ReadRegister(Heartbeat_Timeout_Reg, &value); });
    EXPECT_EQ(result, VORA_ERR_READREG_TIMEOUT);
    EXPECT_EQ(value, -1);
    EXPECT_GE(ms, 2000);  // three waits of 500 ms and three pauses of 200 ms
    auto cmds = sim->commands();
    ASSERT_EQ(cmds.size(), 3u);
    // Every retry is the same datagram with the same id.
    EXPECT_EQ(cmds[0], cmds[1]);
    EXPECT_EQ(cmds[1], cmds[2]);
}

TEST_F(Transport, UnansweredWriteAndMemoryAccessReportTheirOwnCodes)
{
    sim->faults.silent = true;
    char buffer[600];
    EXPECT_EQ(camera.ReadMem(0x0048, 32, buffer), VORA_ERR_READMEM_TIMEOUT);
    EXPECT_EQ(camera.WriteMem(0x00E8, 4, 0x41424344), VORA_ERR_WRITEMEM_TIMEOUT);
    EXPECT_EQ(camera.WriteRegister(Heartbeat_Timeout_Reg, 1000), VORA_ERR_WRITEREG_TIMEOUT);
}

TEST_F(Transport, ADroppedFirstAttemptIsRetried)
{
    sim->faults.drop_next = 1;
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(Number_of_Stream_Channels_Reg, &value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(sim->command_count(), 2u);
}

TEST_F(Transport, RequestIdsWrapFrom65535ToOne)
{
    while (camera.next_req_id() != 65534) {
    }
    int value = 0;
    ASSERT_EQ(camera.ReadRegister(Number_of_Stream_Channels_Reg, &value), 0);
    ASSERT_EQ(camera.ReadRegister(Number_of_Stream_Channels_Reg, &value), 0);
    auto cmds = sim->commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(req_id_of(cmds[0]), 65535);
    EXPECT_EQ(req_id_of(cmds[1]), 1);
}

// Stale, foreign and truncated datagrams are never taken as the answer.
class StrayTest : public SimCameraTest, public ::testing::WithParamInterface<vsim::Stray> {};

TEST_P(StrayTest, OnlyTheMatchingAcknowledgeCounts)
{
    sim->faults.stray = static_cast<int>(GetParam());
    for (int i = 0; i < 20; ++i) {
        int value = 0;
        ASSERT_EQ(camera.ReadRegister(Heartbeat_Timeout_Reg, &value), 0);
        ASSERT_EQ(value, 3000);
        char mem[600];
        ASSERT_EQ(camera.ReadMem(0x00D8, 16, mem), 0);
        ASSERT_STREQ(mem + 12, "SIM00001");
    }
    EXPECT_EQ(sim->command_count(), 40u);  // every answer accepted on the first attempt
}

INSTANTIATE_TEST_SUITE_P(Kinds, StrayTest,
                         ::testing::Values(vsim::Stray::StaleId, vsim::Stray::ForeignPort, vsim::Stray::Runt));

TEST_F(Transport, DatagramsQueuedBeforeACommandAreDiscarded)
{
    int value = 0;
    ASSERT_EQ(camera.ReadRegister(Number_of_Stream_Channels_Reg, &value), 0);
    // Plant, from the camera's own port, an acknowledge that carries the id
    // the next command will use: only the flush before sending can tell it
    // from the real answer.
    const uint16_t next = static_cast<uint16_t>(req_id_of(sim->commands().back()) + 1);
    uint8_t fake[12];
    gvcp::put_ack_header(fake, 0, gvcp::READREG_ACK, 4, next);
    gvcp::put_u32(fake + 8, 0xDEAD);
    ASSERT_EQ(sim->send_raw(kLoopback, camera.control_port(), fake, sizeof fake), 12);
    ASSERT_TRUE(datagram_waiting_on(camera.control_port()));
    ASSERT_EQ(camera.ReadRegister(Heartbeat_Timeout_Reg, &value), 0);
    EXPECT_EQ(value, 3000);
}

TEST_F(Transport, LateAnswerWithinTheWaitIsTaken)
{
    sim->faults.delay_ms = 300;
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(Number_of_Stream_Channels_Reg, &value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(sim->command_count(), 1u);
}

TEST_F(Transport, ReadMemReturnsTheWholeAcknowledgeAndRefusesBadArguments)
{
    char buffer[600];
    std::memset(buffer, 0x7E, sizeof buffer);
    ASSERT_EQ(camera.ReadMem(0x0048, 32, buffer), 0);
    EXPECT_EQ(gvcp::get_u32(reinterpret_cast<uint8_t*>(buffer) + 8), 0x0048u);  // address echoed
    EXPECT_STREQ(buffer + 12, "Vora Vision");

    sim->clear_commands();
    EXPECT_EQ(camera.ReadMem(0x0048, 32, nullptr), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(camera.ReadMem(0x0048, 540, buffer), VORA_ERR_INVALID_ARG);  // would overflow 548 bytes
    EXPECT_EQ(sim->command_count(), 0u);

    EXPECT_EQ(camera.ReadMem(0x0FF0, 32, buffer), 0x8003);  // runs off the mapped space
}

TEST_F(Transport, WriteMemWritesOneWord)
{
    // The user-name field is writable; the command carries reserved and
    // count ahead of the data word, so the word at the address is 0x00000004.
    EXPECT_EQ(camera.WriteMem(0x00E8, 4, 0x41424344), 0);
    EXPECT_EQ(sim->read_reg(0x00E8), 4u);
    EXPECT_EQ(camera.WriteMem(0x0048, 4, 1), 0x8004);
}

TEST_F(Transport, TwoThreadsEachGetTheirOwnRegister)
{
    sim->write_reg(0x0954, 0x11111111);
    std::atomic<int> wrong{0};
    auto reader = [&](unsigned address, int expected) {
        for (int i = 0; i < 300; ++i) {
            int value = 0;
            if (camera.ReadRegister(address, &value) != 0 || value != expected)
                ++wrong;
        }
    };
    std::thread a(reader, Heartbeat_Timeout_Reg, 3000);
    std::thread b(reader, 0x0954u, 0x11111111);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(sim->command_count(), 600u);
}

TEST_F(Transport, ClosedChannelAnswersAtOnce)
{
    camera.close_control_channel();
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(Heartbeat_Timeout_Reg, &value), -53);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(sim->command_count(), 0u);
}

}  // namespace
