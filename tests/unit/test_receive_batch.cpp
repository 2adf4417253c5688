// Zero-copy reception: datagrams scattered by the kernel (emulated here)
// straight into the frames where the assembler expects them. Whatever the
// order the packets come in, complete frames are the same bytes as when
// every datagram is copied whole, and nothing lands where it could spoil
// data already received.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "gvsp_codec.h"
#include "kernel_scatter.h"
#include "stream/block_assembler.h"
#include "stream/frame_pool.h"
#include "stream/receive_batch.h"
#include "vora_pixel_format.h"

namespace {

constexpr uint32_t kCamera = 0x7F000001;
constexpr uint32_t kChunk = 1000;

// One receiver: a pool, an assembler and the frames it finished.
struct Receiver {
    explicit Receiver(uint32_t payload)
    {
        info.payload_size = payload;
        info.packet_count = (payload + kChunk - 1) / kChunk;
        info.width = info.height = 1;
        info.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
        clock.set_manual(1'000'000'000, 0);
        tunables.max_buffer_length = 64;
        pool = std::make_unique<FramePool>(payload, tunables.max_buffer_length, &log);
        assembler = std::make_unique<BlockAssembler>(ChannelSetup{info, 0, kChunk, 1000}, tunables, *pool, clock, &log);
    }
    ~Receiver()
    {
        assembler.reset();
        pool.reset();
    }
    void step(StreamBlockData* block)
    {
        assembler->check_block_complete(block, clock.monotonic_us(), &out);
        for (StreamBlockData* b : out.finished)
            if (b->status == BLOCK_COMPLETE)
                complete.emplace_back(b->photo->pixel, b->photo->pixel + info.payload_size);
    }
    DataStreamPrivateInfo info{};
    cameralog log;
    StreamTunables tunables;
    StreamClock clock;
    std::unique_ptr<FramePool> pool;
    std::unique_ptr<BlockAssembler> assembler;
    AssemblerOutput out;
    std::vector<std::vector<uint8_t>> complete;
};

std::vector<uint8_t> packet(uint16_t block, uint32_t id, uint32_t packet_num, uint32_t payload)
{
    if (id == 0) {
        std::vector<uint8_t> d(gvsp::LEADER_LEN);
        gvsp::Leader l{};
        l.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
        l.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
        l.size_x = l.size_y = 1;
        gvsp::build_leader(d.data(), 0, block, l);
        return d;
    }
    if (id + 1 == packet_num) {
        std::vector<uint8_t> d(gvsp::TRAILER_LEN);
        gvsp::build_trailer(d.data(), 0, block, id, gvsp::Trailer{gvsp::PAYLOAD_TYPE_IMAGE, 1});
        return d;
    }
    const uint32_t bytes = std::min(kChunk, payload - (id - 1) * kChunk);
    std::vector<uint8_t> d(gvsp::HEADER_LEN + bytes);
    gvsp::build_header(d.data(), 0, block, gvsp::FORMAT_PAYLOAD, id);
    for (uint32_t k = 0; k < bytes; ++k)
        d[gvsp::HEADER_LEN + k] = static_cast<uint8_t>(block * 7 + id * 13 + k);
    return d;
}

// Feeds the datagrams in batches through a ReceiveBatch, as the receive loop does.
void receive_scattered(Receiver& r, const std::vector<std::vector<uint8_t>>& datagrams, size_t slots,
                       size_t* landed = nullptr)
{
    ReceiveBatch batch(slots);
    std::vector<Landing> landings(slots);
    for (size_t at = 0; at < datagrams.size();) {
        batch.prepare(landings.data(), r.assembler->predict_landings(landings.data(), slots, ReceiveBatch::HEAD_DATA));
        const size_t n = std::min(slots, datagrams.size() - at);
        for (size_t i = 0; i < n; ++i)
            kernel_scatter(batch, i, datagrams[at + i], kCamera, 5000);
        batch.settle(n);
        for (size_t i = 0; i < n; ++i) {
            if (landed && batch.landed(i))
                ++*landed;
            r.step(r.assembler->process_packet(batch.datagram(i), r.clock.monotonic_us(), &r.out));
        }
        at += n;
    }
}

// Groups datagrams into trains as the kernel's GRO does: same-size
// datagrams in a row, the last one possibly shorter, at most `longest` and
// 64 KB to a train.
std::vector<std::vector<std::vector<uint8_t>>> coalesce(const std::vector<std::vector<uint8_t>>& datagrams,
                                                        std::mt19937& random, size_t longest)
{
    std::vector<std::vector<std::vector<uint8_t>>> trains;
    std::uniform_int_distribution<size_t> cut(1, longest);
    for (size_t i = 0; i < datagrams.size();) {
        std::vector<std::vector<uint8_t>> train{datagrams[i]};
        const size_t size = datagrams[i].size();
        const size_t limit = std::min(cut(random), ReceiveBatch::MESSAGE_MAX / std::max<size_t>(size, 1));
        size_t j = i + 1;
        while (j < datagrams.size() && train.size() < limit && datagrams[j].size() <= size && size > 0) {
            train.push_back(datagrams[j]);
            if (datagrams[j++].size() < size)
                break;
        }
        trains.push_back(std::move(train));
        i = j;
    }
    return trains;
}

// Feeds trains as the receive loop does: one train per call laid out for a
// train (per_message > 1), or many messages of one landing each.
void receive_trains(Receiver& r, const std::vector<std::vector<std::vector<uint8_t>>>& trains, size_t slots,
                    size_t per_message, size_t* landed = nullptr, size_t* irregular = nullptr)
{
    ReceiveBatch batch(slots, gvsp::HEADER_LEN + kChunk);
    std::vector<Landing> landings(std::max(slots, batch.train_landings()));
    const size_t calls = per_message > 1 ? 1 : slots;
    for (size_t at = 0; at < trains.size();) {
        const size_t want = per_message > 1 ? batch.train_landings() : slots;
        batch.prepare(landings.data(), r.assembler->predict_landings(landings.data(), want, ReceiveBatch::HEAD_DATA),
                      per_message);
        const size_t n = std::min(calls, trains.size() - at);
        for (size_t i = 0; i < n; ++i)
            kernel_coalesce(batch, i, trains[at + i], kCamera, 5000);
        batch.settle(n);
        if (irregular)
            *irregular += batch.irregular_trains();
        for (size_t i = 0; i < batch.datagrams(); ++i) {
            if (landed && batch.landed(i))
                ++*landed;
            r.step(r.assembler->process_packet(batch.datagram(i), r.clock.monotonic_us(), &r.out));
        }
        at += n;
    }
}

void receive_whole(Receiver& r, const std::vector<std::vector<uint8_t>>& datagrams)
{
    for (const auto& d : datagrams)
        r.step(r.assembler->process_packet(d.data(), d.size(), r.clock.monotonic_us(), &r.out));
}

TEST(ReceiveBatch, AnInOrderStreamLandsInPlaceAndLeadersNeverTouchAFrame)
{
    const uint32_t payload = 20500;  // 21 payload packets, the last one short
    const uint32_t packet_num = (payload + kChunk - 1) / kChunk + 2;
    Receiver r(payload);
    std::vector<std::vector<uint8_t>> datagrams;
    for (uint16_t b = 1; b <= 3; ++b)
        for (uint32_t id = 0; id < packet_num; ++id)
            datagrams.push_back(packet(b, id, packet_num, payload));
    size_t landed = 0;
    receive_scattered(r, datagrams, 8, &landed);
    ASSERT_EQ(r.complete.size(), 3u);
    Receiver whole(payload);
    receive_whole(whole, datagrams);
    EXPECT_EQ(r.complete, whole.complete);
    // Only the first batch, before any block is known, goes through
    // scratch memory: later blocks land in buffers taken ahead for them.
    EXPECT_GE(landed, 3u * 21u - 8u);
    EXPECT_EQ(r.assembler->counters.overflow_packet_num, 0u);
}

TEST(ReceiveBatch, ComplexArrivalsGiveTheSameCompleteFramesAsWholeCopies)
{
    const uint32_t payload = 30000;
    const uint32_t packet_num = payload / kChunk + 2;
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::vector<uint8_t>> datagrams;
        std::uniform_real_distribution<double> coin(0, 1);
        for (uint16_t b = 1; b <= 4; ++b)
            for (uint32_t id = 0; id < packet_num; ++id) {
                datagrams.push_back(packet(b, id, packet_num, payload));
                if (coin(random) < 0.05)
                    datagrams.push_back(datagrams.back());  // duplicated
            }
        for (size_t i = 0; i + 1 < datagrams.size(); ++i)
            if (coin(random) < 0.1)
                std::swap(datagrams[i],
                          datagrams[i + 1 + static_cast<size_t>(coin(random) * 3) % (datagrams.size() - i - 1)]);
        // A datagram longer than its packet, and a stranger.
        datagrams.insert(datagrams.begin() + 10, std::vector<uint8_t>(1200, 0xEE));
        auto longer = packet(2, 5, packet_num, payload);
        longer.resize(longer.size() + 300, 0xAB);
        datagrams.insert(datagrams.begin() + 40, longer);

        Receiver scattered(payload), whole(payload);
        receive_scattered(scattered, datagrams, 1 + round % 16);
        receive_whole(whole, datagrams);
        ASSERT_EQ(scattered.complete.size(), whole.complete.size()) << round;
        EXPECT_EQ(scattered.complete, whole.complete) << round;
        EXPECT_EQ(scattered.assembler->counters.duplicate_packet_num, whole.assembler->counters.duplicate_packet_num);
        EXPECT_EQ(scattered.assembler->counters.received_packet_num, whole.assembler->counters.received_packet_num);
    }
}

TEST(ReceiveBatch, TrainsInOrderLandEverySegmentInPlace)
{
    const uint32_t payload = 40500;  // 41 payload packets, the last one short
    const uint32_t packet_num = (payload + kChunk - 1) / kChunk + 2;
    std::vector<std::vector<uint8_t>> datagrams;
    for (uint16_t b = 1; b <= 4; ++b)
        for (uint32_t id = 0; id < packet_num; ++id)
            datagrams.push_back(packet(b, id, packet_num, payload));
    Receiver whole(payload);
    receive_whole(whole, datagrams);
    ASSERT_EQ(whole.complete.size(), 4u);
    std::mt19937 random(3);
    const auto trains = coalesce(datagrams, random, 64);
    Receiver r(payload);
    size_t landed = 0, irregular = 0;
    receive_trains(r, trains, 4, ReceiveBatch::TRAIN_MAX, &landed, &irregular);
    EXPECT_EQ(r.complete, whole.complete);
    EXPECT_EQ(irregular, 0u);
    // The first block's packets come before it is known; after that, every
    // payload packet lands where the frame wants it.
    EXPECT_GE(landed, 3u * 41u);
    EXPECT_EQ(r.assembler->counters.received_packet_num, whole.assembler->counters.received_packet_num);
}

TEST(ReceiveBatch, TrainsOfAnyMakeGiveTheSameFramesAsWholeCopies)
{
    // Reordered, duplicated and foreign datagrams, trains cut anywhere,
    // laid out for trains or for one datagram a message, and trains of a
    // segment size the layout did not expect.
    const uint32_t payload = 30000;
    const uint32_t packet_num = payload / kChunk + 2;
    std::mt19937 random(11);
    std::uniform_real_distribution<double> coin(0, 1);
    for (int round = 0; round < 60; ++round) {
        std::vector<std::vector<uint8_t>> datagrams;
        for (uint16_t b = 1; b <= 4; ++b)
            for (uint32_t id = 0; id < packet_num; ++id) {
                datagrams.push_back(packet(b, id, packet_num, payload));
                if (coin(random) < 0.05)
                    datagrams.push_back(datagrams.back());
            }
        for (size_t i = 0; i + 1 < datagrams.size(); ++i)
            if (coin(random) < 0.08)
                std::swap(datagrams[i],
                          datagrams[i + 1 + static_cast<size_t>(coin(random) * 3) % (datagrams.size() - i - 1)]);
        // A train of strangers of another size, and packets re-cut: a
        // payload packet followed by bytes of the next, as a train of a
        // segment size between the two.
        datagrams.insert(datagrams.begin() + 20, 3, std::vector<uint8_t>(700, 0xEE));
        auto longer = packet(3, 5, packet_num, payload);
        longer.resize(longer.size() + 300, 0xAB);
        datagrams.insert(datagrams.begin() + 60, longer);

        Receiver whole(payload);
        receive_whole(whole, datagrams);
        const auto trains = coalesce(datagrams, random, 1 + round % 40);
        const size_t per_message = round % 3 == 0 ? 1 : ReceiveBatch::TRAIN_MAX;
        Receiver r(payload);
        size_t irregular = 0;
        receive_trains(r, trains, 1 + round % 8, per_message, nullptr, &irregular);
        ASSERT_EQ(r.complete.size(), whole.complete.size()) << round;
        EXPECT_EQ(r.complete, whole.complete) << round;
        EXPECT_EQ(r.assembler->counters.duplicate_packet_num, whole.assembler->counters.duplicate_packet_num);
        EXPECT_EQ(r.assembler->counters.received_packet_num, whole.assembler->counters.received_packet_num);
        EXPECT_EQ(r.assembler->counters.format_error_packet_num, whole.assembler->counters.format_error_packet_num);
    }
}

TEST(ReceiveBatch, ATrainOfAnotherSegmentSizeIsTakenApartIntoItsOwnBytes)
{
    const uint32_t payload = 10000;
    const uint32_t packet_num = payload / kChunk + 2;
    Receiver r(payload);
    r.tunables.packet_resend_flag = 0;
    const int64_t now = r.clock.monotonic_us();
    for (uint32_t id = 0; id <= 2; ++id) {
        const auto d = packet(1, id, packet_num, payload);
        r.step(r.assembler->process_packet(d.data(), d.size(), now, &r.out));
    }
    ReceiveBatch batch(1, gvsp::HEADER_LEN + kChunk);
    Landing landings[ReceiveBatch::TRAIN_MAX];
    const size_t count = r.assembler->predict_landings(landings, batch.train_landings(), ReceiveBatch::HEAD_DATA);
    ASSERT_GE(count, 4u);
    batch.prepare(landings, count, ReceiveBatch::TRAIN_MAX);
    // Packets 3 and 4 cut short to 600 bytes each (so the kernel could
    // coalesce them with 600-byte segments), then a 600-byte stranger.
    auto p3 = packet(1, 3, packet_num, payload), p4 = packet(1, 4, packet_num, payload);
    p3.resize(600);
    p4.resize(600);
    const std::vector<std::vector<uint8_t>> train{p3, p4, std::vector<uint8_t>(600, 0x5A)};
    kernel_coalesce(batch, 0, train, kCamera, 5000);
    batch.settle(1);
    EXPECT_EQ(batch.trains(), 1u);
    EXPECT_EQ(batch.irregular_trains(), 1u);
    ASSERT_EQ(batch.datagrams(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(batch.landed(i));
        EXPECT_TRUE(batch.in_train(i));
        std::vector<uint8_t> seen(batch.datagram(i).length());
        batch.datagram(i).copy_out(0, seen.size(), seen.data());
        EXPECT_EQ(seen, train[i]) << i;
    }
}

TEST(ReceiveBatch, ADatagramThatIsNotTheExpectedPacketLeavesTheFrameAsItFoundIt)
{
    const uint32_t payload = 10000;
    const uint32_t packet_num = payload / kChunk + 2;
    Receiver r(payload);
    r.tunables.packet_resend_flag = 0;
    const int64_t now = r.clock.monotonic_us();
    for (uint32_t id = 0; id <= 3; ++id) {
        const auto d = packet(1, id, packet_num, payload);
        r.step(r.assembler->process_packet(d.data(), d.size(), now, &r.out));
    }
    Landing landings[4];
    ASSERT_EQ(r.assembler->predict_landings(landings, 4, ReceiveBatch::HEAD_DATA), 4u);
    EXPECT_EQ(landings[0].packet_id, 4u);
    ReceiveBatch batch(4);
    batch.prepare(landings, 4);
    // Packet 6 comes where 4 was expected; 4 where 5 was.
    kernel_scatter(batch, 0, packet(1, 6, packet_num, payload), kCamera, 5000);
    kernel_scatter(batch, 1, packet(1, 4, packet_num, payload), kCamera, 5000);
    kernel_scatter(batch, 2, packet(1, 6, packet_num, payload), kCamera, 5000);
    batch.settle(3);
    EXPECT_FALSE(batch.landed(0));
    EXPECT_FALSE(batch.landed(1));
    EXPECT_TRUE(batch.landed(2));
    for (size_t i = 0; i < 3; ++i)
        r.step(r.assembler->process_packet(batch.datagram(i), now, &r.out));
    // Block 2 supersedes it: block 1's frame holds packets 1, 2, 3, 4 and 6 where they belong.
    const auto next = packet(2, 0, packet_num, payload);
    r.step(r.assembler->process_packet(next.data(), next.size(), now, &r.out));
    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(r.pool->ready_queue));
    ASSERT_NE(frame, nullptr);
    for (uint32_t id : {1u, 2u, 3u, 4u, 6u}) {
        const auto p = packet(1, id, packet_num, payload);
        EXPECT_EQ(std::memcmp(frame->pixel + (id - 1) * kChunk, p.data() + gvsp::HEADER_LEN, kChunk), 0) << id;
    }
    r.pool->recycle(frame);
}

TEST(ReceiveBatch, ABufferTakenAheadForABlockThatNeverComesIsGivenBack)
{
    const uint32_t payload = 10000;
    const uint32_t packet_num = payload / kChunk + 2;
    Receiver r(payload);
    r.tunables.max_buffer_length = 2;
    std::vector<std::vector<uint8_t>> first;
    for (uint32_t id = 0; id < packet_num; ++id)
        first.push_back(packet(1, id, packet_num, payload));
    receive_scattered(r, first, 4);  // block 1 waits, uncaptured; the other buffer waits for block 2
    ASSERT_EQ(r.complete.size(), 1u);
    // The camera jumps to block 40: with the budget spent, its first batch
    // finds no buffer, and the one held for block 2 goes back.
    std::vector<std::vector<uint8_t>> jumped;
    for (uint32_t id = 0; id < packet_num; ++id)
        jumped.push_back(packet(40, id, packet_num, payload));
    receive_scattered(r, jumped, 4);
    EXPECT_GT(r.assembler->counters.no_buffer_block_num, 0u);
    EXPECT_EQ(r.assembler->blocks_in_progress(), 1u);  // block 40 opened after all
    EXPECT_EQ(r.pool->buffers(), 2u);
}

}  // namespace
