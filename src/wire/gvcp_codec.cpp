#include "gvcp_codec.h"

#include <cstring>

#include "vora_base_type.h"

namespace gvcp {

void put_cmd_header(uint8_t* out, uint8_t flag, uint16_t command, uint16_t length, uint16_t req_id)
{
    out[0] = PACK_START;
    out[1] = flag;
    put_u16(out + 2, command);
    put_u16(out + 4, length);
    put_u16(out + 6, req_id);
}

size_t build_readreg(uint8_t* out, uint16_t req_id, uint32_t address)
{
    put_cmd_header(out, FLAG_ACK_REQUIRED, READREG_CMD, 4, req_id);
    put_u32(out + 8, address);
    return READREG_CMD_LEN;
}

size_t build_writereg(uint8_t* out, uint16_t req_id, uint32_t address, uint32_t value)
{
    put_cmd_header(out, FLAG_ACK_REQUIRED, WRITEREG_CMD, 8, req_id);
    put_u32(out + 8, address);
    put_u32(out + 12, value);
    return WRITEREG_CMD_LEN;
}

size_t build_readmem(uint8_t* out, uint16_t req_id, uint32_t address, uint16_t count)
{
    put_cmd_header(out, FLAG_ACK_REQUIRED, READMEM_CMD, 8, req_id);
    put_u32(out + 8, address);
    put_u16(out + 12, 0);
    put_u16(out + 14, count);
    return READMEM_CMD_LEN;
}

size_t build_writemem(uint8_t* out, uint16_t req_id, uint32_t address, uint16_t count, uint32_t data)
{
    put_cmd_header(out, FLAG_ACK_REQUIRED, WRITEMEM_CMD, 8, req_id);
    put_u32(out + 8, address);
    put_u16(out + 12, 0);
    put_u16(out + 14, count);
    put_u32(out + 16, data);
    return WRITEMEM_CMD_LEN;
}

size_t build_writemem_data(uint8_t* out, uint16_t req_id, uint32_t address, const uint8_t* data, uint16_t count)
{
    put_cmd_header(out, FLAG_ACK_REQUIRED, WRITEMEM_CMD, static_cast<uint16_t>(4 + count), req_id);
    put_u32(out + 8, address);
    std::memcpy(out + 12, data, count);
    return 12u + count;
}

size_t build_packetresend(uint8_t* out, uint16_t req_id, const PacketResend& r)
{
    put_cmd_header(out, FLAG_ACK_REQUIRED, PACKETRESEND_CMD, PACKETRESEND_CMD_LEN - HEADER_LEN, req_id);
    put_u16(out + 8, r.stream_channel);
    put_u16(out + 10, r.block_id);
    put_u32(out + 12, r.first_packet_id);
    put_u32(out + 16, r.last_packet_id);
    return PACKETRESEND_CMD_LEN;
}

bool parse_packetresend(const uint8_t* data, size_t len, PacketResend* out)
{
    if (len < PACKETRESEND_CMD_LEN)
        return false;
    out->stream_channel = get_u16(data + 8);
    out->block_id = get_u16(data + 10);
    out->first_packet_id = get_u32(data + 12);
    out->last_packet_id = get_u32(data + 16);
    return true;
}

size_t build_action(uint8_t* out, uint16_t req_id, const Action& a, bool ack_required)
{
    const size_t len = a.scheduled ? SCHEDULED_ACTION_CMD_LEN : ACTION_CMD_LEN;
    const uint8_t flag =
        static_cast<uint8_t>((ack_required ? FLAG_ACK_REQUIRED : 0) | (a.scheduled ? FLAG_SCHEDULED_ACTION : 0));
    put_cmd_header(out, flag, ACTION_CMD, static_cast<uint16_t>(len - HEADER_LEN), req_id);
    put_u32(out + 8, a.device_key);
    put_u32(out + 12, a.group_key);
    put_u32(out + 16, a.group_mask);
    if (a.scheduled) {
        put_u32(out + 20, static_cast<uint32_t>(a.action_time >> 32));
        put_u32(out + 24, static_cast<uint32_t>(a.action_time));
    }
    return len;
}

bool parse_action(const uint8_t* data, size_t len, Action* out)
{
    CmdHeaderFields cmd;
    if (!parse_cmd_header(data, len, &cmd) || cmd.command != ACTION_CMD)
        return false;
    const bool scheduled = cmd.flag & FLAG_SCHEDULED_ACTION;
    const size_t need = scheduled ? SCHEDULED_ACTION_CMD_LEN : ACTION_CMD_LEN;
    if (len < need || HEADER_LEN + size_t(cmd.length) < need || HEADER_LEN + size_t(cmd.length) > len)
        return false;
    out->device_key = get_u32(data + 8);
    out->group_key = get_u32(data + 12);
    out->group_mask = get_u32(data + 16);
    out->scheduled = scheduled;
    out->action_time = scheduled ? (uint64_t(get_u32(data + 20)) << 32) | get_u32(data + 24) : 0;
    return true;
}

bool parse_ack_header(const uint8_t* data, size_t len, AckHeader* out)
{
    if (len < HEADER_LEN)
        return false;
    out->status = get_u16(data);
    out->answer = get_u16(data + 2);
    out->length = get_u16(data + 4);
    out->ack_id = get_u16(data + 6);
    return true;
}

bool ack_matches(const uint8_t* data, size_t len, uint32_t from_ip, uint16_t from_port, const AckExpectation& want,
                 AckHeader* out)
{
    if (from_port != GVCP_PORT || (want.peer_ip != 0 && from_ip != want.peer_ip))
        return false;
    AckHeader header;
    if (!parse_ack_header(data, len, &header) || header.answer != want.answer || header.ack_id != want.ack_id)
        return false;
    if (header.status == STATUS_SUCCESS && len < want.success_len)
        return false;
    *out = header;
    return true;
}

bool parse_cmd_header(const uint8_t* data, size_t len, CmdHeaderFields* out)
{
    if (len < HEADER_LEN)
        return false;
    out->start = data[0];
    out->flag = data[1];
    out->command = get_u16(data + 2);
    out->length = get_u16(data + 4);
    out->req_id = get_u16(data + 6);
    return true;
}

void put_ack_header(uint8_t* out, uint16_t status, uint16_t answer, uint16_t length, uint16_t ack_id)
{
    put_u16(out, status);
    put_u16(out + 2, answer);
    put_u16(out + 4, length);
    put_u16(out + 6, ack_id);
}

}  // namespace gvcp
