// The GVSP packets of the blocks the simulated camera sends: a block as it
// is kept for resends, its leader, payload and trailer packets, and sending
// them in batches of datagrams or in trains the kernel cuts into datagrams.
#ifndef VORA_SIM_PACKETS_H
#define VORA_SIM_PACKETS_H

#include <atomic>
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
    // Out of its place (a fault repeated or moved it): it leaves as a
    // datagram of its own, never inside a train.
    bool alone;
};

// Packet `id` of a block: 0 leader, 1..count payload, count+1 trailer.
Packet make_packet(const SentBlock& block, uint32_t id, uint16_t status);

// Sends the packets from `sock` to host:port with sendmmsg, datagram by
// datagram. A full local queue is waited for; a packet the path refuses is
// lost, as on a wire.
void send_packets(int sock, uint32_t host, uint32_t port, std::vector<Packet>& packets);

// Limits of one train: the kernel cuts at most 64 segments from one send,
// and the whole must fit one UDP datagram's length field.
constexpr size_t TRAIN_SEGMENTS = 64;
constexpr size_t TRAIN_BYTES = 65000;

// A run of packets that leave in one send and reach the wire as `count`
// datagrams of `segment` bytes (the last may be shorter). count 1: an
// ordinary datagram.
struct Train {
    size_t first = 0, count = 1;
    size_t segment = 0;  // bytes of UDP payload per datagram
};

// The packets in order as trains: consecutive payload packets of one size
// (the last of a train may be shorter) ride together, within the limits;
// leaders, trailers and packets out of their place go alone. Cutting the
// trains back into datagrams gives exactly `packets`.
std::vector<Train> plan_trains(const std::vector<Packet>& packets, size_t max_segments = TRAIN_SEGMENTS,
                               size_t max_bytes = TRAIN_BYTES);

// How a camera's stream packets leave: as trains the kernel cuts into
// datagrams (UDP segmentation offload), or datagram by datagram as a
// camera's hardware does. Either way the receiver sees the same datagrams
// in the same order. One per camera; used by its stream thread only.
class PacketSender {
public:
    // `trains` false: datagram by datagram. Trains fall back to datagrams
    // for good when the kernel or the device cannot cut them (said once on
    // stderr), and for a segment size the route refuses.
    void send(int sock, uint32_t host, uint32_t port, std::vector<Packet>& packets, bool trains);
    // Whether trains are still tried (false once the kernel refused them).
    bool trains_possible() const { return !disabled_; }
    // Sends of more than one datagram that the kernel took.
    uint64_t trains_sent() const { return trains_sent_.load(std::memory_order_relaxed); }

private:
    // Probes a socket once for segmentation offload; false when it has none.
    bool supported(int sock);
    void disable(const char* why, int err);

    bool probed_ = false;
    bool disabled_ = false;
    std::atomic<uint64_t> trains_sent_{0};
    std::vector<size_t> refused_segments_;  // segment sizes the route refused
};

}  // namespace vsim

#endif
