// The receiver's core driven datagram by datagram on a clock that moves only
// when the test says so: reassembly, resend requests and their spacing,
// budgets, time-outs, error packets, block ids, the buffer budget and the
// statistics, each at the exact moment it must happen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <utility>
#include <vector>

#include "gvsp_codec.h"
#include "stream/block_assembler.h"
#include "stream/frame_pool.h"
#include "vora_pixel_format.h"

// Resend ranges compare and print by value.
static bool operator==(const ResendRange& a, const ResendRange& b)
{
    return a.block_id == b.block_id && a.first == b.first && a.last == b.last;
}

static void PrintTo(const ResendRange& r, std::ostream* os)
{
    *os << "{block " << r.block_id << ": " << r.first << ".." << r.last << "}";
}

namespace {

constexpr uint32_t kChunk = 100;                       // payload bytes per packet in these tests
constexpr int64_t kStart = 5'000'000'000;              // monotonic µs when a test begins
constexpr int64_t kWallStart = 1'700'000'000'000'000;  // wall-clock µs at the same moment
constexpr int64_t kMs = 1000;

struct Finished {
    uint32_t block_id;
    uint32_t status;
};

struct Frame {
    PhotoInfo info;
    std::vector<uint8_t> pixels;
};

class Assembler : public ::testing::Test {
protected:
    void open(uint32_t payload = 1000, long long tick_frequency = 1000000000LL)
    {
        payload_ = payload;
        DataStreamPrivateInfo info{};
        info.payload_size = payload;
        info.width = info.roi_size_x = 50;
        info.height = info.roi_size_y = 2;
        info.offset_x = 4;
        info.offset_y = 6;
        info.pixel_bytes = 6;
        info.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
        info.packet_count = (payload + kChunk - 1) / kChunk;
        info.cloud_unit = 10;
        packet_count_ = info.packet_count + 2;
        clock_.set_manual(kStart, kWallStart);
        assembler_.reset();
        pool_ = std::make_unique<FramePool>(payload, tunables_.max_buffer_length, &log_);
        assembler_ = std::make_unique<BlockAssembler>(ChannelSetup{info, 1, kChunk, tick_frequency}, tunables_, *pool_,
                                                      clock_, &log_);
    }
    void TearDown() override
    {
        assembler_.reset();
        pool_.reset();
    }

    // One datagram now, then the hand-over check the receive loop runs after it.
    void receive(const std::vector<uint8_t>& d)
    {
        StreamBlockData* block = assembler_->process_packet(d.data(), d.size(), clock_.monotonic_us(), &out_);
        collect();
        assembler_->check_block_complete(block, clock_.monotonic_us(), &out_);
        collect();
    }
    // A receive wait that ran out with nothing to read.
    void idle()
    {
        assembler_->check_block_complete(nullptr, clock_.monotonic_us(), &out_);
        collect();
    }
    void collect()
    {
        resends_.insert(resends_.end(), out_.resends.begin(), out_.resends.end());
        for (StreamBlockData* b : out_.finished)
            finished_.push_back({b->block_id, b->status});
    }
    std::vector<ResendRange> take_resends() { return std::exchange(resends_, {}); }
    std::vector<Finished> take_finished() { return std::exchange(finished_, {}); }

    static std::vector<uint8_t> header(uint16_t status, uint16_t block, uint8_t format, uint32_t id, size_t body)
    {
        std::vector<uint8_t> d(gvsp::HEADER_LEN + body, 0);
        gvsp::build_header(d.data(), status, block, format, id);
        return d;
    }
    static std::vector<uint8_t> leader_bytes(uint16_t block, uint64_t ticks = 5, uint16_t status = 0,
                                             uint16_t payload_type = gvsp::PAYLOAD_TYPE_IMAGE)
    {
        gvsp::Leader l{};
        l.payload_type = payload_type;
        l.timestamp = ticks;
        l.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
        l.size_x = 7;
        l.size_y = 3;
        l.offset_x = 16;
        l.offset_y = 8;
        std::vector<uint8_t> d(gvsp::LEADER_LEN);
        gvsp::build_leader(d.data(), status, block, l);
        return d;
    }
    void leader(uint16_t block, uint64_t ticks = 5, uint16_t status = 0, uint16_t type = gvsp::PAYLOAD_TYPE_IMAGE)
    {
        receive(leader_bytes(block, ticks, status, type));
    }
    void payload(uint16_t block, uint32_t id, uint16_t status = 0, size_t bytes = kChunk)
    {
        auto d = header(status, block, gvsp::FORMAT_PAYLOAD, id, bytes);
        std::fill(d.begin() + gvsp::HEADER_LEN, d.end(), static_cast<uint8_t>(id));
        receive(d);
    }
    void trailer(uint16_t block, uint16_t status = 0)
    {
        std::vector<uint8_t> d(gvsp::TRAILER_LEN);
        gvsp::build_trailer(d.data(), status, block, packet_count_ - 1, gvsp::Trailer{gvsp::PAYLOAD_TYPE_IMAGE, 3});
        receive(d);
    }
    void whole_block(uint16_t block, std::vector<uint32_t> skip = {})
    {
        auto skipped = [&](uint32_t id) { return std::find(skip.begin(), skip.end(), id) != skip.end(); };
        if (!skipped(0))
            leader(block);
        for (uint32_t id = 1; id + 1 < packet_count_; ++id)
            if (!skipped(id))
                payload(block, id);
        if (!skipped(packet_count_ - 1))
            trailer(block);
    }

    // What a capture would copy out of the oldest finished frame.
    bool capture(Frame* f)
    {
        PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(pool_->ready_queue));
        if (!frame)
            return false;
        f->info = *frame;
        f->pixels.assign(frame->pixel, frame->pixel + frame->payload_size);
        pool_->recycle(frame);
        return true;
    }

    // Captures every waiting frame, as a caller that keeps up does.
    void drain()
    {
        Frame f;
        while (capture(&f)) {
        }
    }

    const StreamCounters& counters() { return assembler_->counters; }

    StreamTunables tunables_;
    StreamClock clock_;
    cameralog log_;
    std::unique_ptr<FramePool> pool_;
    std::unique_ptr<BlockAssembler> assembler_;
    AssemblerOutput out_;
    std::vector<ResendRange> resends_;
    std::vector<Finished> finished_;
    uint32_t payload_ = 0, packet_count_ = 0;
};

static bool operator==(const Finished& a, const Finished& b)
{
    return a.block_id == b.block_id && a.status == b.status;
}

static void PrintTo(const Finished& f, std::ostream* os)
{
    *os << "{block " << f.block_id << " status " << f.status << "}";
}

TEST_F(Assembler, AnInOrderBlockIsHandedOverCompleteWithTheTrailer)
{
    open();
    leader(7);
    for (uint32_t id = 1; id <= 10; ++id)
        payload(7, id);
    EXPECT_TRUE(take_finished().empty());
    trailer(7);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{7, BLOCK_COMPLETE}}));

    Frame f;
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.block_id, 7);
    EXPECT_EQ(f.info.pixel_format, PIXEL_FORMAT_COORD3D_ABC16);
    EXPECT_EQ(f.info.pixel_width, 7u);
    EXPECT_EQ(f.info.pixel_height, 3u);
    EXPECT_EQ(f.info.roi.size_x, 7u);
    EXPECT_EQ(f.info.roi.offset_x, 16u);
    EXPECT_EQ(f.info.roi.offset_y, 8u);
    EXPECT_EQ(f.info.payload_size, 1000u);
    EXPECT_EQ(f.info.cloud_unit, 10u);
    EXPECT_EQ(f.info.stream_channel_index_, 1);
    EXPECT_EQ(f.info.timestamp_low, 5u);  // 5 ticks of a 1 GHz clock
    EXPECT_EQ(f.info.timestamp_high, 0u);
    for (uint32_t id = 1; id <= 10; ++id)
        EXPECT_EQ(f.pixels[(id - 1) * kChunk], id) << id;
    EXPECT_FALSE(capture(&f));
    EXPECT_EQ(counters().complete_block_num, 1u);
    EXPECT_EQ(counters().received_packet_num, 12u);
    EXPECT_TRUE(take_resends().empty());
    EXPECT_EQ(assembler_->blocks_in_progress(), 0u);
}

TEST_F(Assembler, ALostPacketIsAskedForOnceThenAgainOnlyAfterThePacketTimeout)
{
    open();
    leader(9);
    payload(9, 1);
    payload(9, 2);
    payload(9, 4);  // 3 is missing
    EXPECT_EQ(take_resends(), (std::vector<ResendRange>{{9, 3, 3}}));
    EXPECT_EQ(counters().resend_request_packet_num, 1u);

    clock_.advance(10 * kMs);
    payload(9, 5);
    clock_.advance(30 * kMs);  // exactly the packet timeout since the request: not yet
    payload(9, 6);
    EXPECT_TRUE(take_resends().empty());

    clock_.advance(1);  // now it is overdue: the next datagram's scan asks again
    payload(9, 7);
    EXPECT_EQ(take_resends(), (std::vector<ResendRange>{{9, 3, 3}}));

    // The resent packet completes the block, and is counted as resent.
    payload(9, 3, gvsp::STATUS_RESEND);
    for (uint32_t id = 8; id <= 10; ++id)
        payload(9, id);
    trailer(9);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{9, BLOCK_COMPLETE}}));
    EXPECT_EQ(counters().resent_packet_num, 1u);
    EXPECT_EQ(counters().resend_request_packet_num, 2u);
    EXPECT_TRUE(take_resends().empty());
}

TEST_F(Assembler, ABlockSilentForThePacketTimeoutIsAskedForItsMissingTail)
{
    open();
    leader(4);
    payload(4, 1);
    payload(4, 2);
    clock_.advance(40 * kMs - 1);
    idle();
    EXPECT_TRUE(take_resends().empty());
    clock_.advance(1);  // silent for the packet timeout: everything after 2 is asked for
    idle();
    EXPECT_EQ(take_resends(), (std::vector<ResendRange>{{4, 3, 11}}));
    clock_.advance(40 * kMs);  // requested exactly a timeout ago: not yet again
    idle();
    EXPECT_TRUE(take_resends().empty());
    clock_.advance(1);
    idle();
    EXPECT_EQ(take_resends(), (std::vector<ResendRange>{{4, 3, 11}}));
}

TEST_F(Assembler, TheResendBudgetBoundsCommandsPerBlock)
{
    open();
    tunables_.packet_timeout = 1000;  // requests become due again after 1 ms
    leader(3);
    for (int round = 0; round < 30; ++round) {
        payload(3, 10);  // a duplicate after the first: the block is scanned again each time
        clock_.advance(3 * kMs);
    }
    const auto all = take_resends();
    ASSERT_EQ(all.size(), 12u);  // packet_num (12) times the ratio 1.0
    for (const ResendRange& r : all)
        EXPECT_EQ(r, (ResendRange{3, 1, 9}));
    EXPECT_EQ(counters().duplicate_packet_num, 29u);

    // Ratio 0 asks for nothing at all.
    tunables_.packet_resend_ratio = 0.0;
    leader(4);
    payload(4, 5);
    clock_.advance(50 * kMs);
    idle();
    EXPECT_TRUE(take_resends().empty());
}

TEST_F(Assembler, WithoutResendANewerBlockSupersedesAnIncompleteOne)
{
    open();
    tunables_.packet_resend_flag = 0;
    whole_block(1, {4});
    EXPECT_TRUE(take_finished().empty());
    leader(2);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{1, BLOCK_SUPERSEDED}}));
    EXPECT_EQ(counters().incomplete_block_num, 1u);
    EXPECT_EQ(counters().complete_block_num, 0u);
    EXPECT_EQ(counters().lost_packet_num, 8u);  // packet_num 12 − 1 − last valid packet 3
    EXPECT_TRUE(take_resends().empty());
}

TEST_F(Assembler, AnIncompleteFrameShowsZeroWhereItsPacketsNeverCame)
{
    open();
    tunables_.packet_resend_flag = 0;
    whole_block(1);
    drain();  // its buffer goes back to the pool, filled
    whole_block(2, {4});
    leader(3);
    Frame f;
    ASSERT_TRUE(capture(&f));
    ASSERT_EQ(f.info.block_id, 2);
    const auto missing = f.pixels.begin() + 3 * kChunk;
    EXPECT_TRUE(std::all_of(missing, missing + kChunk, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(f.pixels[5 * kChunk], 6);  // what came is kept
}

TEST_F(Assembler, ASilentIncompleteBlockTimesOutAndHoldsNewerOnesBack)
{
    open();
    whole_block(1, {5});
    whole_block(2);  // complete, but behind block 1
    EXPECT_EQ(take_resends(), (std::vector<ResendRange>{{1, 5, 5}}));
    EXPECT_TRUE(take_finished().empty());
    Frame f;
    EXPECT_FALSE(capture(&f));

    clock_.advance(100 * kMs);  // silent exactly the block timeout: it still waits
    idle();
    EXPECT_TRUE(take_finished().empty());
    clock_.advance(1);
    idle();
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{1, BLOCK_TIMEOUT}, {2, BLOCK_COMPLETE}}));
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.block_id, 1);
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.block_id, 2);
    EXPECT_EQ(counters().timeout_block_num, 1u);
    EXPECT_EQ(counters().incomplete_block_num, 1u);
    EXPECT_EQ(counters().complete_block_num, 1u);
    EXPECT_EQ(counters().lost_packet_num, 7u);  // 12 − 1 − 4
}

TEST_F(Assembler, AnErrorPacketEndsTheBlockWithoutResends)
{
    open();
    leader(4);
    payload(4, 1);
    payload(4, 3, gvcp::STATUS_WRITE_PROTECT);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{4, BLOCK_ERROR}}));
    EXPECT_EQ(counters().error_block_num, 1u);
    EXPECT_EQ(counters().incomplete_block_num, 1u);
    EXPECT_TRUE(take_resends().empty());

    // An error packet never opens a block; a "not yet available" one is data.
    receive(header(gvcp::STATUS_WRITE_PROTECT, 5, gvsp::FORMAT_PAYLOAD, 1, kChunk));
    EXPECT_EQ(assembler_->blocks_in_progress(), 0u);
    EXPECT_EQ(counters().dropped_packet_num, 1u);
    leader(6);
    receive(header(gvsp::STATUS_NOT_YET_AVAILABLE, 6, gvsp::FORMAT_PAYLOAD, 1, kChunk));
    EXPECT_EQ(counters().duplicate_packet_num, 0u);
    payload(6, 1);
    EXPECT_EQ(counters().duplicate_packet_num, 1u);
}

TEST_F(Assembler, BlockIdsWrapPastZeroAndOldOrRestartedIdsAreSorted)
{
    open();
    whole_block(65534);  // the first block counts whatever its id
    whole_block(65535);
    whole_block(1);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{65534, 0}, {65535, 0}, {1, 0}}));
    EXPECT_EQ(counters().lost_block_num, 0u);  // 65535 → 1 is the next id
    drain();

    whole_block(5);
    EXPECT_EQ(counters().lost_block_num, 1u);  // 1 → 5 skipped frames
    whole_block(10);
    EXPECT_EQ(counters().lost_block_num, 2u);
    drain();
    const unsigned dropped = counters().dropped_packet_num;
    payload(5, 2);  // block 5 was handed over already
    EXPECT_EQ(counters().dropped_packet_num, dropped + 1);
    EXPECT_EQ(assembler_->blocks_in_progress(), 0u);
    whole_block(200);  // an increment of 190: a new block, one more lost count
    EXPECT_EQ(counters().lost_block_num, 3u);
    take_finished();
    drain();

    // A camera that restarted counts from 1 again: more than 99 behind, so
    // it is taken as a new block rather than dropped as already sent.
    whole_block(5000);
    whole_block(1);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{5000, 0}, {1, 0}}));
}

TEST_F(Assembler, PayloadPastTheFrameEndIsCutAndCounted)
{
    open(950);       // the last payload packet holds 50 bytes
    whole_block(2);  // packet 10 carries 100
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{2, BLOCK_COMPLETE}}));
    EXPECT_EQ(counters().overflow_packet_num, 1u);
    Frame f;
    ASSERT_TRUE(capture(&f));
    ASSERT_EQ(f.pixels.size(), 950u);
    EXPECT_EQ(f.pixels[949], 10);
}

TEST_F(Assembler, MisplacedAndMalformedPacketsAreCountedAndGoNoFurther)
{
    open();
    const uint8_t runt[4] = {0x00, 0x00, 0x00, 0x07};  // no header
    assembler_->process_packet(runt, sizeof runt, clock_.monotonic_us(), &out_);
    EXPECT_EQ(counters().received_packet_num, 1u);
    EXPECT_EQ(counters().dropped_packet_num, 1u);

    leader(3);
    receive(header(0, 3, gvsp::FORMAT_LEADER, 4, 36));        // a leader not at id 0
    receive(header(0, 3, gvsp::FORMAT_PAYLOAD, 11, kChunk));  // the trailer's id
    receive(header(0, 3, gvsp::FORMAT_TRAILER, 5, 8));        // a trailer in the middle
    receive(header(0, 3, 9, 6, kChunk));                      // an unknown format
    EXPECT_EQ(counters().format_error_packet_num, 3u);
    EXPECT_EQ(counters().dropped_packet_num, 2u);
    const uint8_t header_only[8] = {0, 0, 0, 3, gvsp::FORMAT_PAYLOAD, 0, 0, 2};
    receive(std::vector<uint8_t>(header_only, header_only + 8));  // no data: copies nothing
    EXPECT_EQ(counters().overflow_packet_num, 0u);
}

TEST_F(Assembler, ALeaderTooShortForItsFieldsIsRefusedAndAskedForAgain)
{
    open();
    auto runt_leader = leader_bytes(8);
    runt_leader.resize(30);  // image fields cut off
    receive(runt_leader);
    EXPECT_EQ(counters().format_error_packet_num, 1u);
    for (uint32_t id = 1; id <= 10; ++id)
        payload(8, id);
    trailer(8);
    // Packet 0 never counted as arrived: asked for, and the block waits for it.
    EXPECT_EQ(take_resends(), (std::vector<ResendRange>{{8, 0, 0}}));
    EXPECT_TRUE(take_finished().empty());
    receive(leader_bytes(8, 5, gvsp::STATUS_RESEND));
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{8, BLOCK_COMPLETE}}));
    Frame f;
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.pixel_width, 7u);
}

TEST_F(Assembler, AFrameWithoutItsLeaderCarriesTheChannelsGeometry)
{
    open();
    tunables_.packet_resend_flag = 0;
    whole_block(1);
    Frame f;
    ASSERT_TRUE(capture(&f));  // the buffer now holds block 1's time stamp and id
    whole_block(2, {0});
    leader(3);
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.pixel_width, 50u);
    EXPECT_EQ(f.info.pixel_height, 2u);
    EXPECT_EQ(f.info.roi.size_x, 50u);
    EXPECT_EQ(f.info.roi.offset_x, 4u);
    EXPECT_EQ(f.info.roi.offset_y, 6u);
    // Not the buffer's previous frame's id and time: the id its packets
    // carry, and no time.
    EXPECT_EQ(f.info.block_id, 2);
    EXPECT_EQ(f.info.timestamp_low, 0u);
    EXPECT_EQ(f.info.timestamp_high, 0u);
}

TEST_F(Assembler, TheBufferBudgetDropsNewFramesAndKeepsWaitingOnes)
{
    open();
    for (uint16_t b = 1; b <= 6; ++b)
        whole_block(b);
    // Blocks 5 and 6 found no buffer: every datagram's attempt is counted.
    EXPECT_EQ(counters().no_buffer_block_num, 24u);
    EXPECT_EQ(pool_->buffers(), 4u);
    Frame f;
    for (uint16_t b = 1; b <= 4; ++b) {
        ASSERT_TRUE(capture(&f));
        EXPECT_EQ(f.info.block_id, b);
    }
    EXPECT_FALSE(capture(&f));

    // Flushing drops waiting frames.
    whole_block(7);
    while (pool_->flush_one()) {
    }
    EXPECT_FALSE(capture(&f));

    // A lower budget frees the surplus as buffers come back.
    tunables_.max_buffer_length = 1;
    whole_block(8);
    EXPECT_EQ(pool_->buffers(), 1u);
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.block_id, 8);
    whole_block(9);
    whole_block(10);  // the one buffer waits with block 9
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.block_id, 9);
    EXPECT_FALSE(capture(&f));
}

TEST_F(Assembler, ReceiveTimesGoToTheirBinsAndRatesCoverTheirWindows)
{
    open();
    whole_block(1);  // within the same microsecond
    leader(2);
    clock_.advance(2300);
    for (uint32_t id = 1; id <= 10; ++id)
        payload(2, id);
    trailer(2);  // 2.3 ms after its first datagram
    leader(3);
    clock_.advance(1'500'000);
    for (uint32_t id = 1; id <= 10; ++id)
        payload(3, id);
    trailer(3);  // 1.5 s after: past the last bin
    EXPECT_EQ(take_finished().size(), 3u);

    StatisticsData s;
    assembler_->statistics.copy_histogram(&s);
    EXPECT_EQ(s.count, 3);
    EXPECT_EQ(s.bin_steps, 1000u);
    EXPECT_EQ(s.n_bins, 1000u);
    EXPECT_EQ(s.bins[0], 1);
    EXPECT_EQ(s.bins[2], 1);
    EXPECT_EQ(s.add_more, 1);
    EXPECT_EQ(s.add_less, 0);
    EXPECT_EQ(s.min, 0);
    EXPECT_EQ(s.max, 1'500'000);

    // 36 datagrams (12 × 3) of known sizes, the window closing with the
    // first datagram after more than a second: block 3's payload 1.
    const double bytes = 3 * (44 + 28) + 30 * (108 + 28) + 3 * (16 + 28);
    const double window_bytes = bytes - 9 * (108 + 28) - (16 + 28);  // what came before and with it
    EXPECT_EQ(assembler_->statistics.net_speed(), static_cast<uint32_t>(static_cast<float>(window_bytes) / 1.5023f));
    // Blocks: the window opens with block 1 and closes with block 3.
    EXPECT_FLOAT_EQ(assembler_->statistics.block_rate(), 3.0f / 1.5023f);
}

TEST_F(Assembler, StoppingHandsOverEveryBlockInFlightAsFlushed)
{
    open();
    whole_block(1, {3});
    leader(2);
    assembler_->flush_blocks(clock_.monotonic_us(), &out_);
    collect();
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{1, BLOCK_FLUSHED}, {2, BLOCK_FLUSHED}}));
    EXPECT_EQ(counters().flushed_block_num, 2u);
    EXPECT_EQ(counters().incomplete_block_num, 0u);
    Frame f;
    EXPECT_TRUE(capture(&f));
    EXPECT_TRUE(capture(&f));
    // A block still open when the assembler goes is given back unseen.
    leader(3);
    assembler_.reset();
    EXPECT_FALSE(capture(&f));
}

TEST_F(Assembler, TimeStampsComeFromTicksOrTheHostClockAndSaturate)
{
    open();
    leader(1, 3'000'000'000ull);  // 3 s of a 1 GHz clock
    for (uint32_t id = 1; id <= 10; ++id)
        payload(1, id);
    trailer(1);
    Frame f;
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.timestamp_low, 3'000'000'000ull);
    EXPECT_EQ(f.info.timestamp_high, 0u);

    whole_block(2);
    receive(leader_bytes(3, 5, 0, gvsp::PAYLOAD_TYPE_H264));
    for (uint32_t id = 1; id <= 10; ++id)
        payload(3, id);
    trailer(3);
    ASSERT_TRUE(capture(&f));
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.timestamp_low, static_cast<uint64_t>(kWallStart) * 1000);
    EXPECT_EQ(f.info.timestamp_high, f.info.timestamp_low >> 32);

    EXPECT_EQ(ticks_to_ns(UINT64_MAX, 1), UINT64_MAX);
    EXPECT_EQ(ticks_to_ns(UINT64_MAX, 1000000000LL), UINT64_MAX);  // rounds to 2^64: no cast of it
    EXPECT_EQ(ticks_to_ns(125, 125000000LL), 1000u);
    // A 1 GHz clock counting from 1970 keeps its last nanosecond.
    EXPECT_EQ(ticks_to_ns(1700000000123456789ULL, 1000000000LL), 1700000000123456789ULL);
    EXPECT_EQ(ticks_to_ns(3, 3000000000LL), 1u);

    // Without a tick frequency every leader takes the host's clock.
    open(1000, 0);
    clock_.advance(7);
    leader(1);
    for (uint32_t id = 1; id <= 10; ++id)
        payload(1, id);
    trailer(1);
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.timestamp_low, static_cast<uint64_t>(kWallStart + 7) * 1000);
}

}  // namespace

namespace {

TEST_F(Assembler, ALeaderLargerThanTheChannelsFramesPutsItsBlockInError)
{
    open();
    auto huge = leader_bytes(5);
    gvcp::put_u32(huge.data() + gvsp::LEADER_SIZE_X, 65535);
    gvcp::put_u32(huge.data() + gvsp::LEADER_SIZE_Y, 65535);
    receive(huge);
    for (uint32_t id = 1; id <= 10; ++id)
        payload(5, id);
    trailer(5);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{5, BLOCK_ERROR}}));
    EXPECT_TRUE(take_resends().empty());
    Frame f;
    ASSERT_TRUE(capture(&f));
    EXPECT_EQ(f.info.pixel_width, 50u);  // the channel's geometry, not the claim
    EXPECT_EQ(f.info.pixel_height, 2u);
    EXPECT_EQ(counters().error_block_num, 1u);

    // So does a format of unknown size; a smaller frame than the channel's fits.
    auto odd = leader_bytes(6);
    gvcp::put_u32(odd.data() + gvsp::LEADER_PIXEL_FORMAT, 0x01100010);
    receive(odd);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{6, BLOCK_ERROR}}));
    whole_block(7);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{7, BLOCK_COMPLETE}}));
}

TEST_F(Assembler, ATrailerTooShortForItsFieldsIsRefused)
{
    open();
    whole_block(3, {11});
    receive(header(0, 3, gvsp::FORMAT_TRAILER, 11, 2));  // 10 bytes: no payload type
    EXPECT_EQ(counters().format_error_packet_num, 1u);
    EXPECT_TRUE(take_finished().empty());
    trailer(3);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{3, BLOCK_COMPLETE}}));
}

TEST_F(Assembler, BlockIdsThatRestartOrJumpBackAreFollowedFromTheSecondBlock)
{
    open();
    for (uint16_t b = 1; b <= 50; ++b) {
        whole_block(b);
        drain();
    }
    take_finished();
    // The camera restarts its count at 1: block 1 looks already sent, block
    // 2 shows a new sequence.
    for (uint16_t b = 1; b <= 50; ++b) {
        whole_block(b);
        drain();
    }
    auto finished = take_finished();
    ASSERT_EQ(finished.size(), 49u);
    EXPECT_EQ(finished.front().block_id, 2u);
    EXPECT_EQ(finished.back().block_id, 50u);
    EXPECT_EQ(counters().lost_block_num, 1u);

    // A jump back by 20 is followed the same way.
    for (uint16_t b = 31; b <= 70; ++b) {
        whole_block(b);
        drain();
    }
    finished = take_finished();
    ASSERT_EQ(finished.size(), 39u);
    EXPECT_EQ(finished.front().block_id, 32u);
    EXPECT_EQ(counters().lost_block_num, 2u);

    // A late duplicate of an old leader is not a new sequence.
    receive(leader_bytes(60));
    whole_block(71);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{71, BLOCK_COMPLETE}}));
    EXPECT_EQ(counters().lost_block_num, 2u);
}

}  // namespace

namespace {

TEST_F(Assembler, AMissingTailIsAskedForAsSoonAsTheNextBlockBegins)
{
    open();
    whole_block(1, {10, 11});             // the last payload packet and the trailer are lost
    EXPECT_TRUE(take_resends().empty());  // nothing says yet that they will not come
    leader(2);
    EXPECT_EQ(take_resends(), (std::vector<ResendRange>{{1, 10, 11}}));
    payload(2, 1);  // and not again while the request is fresh
    EXPECT_TRUE(take_resends().empty());
    payload(1, 10, gvsp::STATUS_RESEND);
    trailer(1);
    EXPECT_EQ(take_finished(), (std::vector<Finished>{{1, BLOCK_COMPLETE}}));
}

TEST_F(Assembler, RequestsForAPacketThatDoesNotComeBackOff)
{
    open();
    tunables_.block_timeout = 10'000'000;
    whole_block(4, {1});  // asked for at once
    EXPECT_EQ(take_resends(), (std::vector<ResendRange>{{4, 1, 1}}));
    // Due again after 40 ms, then 80, then 160, then every 320 ms.
    std::vector<int64_t> asked_at;
    for (int64_t t = 0; t <= 1200; ++t) {
        clock_.advance(kMs);
        idle();
        if (!take_resends().empty())
            asked_at.push_back(t + 1);
    }
    EXPECT_EQ(asked_at, (std::vector<int64_t>{41, 122, 283, 604, 925}));
}

}  // namespace
