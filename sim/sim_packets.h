// The GVSP packets of the blocks the simulated camera sends: a block as it
// is kept for resends, its leader, payload and trailer packets, and sending
// them in batches.
#ifndef VORA_SIM_PACKETS_H
#define VORA_SIM_PACKETS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "gvsp_codec.h"
#include "vora_base_type.h"

namespace vsim {

// Headers of every stream packet: a payload packet carries its size less these.
constexpr uint32_t GVSP_OVERHEAD = IP_HEADER_LEN + UDP_HEADER_LEN + gvsp::HEADER_LEN;

// What a block's leader says and the bytes it carries.
struct FrameData {
    std::shared_ptr<const std::vector<uint8_t>> image;
    uint32_t pixel_format = 0, width = 0, height = 0, offset_x = 0, offset_y = 0;
};

// A block as it went out, kept so that its packets can be sent again.
struct SentBlock {
    uint16_t block_id = 1;
    uint64_t ticks = 0;  // the leader's timestamp
    FrameData frame;
    uint32_t chunk = 1;         // payload bytes per packet
    uint32_t packet_count = 0;  // payload packets, ids 1..packet_count
};

// A block of `frame` cut into packets that carry `chunk` bytes each.
SentBlock cut_block(uint16_t block_id, uint64_t ticks, const FrameData& frame, uint32_t chunk);

// One GVSP packet: header (and leader or trailer body) plus a slice of the image.
struct Packet {
    uint8_t head[gvsp::LEADER_LEN];
    size_t head_len;
    const uint8_t* data;
    size_t data_len;
};

// Packet `id` of a block: 0 leader, 1..count payload, count+1 trailer.
Packet make_packet(const SentBlock& block, uint32_t id, uint16_t status);

// Sends the packets from `sock` to host:port with sendmmsg. A full local
// queue is waited for; a packet the path refuses is lost, as on a wire.
void send_packets(int sock, uint32_t host, uint32_t port, std::vector<Packet>& packets);

}  // namespace vsim

#endif
