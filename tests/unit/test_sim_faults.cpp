// The simulated camera's stream faults, entry by entry: what each one does
// to the packets of a frame, that a fault switched off changes nothing, and
// that the table names every fault once and every fault has its check here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "gvsp_codec.h"
#include "sim_faults.h"
#include "vora_pixel_format.h"

namespace {

using vsim::FaultedFrame;
using vsim::FaultEntry;
using vsim::FaultStage;
using vsim::FaultStep;
using vsim::Packet;
using vsim::SentBlock;
using vsim::StreamFaults;

constexpr uint32_t kChunk = 10;
constexpr uint32_t kPayload = 10;  // payload packets of a frame: 95 bytes, the last packet short
constexpr uint32_t kTotal = kPayload + 2;
constexpr uint32_t kChannelFormat = PIXEL_FORMAT_COORD3D_ABC16;

SentBlock block_of(uint16_t id)
{
    std::vector<uint8_t> bytes(95);
    std::iota(bytes.begin(), bytes.end(), uint8_t(1));
    const vsim::FrameData frame{std::make_shared<const std::vector<uint8_t>>(bytes), PIXEL_FORMAT_MONO8, 95, 1, 0, 0};
    return vsim::cut_block(id, 1234, frame, kChunk);
}

gvsp::Header header(const Packet& p)
{
    gvsp::Header h{};
    EXPECT_TRUE(gvsp::parse_header(p.head, p.head_len, &h));
    return h;
}

std::vector<uint32_t> ids(const std::vector<Packet>& packets)
{
    std::vector<uint32_t> out;
    for (const Packet& p : packets)
        out.push_back(header(p).packet_id);
    return out;
}

std::vector<uint32_t> range(uint32_t from, uint32_t to)  // [from, to)
{
    std::vector<uint32_t> out(to - from);
    std::iota(out.begin(), out.end(), from);
    return out;
}

bool same(const Packet& a, const Packet& b)
{
    return a.head_len == b.head_len && std::memcmp(a.head, b.head, a.head_len) == 0 && a.data_len == b.data_len &&
           (a.data_len == 0 || std::memcmp(a.data, b.data, a.data_len) == 0);
}

bool same(const std::vector<Packet>& a, const std::vector<Packet>& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) { return same(x, y); });
}

// Frames through a fault stage with switches of the test's own.
struct Frames {
    StreamFaults faults;
    std::mt19937 random{12345};
    FaultStage stage{faults, random};
    std::deque<SentBlock> blocks;  // the packets point into them

    // The channel's frame number `number`, whose next block id is `next_id`.
    FaultedFrame frame(uint16_t next_id = 40, uint64_t number = 0)
    {
        FaultedFrame f;
        f.block_id = next_id;
        f.frame_number = number;
        f.channel_format = kChannelFormat;
        stage.begin(f);
        blocks.push_back(block_of(f.block_id));
        stage.packets(blocks.back(), f);
        return f;
    }
};

// What each fault of the table does; the key is its name in the table.
const std::map<std::string, std::function<void()>>& checks()
{
    static const std::map<std::string, std::function<void()>> all = {
        {"restart-ids",
         [] {
             Frames r;
             r.faults.restart_ids = true;
             const FaultedFrame f = r.frame(40);
             EXPECT_EQ(f.block_id, 1);
             for (const Packet& p : f.packets)
                 EXPECT_EQ(header(p).block_id, 1);
             EXPECT_FALSE(r.faults.restart_ids) << "it acts on one frame";
             EXPECT_EQ(r.frame(2).block_id, 2);
         }},
        {"block-id-jump",
         [] {
             Frames r;
             r.faults.block_id_jump = 5;
             EXPECT_EQ(r.frame(40).block_id, 45);
             EXPECT_EQ(r.faults.block_id_jump, 0) << "it acts on one frame";
             EXPECT_EQ(r.frame(46).block_id, 46);
             r.faults.block_id_jump = 65535 - 40 + 1;  // lands on 0, which no block has
             EXPECT_EQ(r.frame(40).block_id, 1);
         }},
        {"error-status",
         [] {
             Frames r;
             r.faults.error_status = 0x8006;
             const FaultedFrame f = r.frame();
             ASSERT_EQ(ids(f.packets), range(0, kTotal));
             for (const Packet& p : f.packets) {
                 const gvsp::Header h = header(p);
                 EXPECT_EQ(h.status, h.format == gvsp::FORMAT_PAYLOAD ? 0x8006 : 0) << h.packet_id;
             }
             EXPECT_EQ(r.faults.error_status, 0) << "it acts on one frame";
             for (const Packet& p : r.frame().packets)
                 EXPECT_EQ(header(p).status, 0);
         }},
        {"drop-leader",
         [] {
             Frames r;
             r.faults.drop_leader = true;
             EXPECT_EQ(ids(r.frame(40, 0).packets), range(1, kTotal));
             EXPECT_EQ(ids(r.frame(41, 1).packets), range(1, kTotal)) << "every frame";
         }},
        {"drop-trailer",
         [] {
             Frames r;
             r.faults.drop_trailer = true;
             EXPECT_EQ(ids(r.frame(40, 0).packets), range(0, kTotal - 1));
             EXPECT_EQ(ids(r.frame(41, 1).packets), range(0, kTotal - 1));
         }},
        {"burst-loss",
         [] {
             Frames r;
             r.faults.burst_every = 2;
             r.faults.burst_length = 3;
             std::vector<uint32_t> holed = range(0, kTotal / 2);
             for (uint32_t id = kTotal / 2 + 3; id < kTotal; ++id)
                 holed.push_back(id);
             EXPECT_EQ(ids(r.frame(40, 0).packets), holed);
             EXPECT_EQ(ids(r.frame(41, 1).packets), range(0, kTotal));
             EXPECT_EQ(ids(r.frame(42, 2).packets), holed);
             r.faults.burst_length = 1000;  // to the end of the frame, trailer included
             EXPECT_EQ(ids(r.frame(43, 4).packets), range(0, kTotal / 2));
         }},
        {"loss",
         [] {
             Frames r;
             r.faults.loss_rate = 1;
             EXPECT_TRUE(r.frame().packets.empty());
             r.faults.loss_rate = 0.5;
             const std::vector<uint32_t> kept = ids(r.frame().packets);
             EXPECT_GT(kept.size(), 0u);
             EXPECT_LT(kept.size(), kTotal);
             EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
             EXPECT_EQ(std::set<uint32_t>(kept.begin(), kept.end()).size(), kept.size());
             // The camera's seeded engine decides: the same seed loses the same packets.
             Frames again;
             again.faults.loss_rate = 1;
             again.frame();
             again.faults.loss_rate = 0.5;
             EXPECT_EQ(ids(again.frame().packets), kept);
         }},
        {"duplicate",
         [] {
             Frames r;
             r.faults.duplicate_rate = 1;
             std::vector<uint32_t> twice;
             for (uint32_t id = 0; id < kTotal; ++id)
                 twice.insert(twice.end(), {id, id});
             const FaultedFrame f = r.frame();
             EXPECT_EQ(ids(f.packets), twice);
             EXPECT_TRUE(same(f.packets[6], f.packets[7]));
             r.faults.duplicate_rate = 0.5;
             const std::vector<uint32_t> some = ids(r.frame().packets);
             EXPECT_GT(some.size(), kTotal);
             EXPECT_LT(some.size(), 2 * kTotal);
             EXPECT_TRUE(std::is_sorted(some.begin(), some.end())) << "a copy follows its packet";
             EXPECT_EQ(std::set<uint32_t>(some.begin(), some.end()).size(), kTotal);
         }},
        {"reorder",
         [] {
             Frames r;
             r.faults.reorder_rate = 1;  // every neighbour swapped in turn: the leader travels to the end
             std::vector<uint32_t> moved = range(1, kTotal);
             moved.push_back(0);
             EXPECT_EQ(ids(r.frame().packets), moved);
             r.faults.reorder_rate = 0.5;
             std::vector<uint32_t> shuffled = ids(r.frame().packets);
             EXPECT_NE(shuffled, range(0, kTotal));
             std::sort(shuffled.begin(), shuffled.end());
             EXPECT_EQ(shuffled, range(0, kTotal)) << "nothing lost, nothing added";
         }},
        {"stop-after-packets",
         [] {
             Frames r;
             r.faults.stop_after_packets = 3;
             FaultedFrame f = r.frame();
             EXPECT_EQ(ids(f.packets), range(0, 3));
             EXPECT_TRUE(f.stop_channel);
             EXPECT_EQ(r.faults.stop_after_packets, -1) << "it acts on one frame";
             f = r.frame();
             EXPECT_EQ(ids(f.packets), range(0, kTotal));
             EXPECT_FALSE(f.stop_channel);
             r.faults.stop_after_packets = 0;
             f = r.frame();
             EXPECT_TRUE(f.packets.empty());
             EXPECT_TRUE(f.stop_channel);
             r.faults.stop_after_packets = 1000;  // more than the frame has: all of it, then silence
             f = r.frame();
             EXPECT_EQ(ids(f.packets), range(0, kTotal));
             EXPECT_TRUE(f.stop_channel);
         }},
        {"stray",
         [] {
             Frames r;
             r.faults.stray_datagrams = true;
             for (int frame = 0; frame < 2; ++frame) {
                 const FaultedFrame f = r.frame();
                 EXPECT_EQ(ids(f.packets), range(0, kTotal));
                 ASSERT_EQ(f.from_other_address.size(), 1u);
                 const Packet& junk = f.from_other_address[0];
                 ASSERT_EQ(junk.head_len, 16u);
                 EXPECT_EQ(junk.data_len, 0u);
                 const gvsp::Header h = header(junk);
                 EXPECT_EQ(h.status, 0);
                 EXPECT_EQ(h.block_id, 1);
                 EXPECT_EQ(h.format, gvsp::FORMAT_PAYLOAD);
                 EXPECT_EQ(h.packet_id, 1u);
                 EXPECT_TRUE(std::all_of(junk.head + 8, junk.head + 16, [](uint8_t b) { return b == 0; }));
                 EXPECT_TRUE(f.from_other_port.empty());
             }
         }},
        {"foreign-port-leaders",
         [] {
             Frames r;
             r.faults.foreign_port_leaders = 3;
             const FaultedFrame f = r.frame(40);
             EXPECT_EQ(ids(f.packets), range(0, kTotal));
             ASSERT_EQ(f.from_other_port.size(), 3u);
             for (size_t k = 0; k < 3; ++k) {
                 const Packet& p = f.from_other_port[k];
                 gvsp::Leader leader{};
                 ASSERT_TRUE(gvsp::parse_leader(p.head, p.head_len, &leader));
                 EXPECT_EQ(header(p).block_id, 140 + k);
                 EXPECT_EQ(header(p).format, gvsp::FORMAT_LEADER);
                 EXPECT_EQ(leader.size_x, 65535u);
                 EXPECT_EQ(leader.size_y, 65535u);
                 EXPECT_EQ(leader.pixel_format, kChannelFormat);
             }
             EXPECT_TRUE(f.from_other_address.empty());
         }},
        {"ignore-resend",
         [] {
             Frames r;
             EXPECT_FALSE(r.stage.ignores_resends());
             r.faults.ignore_resend = true;
             EXPECT_TRUE(r.stage.ignores_resends());
             EXPECT_EQ(ids(r.frame().packets), range(0, kTotal)) << "the frames go out as ever";
         }},
    };
    return all;
}

std::vector<std::string> table_names()
{
    std::vector<std::string> names;
    for (const FaultEntry& e : vsim::fault_table())
        names.push_back(e.name);
    return names;
}

class EachFault : public ::testing::TestWithParam<std::string> {};

TEST_P(EachFault, DoesWhatItsEntrySays)
{
    const auto check = checks().find(GetParam());
    ASSERT_NE(check, checks().end()) << "the fault " << GetParam() << " has no check in this file";
    check->second();
}

INSTANTIATE_TEST_SUITE_P(Table, EachFault, ::testing::ValuesIn(table_names()), [](const auto& fault) {
    std::string name = fault.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

TEST(FaultTable, NamesEveryFaultOnceAndSaysWhatItReadsAndDoes)
{
    std::set<std::string> names;
    for (const FaultEntry& e : vsim::fault_table()) {
        EXPECT_TRUE(names.insert(e.name).second) << "two entries named " << e.name;
        EXPECT_GT(std::strlen(e.reads), 0u) << e.name;
        EXPECT_GT(std::strlen(e.effect), 0u) << e.name;
        EXPECT_NE(e.act, nullptr) << e.name;
    }
    for (const auto& check : checks())
        EXPECT_EQ(names.count(check.first), 1u) << "a check for " << check.first << ", which the table lacks";
}

TEST(FaultTable, AnEntrySwitchedOffChangesNothing)
{
    const SentBlock block = block_of(40);
    for (const FaultEntry& e : vsim::fault_table()) {
        StreamFaults off;
        std::mt19937 random(7);
        const std::mt19937 untouched = random;
        FaultedFrame f;
        f.block_id = 40;
        f.channel_format = kChannelFormat;
        f.total = kTotal;
        for (uint32_t id = 0; id < kTotal; ++id)
            f.packets.push_back(vsim::make_packet(block, id, 0));
        const std::vector<Packet> before = f.packets;
        for (uint32_t id = 0; id < kTotal; ++id) {
            f.packet = id;
            EXPECT_FALSE(e.act(off, f, random)) << e.name << " acted on packet " << id;
        }
        EXPECT_TRUE(same(f.packets, before)) << e.name;
        EXPECT_EQ(f.block_id, 40) << e.name;
        EXPECT_EQ(f.payload_status, 0) << e.name;
        EXPECT_FALSE(f.stop_channel) << e.name;
        EXPECT_TRUE(f.from_other_address.empty()) << e.name;
        EXPECT_TRUE(f.from_other_port.empty()) << e.name;
        EXPECT_TRUE(random == untouched) << e.name << " drew from the random engine";
    }
}

TEST(FaultStage, WithEveryFaultOffAFrameGoesOutWholeAndInOrder)
{
    Frames r;
    const std::mt19937 untouched = r.random;
    const FaultedFrame f = r.frame(40);
    ASSERT_EQ(ids(f.packets), range(0, kTotal));
    const SentBlock block = block_of(40);
    for (uint32_t id = 0; id < kTotal; ++id) {
        EXPECT_TRUE(same(f.packets[id], vsim::make_packet(block, id, 0))) << id;
        EXPECT_EQ(header(f.packets[id]).block_id, 40);
    }
    EXPECT_EQ(f.packets[kPayload].data_len, 5u) << "the last payload packet carries the rest";
    EXPECT_FALSE(f.stop_channel);
    EXPECT_TRUE(f.from_other_address.empty());
    EXPECT_TRUE(f.from_other_port.empty());
    EXPECT_TRUE(r.random == untouched);
}

TEST(FaultStage, PacketsOneEntryLosesAreNotSeenByTheEntriesAfterIt)
{
    // The leader is lost before the loss entry's coin is thrown for it: the
    // engine then draws for the other packets only, as it would were the
    // leader never there.
    Frames both;
    both.faults.drop_leader = true;
    both.faults.loss_rate = 0.5;
    const std::vector<uint32_t> with_leader_dropped = ids(both.frame().packets);
    std::mt19937 reference(12345);
    std::vector<uint32_t> expected;
    for (uint32_t id = 1; id < kTotal; ++id)
        if (!(std::uniform_real_distribution<double>(0.0, 1.0)(reference) < 0.5))
            expected.push_back(id);
    EXPECT_EQ(with_leader_dropped, expected);
}

TEST(FaultStage, ActsOnTheEntriesOfTheTableItIsGiven)
{
    // One entry of a table of its own: every second packet lost.
    static const std::vector<FaultEntry> odd_only = {
        {"even-loss", "nothing", "even packets are lost", FaultStep::Drop,
         [](StreamFaults&, FaultedFrame& f, std::mt19937&) { return f.packet % 2 == 0; }},
    };
    StreamFaults faults;
    faults.drop_leader = true;  // not in this table: no effect
    std::mt19937 random(1);
    FaultStage stage(faults, random, odd_only);
    FaultedFrame f;
    stage.begin(f);
    const SentBlock block = block_of(f.block_id);
    stage.packets(block, f);
    EXPECT_EQ(ids(f.packets), (std::vector<uint32_t>{1, 3, 5, 7, 9, 11}));
    EXPECT_FALSE(stage.ignores_resends());
}

// What makes a plan of trains sound for `packets`: every packet once, in
// order; a train's segments all of its size but the last, which may be
// shorter; within the limits; and only payload packets in their place
// riding with others.
void expect_sound(const std::vector<Packet>& packets, const std::vector<vsim::Train>& plan, size_t max_segments,
                  size_t max_bytes)
{
    size_t next = 0;
    for (const vsim::Train& t : plan) {
        ASSERT_EQ(t.first, next);
        ASSERT_GE(t.count, 1u);
        ASSERT_LE(t.first + t.count, packets.size());
        EXPECT_LE(t.count, max_segments);
        size_t bytes = 0;
        for (size_t k = 0; k < t.count; ++k) {
            const Packet& p = packets[t.first + k];
            const size_t len = p.head_len + p.data_len;
            bytes += len;
            if (k + 1 < t.count) {
                EXPECT_EQ(len, t.segment) << "packet " << t.first + k;
            } else {
                EXPECT_LE(len, t.segment) << "packet " << t.first + k;
            }
            if (t.count > 1) {
                EXPECT_EQ(header(p).format, gvsp::FORMAT_PAYLOAD) << "packet " << t.first + k;
                EXPECT_FALSE(p.alone) << "packet " << t.first + k;
            }
        }
        if (t.count > 1) {
            EXPECT_LE(bytes, max_bytes);
        }
        next += t.count;
    }
    EXPECT_EQ(next, packets.size());
}

TEST(Trains, PayloadPacketsOfOneSizeRideTogetherAndTheShortLastEndsTheTrain)
{
    Frames r;
    const FaultedFrame f = r.frame();
    const std::vector<vsim::Train> plan = vsim::plan_trains(f.packets);
    expect_sound(f.packets, plan, vsim::TRAIN_SEGMENTS, vsim::TRAIN_BYTES);
    const size_t segment = gvsp::HEADER_LEN + kChunk;
    ASSERT_EQ(plan.size(), 3u);
    EXPECT_EQ(plan[0].count, 1u) << "the leader alone";
    EXPECT_EQ(plan[1].count, kPayload) << "every payload packet, the short last one too";
    EXPECT_EQ(plan[1].segment, segment);
    EXPECT_EQ(plan[2].count, 1u) << "the trailer alone";

    // The limits cut a long run into several trains.
    std::vector<size_t> counts;
    for (const vsim::Train& t : vsim::plan_trains(f.packets, 4))
        counts.push_back(t.count);
    EXPECT_EQ(counts, (std::vector<size_t>{1, 4, 4, 2, 1}));
    counts.clear();
    const std::vector<vsim::Train> by_bytes = vsim::plan_trains(f.packets, 64, 3 * segment);
    expect_sound(f.packets, by_bytes, 64, 3 * segment);
    for (const vsim::Train& t : by_bytes)
        counts.push_back(t.count);
    EXPECT_EQ(counts, (std::vector<size_t>{1, 3, 3, 3, 1, 1}));
}

TEST(Trains, PacketsTheFaultsMovedOrRepeatedGoAloneAndTheRestStaysSound)
{
    Frames repeated;
    repeated.faults.duplicate_rate = 1;
    for (const vsim::Train& t : vsim::plan_trains(repeated.frame().packets)) {
        EXPECT_EQ(t.count, 1u) << "each packet is followed by its copy";
    }

    // Swapped neighbours leave alone; the packets still in their place
    // ride in trains between them, in order.
    Frames swapped;
    swapped.faults.reorder_rate = 0.3;
    bool some_train = false;
    for (int frame = 0; frame < 20; ++frame) {
        const FaultedFrame f = swapped.frame();
        const std::vector<vsim::Train> plan = vsim::plan_trains(f.packets);
        expect_sound(f.packets, plan, vsim::TRAIN_SEGMENTS, vsim::TRAIN_BYTES);
        for (const vsim::Train& t : plan) {
            for (size_t k = 1; k < t.count; ++k) {
                some_train = true;
                EXPECT_EQ(header(f.packets[t.first + k]).packet_id, header(f.packets[t.first + k - 1]).packet_id + 1);
            }
        }
    }
    EXPECT_TRUE(some_train);

    // Every fault at once, with limits small enough to matter.
    Frames all;
    all.faults.loss_rate = 0.2;
    all.faults.duplicate_rate = 0.2;
    all.faults.reorder_rate = 0.2;
    all.faults.drop_leader = true;
    for (int frame = 0; frame < 50; ++frame) {
        const FaultedFrame f = all.frame();
        expect_sound(f.packets, vsim::plan_trains(f.packets), vsim::TRAIN_SEGMENTS, vsim::TRAIN_BYTES);
        expect_sound(f.packets, vsim::plan_trains(f.packets, 3, 50), 3, 50);
    }
}

}  // namespace
