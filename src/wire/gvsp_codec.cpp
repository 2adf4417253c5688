#include "gvsp_codec.h"

#include <cstring>

namespace gvsp {

using gvcp::get_u16;
using gvcp::get_u32;
using gvcp::put_u16;
using gvcp::put_u32;

bool parse_header(const uint8_t* data, size_t len, Header* out)
{
    if (!data || len < HEADER_LEN)
        return false;
    out->status = get_u16(data + STATUS_OFFSET);
    out->block_id = get_u16(data + BLOCK_ID_OFFSET);
    out->format = data[FORMAT_OFFSET];
    out->packet_id = get_u32(data + PACKET_ID_OFFSET) & PACKET_ID_MASK;
    return true;
}

bool parse_leader(const uint8_t* data, size_t len, Leader* out)
{
    if (!data || len < LEADER_TIMESTAMP_END)
        return false;
    std::memset(out, 0, sizeof *out);
    out->payload_type = get_u16(data + LEADER_PAYLOAD_TYPE);
    out->timestamp = (uint64_t(get_u32(data + LEADER_TIMESTAMP_HIGH)) << 32) | get_u32(data + LEADER_TIMESTAMP_LOW);
    if (!is_image_payload(out->payload_type))
        return true;
    // The padding fields are not needed; the offsets are.
    if (len < LEADER_PADDING_X)
        return false;
    out->pixel_format = get_u32(data + LEADER_PIXEL_FORMAT);
    out->size_x = get_u32(data + LEADER_SIZE_X);
    out->size_y = get_u32(data + LEADER_SIZE_Y);
    out->offset_x = get_u32(data + LEADER_OFFSET_X);
    out->offset_y = get_u32(data + LEADER_OFFSET_Y);
    if (len >= LEADER_LEN) {
        out->padding_x = get_u16(data + LEADER_PADDING_X);
        out->padding_y = get_u16(data + LEADER_PADDING_Y);
    }
    return true;
}

bool parse_trailer(const uint8_t* data, size_t len, Trailer* out)
{
    if (!data || len < TRAILER_PAYLOAD_TYPE + 2)
        return false;
    out->payload_type = get_u16(data + TRAILER_PAYLOAD_TYPE);
    out->size_y = len >= TRAILER_LEN ? get_u32(data + TRAILER_SIZE_Y) : 0;
    return true;
}

size_t build_header(uint8_t* out, uint16_t status, uint16_t block_id, uint8_t format, uint32_t packet_id)
{
    put_u16(out + STATUS_OFFSET, status);
    put_u16(out + BLOCK_ID_OFFSET, block_id);
    put_u32(out + PACKET_ID_OFFSET, (uint32_t(format) << 24) | (packet_id & PACKET_ID_MASK));
    return HEADER_LEN;
}

size_t build_leader(uint8_t* out, uint16_t status, uint16_t block_id, const Leader& leader)
{
    build_header(out, status, block_id, FORMAT_LEADER, 0);
    put_u16(out + 8, 0);  // reserved
    put_u16(out + LEADER_PAYLOAD_TYPE, leader.payload_type);
    put_u32(out + LEADER_TIMESTAMP_HIGH, static_cast<uint32_t>(leader.timestamp >> 32));
    put_u32(out + LEADER_TIMESTAMP_LOW, static_cast<uint32_t>(leader.timestamp));
    put_u32(out + LEADER_PIXEL_FORMAT, leader.pixel_format);
    put_u32(out + LEADER_SIZE_X, leader.size_x);
    put_u32(out + LEADER_SIZE_Y, leader.size_y);
    put_u32(out + LEADER_OFFSET_X, leader.offset_x);
    put_u32(out + LEADER_OFFSET_Y, leader.offset_y);
    put_u16(out + LEADER_PADDING_X, leader.padding_x);
    put_u16(out + LEADER_PADDING_Y, leader.padding_y);
    return LEADER_LEN;
}

size_t build_trailer(uint8_t* out, uint16_t status, uint16_t block_id, uint32_t packet_id, const Trailer& trailer)
{
    build_header(out, status, block_id, FORMAT_TRAILER, packet_id);
    put_u16(out + 8, 0);  // reserved
    put_u16(out + TRAILER_PAYLOAD_TYPE, trailer.payload_type);
    put_u32(out + TRAILER_SIZE_Y, trailer.size_y);
    return TRAILER_LEN;
}

}  // namespace gvsp
