// The stream fault table and the stage that applies it to a frame.
#include "sim_faults.h"

#include <utility>

namespace vsim {

namespace {

// True with probability p, drawn from the camera's engine.
bool chance(std::mt19937& random, double p)
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(random) < p;
}

bool restart_ids(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    if (s.restart_ids.exchange(false))
        f.block_id = 1;
    return false;
}

bool block_id_jump(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    if (const int jump = s.block_id_jump.exchange(0))
        f.block_id = static_cast<uint16_t>(f.block_id + jump);
    return false;
}

bool error_status(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    if (const int status = s.error_status.exchange(0))
        f.payload_status = static_cast<uint16_t>(status);
    return false;
}

bool drop_leader(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    return f.packet == 0 && s.drop_leader;
}

bool drop_trailer(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    return f.packet + 1 == f.total && s.drop_trailer;
}

bool burst_loss(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    const int every = s.burst_every;
    if (every <= 0 || f.frame_number % static_cast<uint64_t>(every) != 0)
        return false;
    const uint32_t from = f.total / 2, to = from + static_cast<uint32_t>(s.burst_length.load());
    return f.packet >= from && f.packet < to;
}

bool loss(StreamFaults& s, FaultedFrame&, std::mt19937& random)
{
    const double p = s.loss_rate;
    return p > 0 && chance(random, p);
}

bool duplicate(StreamFaults& s, FaultedFrame& f, std::mt19937& random)
{
    const double p = s.duplicate_rate;
    if (p > 0 && chance(random, p)) {
        f.packets.push_back(f.packets.back());
        f.packets.back().alone = true;
    }
    return false;
}

bool reorder(StreamFaults& s, FaultedFrame& f, std::mt19937& random)
{
    const double p = s.reorder_rate;
    if (p > 0)
        for (size_t i = 0; i + 1 < f.packets.size(); ++i)
            if (chance(random, p)) {
                std::swap(f.packets[i], f.packets[i + 1]);
                f.packets[i].alone = f.packets[i + 1].alone = true;
            }
    return false;
}

bool stop_after_packets(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    const int keep = s.stop_after_packets.exchange(-1);
    if (keep < 0)
        return false;
    if (static_cast<size_t>(keep) < f.packets.size())
        f.packets.resize(static_cast<size_t>(keep));
    f.stop_channel = true;
    return false;
}

bool stray_datagrams(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    if (s.stray_datagrams) {
        Packet junk{};
        gvsp::build_header(junk.head, gvsp::STATUS_SUCCESS, 1, gvsp::FORMAT_PAYLOAD, 1);
        junk.head_len = 16;
        f.from_other_address.push_back(junk);
    }
    return false;
}

bool foreign_port_leaders(StreamFaults& s, FaultedFrame& f, std::mt19937&)
{
    for (int k = 0, flood = s.foreign_port_leaders; k < flood; ++k) {
        Packet p{};
        gvsp::Leader huge{};
        huge.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
        huge.pixel_format = f.channel_format;
        huge.size_x = huge.size_y = 65535;
        p.head_len =
            gvsp::build_leader(p.head, gvsp::STATUS_SUCCESS, static_cast<uint16_t>(f.block_id + 100 + k), huge);
        f.from_other_port.push_back(p);
    }
    return false;
}

bool ignore_resend(StreamFaults& s, FaultedFrame&, std::mt19937&)
{
    return s.ignore_resend;
}

}  // namespace

const std::vector<FaultEntry>& fault_table()
{
    using S = FaultStep;
    static const std::vector<FaultEntry> table = {
        {"restart-ids", "restart_ids", "the next block id starts again at 1", S::Block, restart_ids},
        {"block-id-jump", "block_id_jump", "the next block id jumps by this much", S::Block, block_id_jump},
        {"error-status", "error_status", "the next frame's payload packets carry this status", S::Block, error_status},
        {"drop-leader", "drop_leader", "every leader is lost", S::Drop, drop_leader},
        {"drop-trailer", "drop_trailer", "every trailer is lost", S::Drop, drop_trailer},
        {"burst-loss", "burst_every, burst_length",
         "every N-th frame loses a run of packets this long, from its middle", S::Drop, burst_loss},
        {"loss", "loss_rate", "each packet is lost with this probability", S::Drop, loss},
        {"duplicate", "duplicate_rate", "a packet is sent twice with this probability", S::Repeat, duplicate},
        {"reorder", "reorder_rate", "a packet is swapped with its successor with this probability", S::Sequence,
         reorder},
        {"stop-after-packets", "stop_after_packets",
         "the next frame stops after this many packets, and the channel falls silent until it is set up anew",
         S::Sequence, stop_after_packets},
        {"stray", "stray_datagrams", "a junk datagram from another address follows every frame", S::Extra,
         stray_datagrams},
        {"foreign-port-leaders", "foreign_port_leaders",
         "this many leaders of blocks of 65535 x 65535 pixels follow every frame, from the camera's address but "
         "another port",
         S::Extra, foreign_port_leaders},
        {"ignore-resend", "ignore_resend", "resend requests go unanswered", S::Resend, ignore_resend},
    };
    return table;
}

FaultStage::FaultStage(StreamFaults& switches, std::mt19937& random, const std::vector<FaultEntry>& table)
    : switches_(switches), random_(random), steps_(static_cast<size_t>(FaultStep::Resend) + 1)
{
    for (const FaultEntry& entry : table)
        steps_[static_cast<size_t>(entry.step)].push_back(&entry);
}

bool FaultStage::any(FaultStep step, FaultedFrame& frame)
{
    for (const FaultEntry* entry : steps_[static_cast<size_t>(step)])
        if (entry->act(switches_, frame, random_))
            return true;
    return false;
}

void FaultStage::begin(FaultedFrame& frame)
{
    any(FaultStep::Block, frame);
    if (frame.block_id == 0)
        frame.block_id = 1;
}

void FaultStage::packets(const SentBlock& block, FaultedFrame& frame)
{
    frame.total = block.packet_count + 2;
    frame.packets.clear();
    frame.packets.reserve(block.packet_count + 4);
    for (uint32_t pid = 0; pid < frame.total; ++pid) {
        frame.packet = pid;
        if (any(FaultStep::Drop, frame))
            continue;
        const bool payload = pid > 0 && pid + 1 < frame.total;
        frame.packets.push_back(make_packet(block, pid, payload ? frame.payload_status : 0));
        any(FaultStep::Repeat, frame);
    }
    any(FaultStep::Sequence, frame);
    any(FaultStep::Extra, frame);
}

bool FaultStage::ignores_resends()
{
    FaultedFrame none;
    return any(FaultStep::Resend, none);
}

}  // namespace vsim
