// Answers resend requests from the blocks a channel sent last.
#include "sim_resend.h"

#include <algorithm>

#include "gvcp_codec.h"

namespace vsim {

ResendServer::ResendServer(size_t channels, int history) : history_(history), kept_(channels)
{}

void ResendServer::keep(size_t channel, const SentBlock& block)
{
    std::deque<SentBlock>& kept = kept_[channel];
    kept.push_back(block);
    while (static_cast<int>(kept.size()) > history_)
        kept.pop_front();
}

std::vector<Packet> ResendServer::answer(const ResendRequest& r) const
{
    std::vector<Packet> packets;
    if (r.channel >= kept_.size() || kept_[r.channel].empty())
        return packets;
    const std::deque<SentBlock>& kept = kept_[r.channel];
    const SentBlock* block = nullptr;
    for (const SentBlock& b : kept)
        if (b.block_id == r.block_id)
            block = &b;
    if (!block) {
        SentBlock gone = kept.back();
        gone.block_id = r.block_id;
        packets.push_back(make_packet(gone, std::min(r.first, gone.packet_count + 1), gvcp::STATUS_PACKET_UNAVAILABLE));
        packets.back().data_len = 0;
        packets.back().head_len = gvsp::HEADER_LEN;
        return packets;
    }
    for (uint32_t id = r.first; id <= r.last && id <= block->packet_count + 1; ++id)
        packets.push_back(make_packet(*block, id, gvcp::STATUS_PACKET_RESEND));
    return packets;
}

}  // namespace vsim
