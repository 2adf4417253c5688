// The simulated camera's stream scheduler and resend server, without
// sockets: which channels send when (acquisition, aiming, software
// triggers, frame rate, a feed's own pace, a stopped channel), and what a
// resend request is answered with.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <vector>

#include "gvcp_codec.h"
#include "gvsp_codec.h"
#include "sim_resend.h"
#include "sim_scheduler.h"
#include "vora_pixel_format.h"

namespace {

using vsim::ChannelConfig;
using vsim::Packet;
using vsim::ResendServer;
using vsim::Scheduler;
using vsim::StreamRegisters;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Due = std::vector<size_t>;

// A frame source that only records what the scheduler tells it and, when
// paced, says when frames are due.
struct FakeSource : vsim::FrameSource {
    bool paced_by_source = false;
    std::map<size_t, Clock::time_point> due_at;  // channels with a frame ready
    int started = 0;
    std::vector<size_t> reconfigured_channels;

    void acquisition_started() override { ++started; }
    bool paced() const override { return paced_by_source; }
    bool due(size_t channel, Clock::time_point* when) const override
    {
        auto it = due_at.find(channel);
        if (it == due_at.end())
            return false;
        *when = it->second;
        return true;
    }
    void reconfigured(size_t channel) override { reconfigured_channels.push_back(channel); }
    bool take(size_t, const ChannelConfig&, vsim::SourceFrame*) override { return false; }
};

// Three channels aimed at the host, channel 1 showing the colour sensor.
StreamRegisters aimed(bool acquiring = true)
{
    StreamRegisters r;
    r.acquiring = acquiring;
    r.channels.resize(3);
    for (size_t n = 0; n < 3; ++n) {
        ChannelConfig& c = r.channels[n].config;
        c.host = 0x7F000001;
        c.port = static_cast<uint32_t>(5000 + n);
        c.packet_size = 1500;
        c.sensor = static_cast<uint32_t>(n);
        c.width = 64;
        c.height = 8;
        r.channels[n].colour = n == 1;
    }
    return r;
}

struct Scheduling : ::testing::Test {
    const Clock::time_point t0 = Clock::now();
    Scheduler scheduler{3, t0};
    FakeSource source;
    std::atomic<int> triggers{0}, rgb_triggers{0};

    Scheduler::Plan plan(const StreamRegisters& r, Clock::time_point now)
    {
        return scheduler.plan(r, source, triggers, rgb_triggers, now);
    }
};

TEST_F(Scheduling, NothingIsDueBeforeAcquisitionNorOnAChannelNotAimed)
{
    EXPECT_EQ(plan(aimed(false), t0).due, Due{});
    EXPECT_EQ(source.started, 0);
    EXPECT_LE(scheduler.wake_at(), t0 + milliseconds(50));

    StreamRegisters r = aimed();
    r.channels[1].config.port = 0;
    r.channels[2].config.packet_size = vsim::GVSP_OVERHEAD;  // no room for a byte of payload
    Scheduler::Plan p = plan(r, t0);
    EXPECT_EQ(p.due, Due{0});
    EXPECT_TRUE(p.started);
    EXPECT_EQ(source.started, 1);
    r.channels[0].config.host = 0;
    p = plan(r, t0);
    EXPECT_EQ(p.due, Due{});
    EXPECT_FALSE(p.started) << "acquisition started once";
    EXPECT_TRUE(scheduler.acquiring());
}

TEST_F(Scheduling, FreeRunningFramesFollowTheFrameRateAndALateOneDoesNotCatchUp)
{
    StreamRegisters r = aimed();
    r.channels.resize(1);
    EXPECT_EQ(plan(r, t0).due, Due{0});
    scheduler.sent(0, 10, t0);
    EXPECT_EQ(plan(r, t0 + milliseconds(50)).due, Due{});
    EXPECT_EQ(scheduler.wake_at(), t0 + milliseconds(100));
    EXPECT_EQ(plan(r, t0 + milliseconds(100)).due, Due{0});
    // Sent 250 ms late: the next frame is one period after it, not three at once.
    scheduler.sent(0, 10, t0 + milliseconds(350));
    EXPECT_EQ(plan(r, t0 + milliseconds(350)).due, Due{0});
    scheduler.sent(0, 10, t0 + milliseconds(350));
    EXPECT_EQ(plan(r, t0 + milliseconds(449)).due, Due{});
    EXPECT_EQ(plan(r, t0 + milliseconds(450)).due, Due{0});
    // No frame rate: one frame a second.
    scheduler.sent(0, 0, t0 + milliseconds(450));
    EXPECT_EQ(plan(r, t0 + milliseconds(1449)).due, Due{});
    EXPECT_EQ(plan(r, t0 + milliseconds(1450)).due, Due{0});
}

TEST_F(Scheduling, TriggeredSensorsSendAFramePerSoftwareTrigger)
{
    StreamRegisters r = aimed();
    r.triggered = true;  // depth sensors: channels 0 and 2
    triggers = 2;
    // The colour sensor runs free; one trigger exposes both depth sensors together.
    EXPECT_EQ(plan(r, t0).due, (Due{0, 1, 2}));
    EXPECT_EQ(triggers, 1);
    EXPECT_EQ(plan(r, t0).due, (Due{0, 1, 2}));
    EXPECT_EQ(triggers, 0);
    EXPECT_EQ(plan(r, t0 + milliseconds(500)).due, Due{1});

    r.rgb_triggered = true;
    rgb_triggers = 1;
    EXPECT_EQ(plan(r, t0).due, Due{1});
    EXPECT_EQ(plan(r, t0).due, Due{});
    // Triggers wait while nothing is acquired.
    triggers = 1;
    EXPECT_EQ(plan(aimed(false), t0).due, Due{});
    EXPECT_EQ(triggers, 1);
}

TEST_F(Scheduling, AStoppedChannelSendsNothingUntilItIsSetUpAnew)
{
    StreamRegisters r = aimed();
    r.channels.resize(1);
    EXPECT_EQ(plan(r, t0).due, Due{0});
    EXPECT_EQ(source.reconfigured_channels, Due{0});
    scheduler.stop(0);
    EXPECT_EQ(plan(r, t0 + milliseconds(500)).due, Due{});
    r.channels[0].config.packet_size = 1400;
    EXPECT_EQ(plan(r, t0 + milliseconds(500)).due, Due{0});
    EXPECT_EQ(source.reconfigured_channels, (Due{0, 0}));
    EXPECT_EQ(scheduler.config(0).packet_size, 1400u);
}

TEST_F(Scheduling, ASourceWithItsOwnPaceSaysWhenEachFrameIsDue)
{
    source.paced_by_source = true;
    source.due_at[0] = t0 + milliseconds(30);  // channels 1 and 2 have no frame ready
    EXPECT_EQ(plan(aimed(), t0).due, Due{});
    EXPECT_EQ(scheduler.wake_at(), t0 + milliseconds(30));
    EXPECT_EQ(plan(aimed(), t0 + milliseconds(30)).due, Due{0});
    source.due_at[2] = t0;
    EXPECT_EQ(plan(aimed(), t0 + milliseconds(30)).due, (Due{0, 2}));
}

// A block of 95 bytes in 10-byte packets: payload ids 1..10, trailer 11.
vsim::SentBlock block_of(uint16_t id, uint8_t first_byte = 1, uint32_t chunk = 10)
{
    std::vector<uint8_t> bytes(95);
    std::iota(bytes.begin(), bytes.end(), first_byte);
    const vsim::FrameData frame{std::make_shared<const std::vector<uint8_t>>(bytes), PIXEL_FORMAT_MONO8, 95, 1, 0, 0};
    return vsim::cut_block(id, 99, frame, chunk);
}

gvsp::Header header(const Packet& p)
{
    gvsp::Header h{};
    EXPECT_TRUE(gvsp::parse_header(p.head, p.head_len, &h));
    return h;
}

TEST(ResendServer, AKeptBlocksPacketsComeBackWithTheResendStatusUpToItsTrailer)
{
    ResendServer server(3, 8);
    const vsim::SentBlock block = block_of(5);
    server.keep(0, block_of(4));
    server.keep(0, block);
    const std::vector<Packet> some = server.answer({0, 5, 3, 5});
    ASSERT_EQ(some.size(), 3u);
    for (uint32_t k = 0; k < 3; ++k) {
        const gvsp::Header h = header(some[k]);
        EXPECT_EQ(h.packet_id, 3 + k);
        EXPECT_EQ(h.block_id, 5);
        EXPECT_EQ(h.status, gvcp::STATUS_PACKET_RESEND);
        const Packet original = vsim::make_packet(block, 3 + k, 0);
        ASSERT_EQ(some[k].data_len, original.data_len);
        EXPECT_EQ(std::memcmp(some[k].data, original.data, original.data_len), 0);
    }
    const std::vector<Packet> tail = server.answer({0, 5, 9, 1000});
    ASSERT_EQ(tail.size(), 3u);
    EXPECT_EQ(header(tail[2]).packet_id, 11u);
    EXPECT_EQ(header(tail[2]).format, gvsp::FORMAT_TRAILER);
    const std::vector<Packet> leader = server.answer({0, 5, 0, 0});
    ASSERT_EQ(leader.size(), 1u);
    gvsp::Leader l{};
    ASSERT_TRUE(gvsp::parse_leader(leader[0].head, leader[0].head_len, &l));
    EXPECT_EQ(l.timestamp, 99u);
    EXPECT_EQ(l.size_x, 95u);
}

TEST(ResendServer, ABlockNoLongerKeptGetsOneBareHeaderSayingSo)
{
    ResendServer server(1, 2);
    for (uint16_t id = 1; id <= 3; ++id)
        server.keep(0, block_of(id));
    for (uint16_t gone : {uint16_t(1), uint16_t(99)}) {
        const std::vector<Packet> answer = server.answer({0, gone, 4, 6});
        ASSERT_EQ(answer.size(), 1u) << gone;
        EXPECT_EQ(answer[0].head_len, gvsp::HEADER_LEN);
        EXPECT_EQ(answer[0].data_len, 0u);
        const gvsp::Header h = header(answer[0]);
        EXPECT_EQ(h.status, gvcp::STATUS_PACKET_UNAVAILABLE);
        EXPECT_EQ(h.block_id, gone);
        EXPECT_EQ(h.packet_id, 4u);
    }
    // Asked beyond the trailer: the trailer's id is named.
    EXPECT_EQ(header(server.answer({0, 1, 50, 60})[0]).packet_id, 11u);
    EXPECT_EQ(server.answer({0, 2, 1, 1}).size(), 1u);
    EXPECT_EQ(header(server.answer({0, 2, 1, 1})[0]).status, gvcp::STATUS_PACKET_RESEND);
}

TEST(ResendServer, AChannelThatKeepsNoBlockAnswersNothing)
{
    ResendServer server(2, 8);
    server.keep(0, block_of(1));
    EXPECT_TRUE(server.answer({1, 1, 1, 1}).empty());
    EXPECT_TRUE(server.answer({7, 1, 1, 1}).empty());
    ResendServer keeps_none(1, 0);
    keeps_none.keep(0, block_of(1));
    EXPECT_TRUE(keeps_none.answer({0, 1, 1, 1}).empty());
}

TEST(ResendServer, TheNewestBlockOfAnIdAnswersWithTheBytesItCarried)
{
    // Block ids start again (a restart): the newest block of the id counts.
    // And every block is cut as it was sent, whatever came after it.
    ResendServer server(1, 8);
    server.keep(0, block_of(1, 1, 10));
    server.keep(0, block_of(1, 101, 20));
    server.keep(0, block_of(2, 1, 10));
    const std::vector<Packet> answer = server.answer({0, 1, 2, 2});
    ASSERT_EQ(answer.size(), 1u);
    ASSERT_EQ(answer[0].data_len, 20u);
    EXPECT_EQ(answer[0].data[0], 121);
}

}  // namespace
