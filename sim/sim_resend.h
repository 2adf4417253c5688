// Packet resend: the newest blocks of each channel are kept, and a request
// is answered with the packets it asks for, or with a note that the block
// is no longer there.
#ifndef VORA_SIM_RESEND_H
#define VORA_SIM_RESEND_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim_packets.h"

namespace vsim {

// A range of packets of one block, asked for again.
struct ResendRequest {
    uint16_t channel;
    uint16_t block_id;
    uint32_t first, last;
};

class ResendServer {
public:
    // Keeps the `history` newest blocks of each of `channels` channels.
    ResendServer(size_t channels, int history);

    // A block went out on the channel; the oldest beyond the history is forgotten.
    void keep(size_t channel, const SentBlock& block);
    // The answer to a request: the packets asked for of a kept block (the
    // newest of that id), up to its trailer, with the resend status; for a
    // block no longer kept, one bare header saying the packet is
    // unavailable; nothing from a channel that keeps no block.
    std::vector<Packet> answer(const ResendRequest& request) const;

private:
    int history_;
    std::vector<std::deque<SentBlock>> kept_;
};

}  // namespace vsim

#endif
