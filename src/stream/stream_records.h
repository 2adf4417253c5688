// Records of one stream channel: what StreamOn learnt about it, and the
// blocks (frames) under reassembly.
#ifndef VORA_STREAM_RECORDS_H
#define VORA_STREAM_RECORDS_H

#include <cstdint>

#include "vora_base_type.h"

// What StreamOn learnt from the camera about the channel.
struct DataStreamPrivateInfo {
    uint32_t socket;
    uint32_t payload_size;
    uint32_t width;
    uint32_t height;
    uint32_t roi_size_x;
    uint32_t roi_size_y;
    uint32_t offset_x;
    uint32_t offset_y;
    uint32_t pixel_bytes;
    uint32_t pixel_format;
    uint32_t packet_count;
    uint32_t cloud_unit;
};

struct PacketState {
    uint32_t received;
    uint16_t requests;       // resend requests that covered the packet
    int64_t resend_time_us;  // latest resend request covering the packet, 0 if never
};

// One block (frame) under reassembly.
struct StreamBlockData {
    PhotoInfo* photo;
    uint32_t block_id;
    uint32_t status;  // 7 while in progress
    int32_t last_valid_packet;
    int64_t first_time_us;
    int64_t last_time_us;
    int32_t error_flag;
    int32_t packet_resend_num;
    uint32_t packet_num;
    PacketState* packet_states;
    // Resend scans skip what an earlier scan already covered while none of
    // it can be due again: the ids up to checked_until are received or were
    // requested no earlier than checked_since.
    int32_t checked_until;
    int64_t checked_since;
    // The highest packet id received: the packets above it are expected next.
    int32_t highest_received;
    // Set by the receiver when a datagram of the block came in a train.
    bool via_train;
};

// Block status at hand-over.
enum BlockStatus : uint32_t {
    BLOCK_COMPLETE = 0,
    BLOCK_TIMEOUT = 2,
    BLOCK_SUPERSEDED = 3,
    BLOCK_ERROR = 5,
    BLOCK_IN_PROGRESS = 7,
    BLOCK_FLUSHED = 8,
};

#endif
