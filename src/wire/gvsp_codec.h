// Big-endian byte layout of GVSP stream datagrams: the 8-byte header every
// datagram carries, the leader that opens a block and the trailer that ends
// it. The receiver parses with these functions, the simulated camera builds
// with them, and the tests check both against fixed bytes.
#ifndef VORA_GVSP_CODEC_H
#define VORA_GVSP_CODEC_H

#include <cstddef>
#include <cstdint>

#include "gvcp_codec.h"
#include "vora_base_type.h"

namespace gvsp {

// Header: status, block id, then one word holding the packet format in its
// high byte and the 24-bit packet id below it.
constexpr size_t HEADER_LEN = IMAGE_PACKET_HEADER_LEN;
constexpr size_t STATUS_OFFSET = 0;
constexpr size_t BLOCK_ID_OFFSET = 2;
constexpr size_t FORMAT_OFFSET = 4;
constexpr size_t PACKET_ID_OFFSET = 4;  // low 24 bits of the word at 4
constexpr uint32_t PACKET_ID_MASK = 0x00FFFFFF;

// Packet formats.
constexpr uint8_t FORMAT_LEADER = 1;
constexpr uint8_t FORMAT_TRAILER = 2;
constexpr uint8_t FORMAT_PAYLOAD = 3;

// Leader fields, from the start of the datagram.
constexpr size_t LEADER_PAYLOAD_TYPE = 10;
constexpr size_t LEADER_TIMESTAMP_HIGH = 12;
constexpr size_t LEADER_TIMESTAMP_LOW = 16;
constexpr size_t LEADER_PIXEL_FORMAT = 20;
constexpr size_t LEADER_SIZE_X = 24;
constexpr size_t LEADER_SIZE_Y = 28;
constexpr size_t LEADER_OFFSET_X = 32;
constexpr size_t LEADER_OFFSET_Y = 36;
constexpr size_t LEADER_PADDING_X = 40;
constexpr size_t LEADER_PADDING_Y = 42;
constexpr size_t LEADER_TIMESTAMP_END = 20;    // a leader this long carries its timestamp
constexpr size_t LEADER_LEN = BLOCK_HEAD_LEN;  // with the image fields

// Trailer fields.
constexpr size_t TRAILER_PAYLOAD_TYPE = 10;
constexpr size_t TRAILER_SIZE_Y = 12;
constexpr size_t TRAILER_LEN = 16;

// Payload types. Image-with-chunk (0x0005) is an image with the chunk bit
// 0x0004 set; an H.264 leader's time stamp is not read.
constexpr uint16_t PAYLOAD_TYPE_IMAGE = 0x0001;
constexpr uint16_t PAYLOAD_TYPE_CHUNK_BIT = 0x0004;
constexpr uint16_t PAYLOAD_TYPE_H264 = 0x0008;

// Packet statuses a receiver processes as data; any other marks an error.
constexpr uint16_t STATUS_SUCCESS = gvcp::STATUS_SUCCESS;
constexpr uint16_t STATUS_RESEND = gvcp::STATUS_PACKET_RESEND;
constexpr uint16_t STATUS_NOT_YET_AVAILABLE = gvcp::STATUS_PACKET_NOT_YET_AVAILABLE;

inline bool is_data_status(uint16_t status)
{
    return status == STATUS_SUCCESS || status == STATUS_RESEND || status == STATUS_NOT_YET_AVAILABLE;
}

// Only these may open a new block.
inline bool opens_block(uint16_t status)
{
    return status == STATUS_SUCCESS || status == STATUS_RESEND;
}

// Block ids run 1..65535 and skip 0.
inline uint16_t next_block_id(uint16_t id)
{
    return id == 0xFFFF ? 1 : static_cast<uint16_t>(id + 1);
}

// True for image payload types, with or without chunk data.
inline bool is_image_payload(uint16_t payload_type)
{
    return (payload_type & ~PAYLOAD_TYPE_CHUNK_BIT) == PAYLOAD_TYPE_IMAGE;
}

struct Header {
    uint16_t status;
    uint16_t block_id;
    uint8_t format;
    uint32_t packet_id;
};

struct Leader {
    uint16_t payload_type;
    uint64_t timestamp;  // camera ticks
    // Image fields; zero unless the payload type is an image.
    uint32_t pixel_format;
    uint32_t size_x;
    uint32_t size_y;
    uint32_t offset_x;
    uint32_t offset_y;
    uint16_t padding_x;
    uint16_t padding_y;
};

struct Trailer {
    uint16_t payload_type;
    uint32_t size_y;
};

// False when the datagram is shorter than a header.
bool parse_header(const uint8_t* data, size_t len, Header* out);

// False when the datagram is too short for the leader fields its payload
// type has: the timestamp for every type, the image fields for images.
bool parse_leader(const uint8_t* data, size_t len, Leader* out);

// False when the datagram is shorter than the payload type field. The size
// is read when present and 0 otherwise.
bool parse_trailer(const uint8_t* data, size_t len, Trailer* out);

// Builders write into `out` and return the bytes written: HEADER_LEN,
// LEADER_LEN or TRAILER_LEN.
size_t build_header(uint8_t* out, uint16_t status, uint16_t block_id, uint8_t format, uint32_t packet_id);
size_t build_leader(uint8_t* out, uint16_t status, uint16_t block_id, const Leader& leader);
size_t build_trailer(uint8_t* out, uint16_t status, uint16_t block_id, uint32_t packet_id, const Trailer& trailer);

}  // namespace gvsp

#endif
