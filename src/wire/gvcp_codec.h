// Big-endian byte encoding of GVCP datagrams. Every command and acknowledge
// is built and read here byte by byte; nothing casts a buffer to a struct.
#ifndef VORA_GVCP_CODEC_H
#define VORA_GVCP_CODEC_H

#include <cstddef>
#include <cstdint>

namespace gvcp {

inline void put_u16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void put_u32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint16_t get_u16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t get_u32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Acknowledge codes of GigE Vision: the command code plus one.
constexpr uint16_t DISCOVERY_ACK = 0x0003;
constexpr uint16_t FORCEIP_ACK = 0x0005;
constexpr uint16_t READREG_ACK = 0x0081;
constexpr uint16_t WRITEREG_ACK = 0x0083;
constexpr uint16_t READMEM_ACK = 0x0085;
constexpr uint16_t WRITEMEM_ACK = 0x0087;
constexpr uint16_t ACTION_CMD = 0x0100;
constexpr uint16_t ACTION_ACK = 0x0101;

constexpr uint8_t FLAG_ACK_REQUIRED = 0x01;
constexpr uint8_t FLAG_SCHEDULED_ACTION = 0x80;  // an ACTION_CMD carrying its action time
constexpr size_t HEADER_LEN = 8;
constexpr size_t READMEM_MAX_DATA = 536;  // largest READMEM a camera must serve

// Fixed command sizes.
constexpr size_t READREG_CMD_LEN = 12;
constexpr size_t WRITEREG_CMD_LEN = 16;
constexpr size_t READMEM_CMD_LEN = 16;
constexpr size_t WRITEMEM_CMD_LEN = 20;
constexpr size_t DISCOVERY_CMD_LEN = 8;
constexpr size_t FORCEIP_CMD_LEN = 64;
constexpr size_t PACKETRESEND_CMD_LEN = 20;
constexpr size_t DISCOVERY_ACK_LEN = 256;
constexpr size_t ACTION_CMD_LEN = 20;            // device key, group key, group mask
constexpr size_t SCHEDULED_ACTION_CMD_LEN = 28;  // ... and the 64-bit action time

// GigE Vision device status words used by the library and the simulator.
constexpr uint16_t STATUS_SUCCESS = 0x0000;
constexpr uint16_t STATUS_PACKET_RESEND = 0x0100;
constexpr uint16_t STATUS_NOT_IMPLEMENTED = 0x8001;
constexpr uint16_t STATUS_INVALID_PARAMETER = 0x8002;
constexpr uint16_t STATUS_INVALID_ADDRESS = 0x8003;
constexpr uint16_t STATUS_WRITE_PROTECT = 0x8004;
constexpr uint16_t STATUS_BAD_ALIGNMENT = 0x8005;
constexpr uint16_t STATUS_ACCESS_DENIED = 0x8006;
constexpr uint16_t STATUS_BUSY = 0x8007;
constexpr uint16_t STATUS_PACKET_UNAVAILABLE = 0x800C;
constexpr uint16_t STATUS_PACKET_NOT_YET_AVAILABLE = 0x8010;
constexpr uint16_t STATUS_NO_REF_TIME = 0x8013;  // a scheduled action without a synchronised clock
constexpr uint16_t STATUS_OVERFLOW = 0x8015;     // no room left: the scheduled action queue is full
constexpr uint16_t STATUS_ACTION_LATE = 0x8016;  // a scheduled action whose time has passed

// Bootstrap registers of action commands and precision time.
constexpr uint32_t NUMBER_OF_ACTION_SIGNALS_REG = 0x0908;
constexpr uint32_t ACTION_DEVICE_KEY_REG = 0x090C;
constexpr uint32_t GVCP_CAPABILITY_REG = 0x0934;
constexpr uint32_t TIMESTAMP_TICK_FREQUENCY_HIGH_REG = 0x093C;
constexpr uint32_t TIMESTAMP_TICK_FREQUENCY_LOW_REG = 0x0940;
constexpr uint32_t TIMESTAMP_CONTROL_REG = 0x0944;  // bit 0 resets the clock, bit 1 latches it
constexpr uint32_t TIMESTAMP_LATCHED_HIGH_REG = 0x0948;
constexpr uint32_t TIMESTAMP_LATCHED_LOW_REG = 0x094C;
constexpr uint32_t TIMESTAMP_CONTROL_LATCH = 2;
constexpr uint32_t GVCP_CONFIGURATION_REG = 0x0954;
constexpr uint32_t IEEE1588_STATUS_REG = 0x096C;  // the clock's state in the low four bits
constexpr uint32_t SCHEDULED_ACTION_QUEUE_SIZE_REG = 0x0970;
constexpr uint32_t ACTION_GROUP_KEY_BASE = 0x9800;  // + 0x10 per action signal
constexpr uint32_t ACTION_GROUP_MASK_BASE = 0x9804;
constexpr uint32_t ACTION_GROUP_STRIDE = 0x10;
constexpr uint32_t MAX_ACTION_SIGNALS = 128;  // the register block's room
// Bits of the GVCP capability register.
constexpr uint32_t CAPABILITY_UNCONDITIONAL_ACTION = 0x00100000;
constexpr uint32_t CAPABILITY_IEEE1588 = 0x00080000;
constexpr uint32_t CAPABILITY_SCHEDULED_ACTION = 0x00020000;
constexpr uint32_t CAPABILITY_ACTION = 0x00000040;
// Bit of the GVCP configuration register that turns precision time on.
constexpr uint32_t CONFIGURATION_IEEE1588 = 0x00080000;
constexpr uint32_t IEEE1588_STATUS_MASK = 0x0F;

// The 8-byte command header: start, flag, command, length, request id.
void put_cmd_header(uint8_t* out, uint8_t flag, uint16_t command, uint16_t length, uint16_t req_id);

size_t build_readreg(uint8_t* out, uint16_t req_id, uint32_t address);
size_t build_writereg(uint8_t* out, uint16_t req_id, uint32_t address, uint32_t value);
size_t build_readmem(uint8_t* out, uint16_t req_id, uint32_t address, uint16_t count);
size_t build_writemem(uint8_t* out, uint16_t req_id, uint32_t address, uint16_t count, uint32_t data);
// The standard WRITEMEM: the address, then count bytes (a multiple of 4, at
// most READMEM_MAX_DATA). out holds 12 + count bytes.
size_t build_writemem_data(uint8_t* out, uint16_t req_id, uint32_t address, const uint8_t* data, uint16_t count);

// PACKETRESEND: a range of packets of one block, asked for again. No
// acknowledge follows; the packets arrive on the stream.
struct PacketResend {
    uint16_t stream_channel;
    uint16_t block_id;
    uint32_t first_packet_id;
    uint32_t last_packet_id;
};

size_t build_packetresend(uint8_t* out, uint16_t req_id, const PacketResend& request);
// False when the command is shorter than its fields.
bool parse_packetresend(const uint8_t* data, size_t len, PacketResend* out);

// ACTION_CMD: every device whose device key matches, and for one of whose
// action signals the group key matches and the group mask shares a bit,
// fires that signal; a scheduled action fires when the device's clock
// reaches action_time.
struct Action {
    uint32_t device_key = 0;
    uint32_t group_key = 0;
    uint32_t group_mask = 0;
    bool scheduled = false;
    uint64_t action_time = 0;
};

size_t build_action(uint8_t* out, uint16_t req_id, const Action& action, bool ack_required);
// False when the command is shorter than its fields (or than its action
// time, when it says it is scheduled) or its length field claims more than
// arrived.
bool parse_action(const uint8_t* data, size_t len, Action* out);
// An action matches one signal when the keys agree and the masks share a bit.
inline bool action_matches(const Action& a, uint32_t device_key, uint32_t group_key, uint32_t group_mask)
{
    return a.device_key == device_key && a.group_key == group_key && (a.group_mask & group_mask) != 0;
}

struct AckHeader {
    uint16_t status;
    uint16_t answer;
    uint16_t length;
    uint16_t ack_id;
};

// Reads the header of an acknowledge; false when the datagram is shorter.
bool parse_ack_header(const uint8_t* data, size_t len, AckHeader* out);

// What an exchange waits for: the acknowledge with answer code `answer` to
// request `ack_id`, from the GVCP port of `peer_ip` (0: of any address). A
// successful acknowledge must carry at least `success_len` bytes; an error
// acknowledge may carry its header alone.
struct AckExpectation {
    uint32_t peer_ip;
    uint16_t answer;
    uint16_t ack_id;
    size_t success_len;
};

// True when a datagram from from_ip:from_port is that acknowledge; `out`
// then holds its header. Anything else (a stray datagram, a late answer to
// an earlier request, a runt) is to be ignored.
bool ack_matches(const uint8_t* data, size_t len, uint32_t from_ip, uint16_t from_port, const AckExpectation& want,
                 AckHeader* out);

struct CmdHeaderFields {
    uint8_t start;
    uint8_t flag;
    uint16_t command;
    uint16_t length;
    uint16_t req_id;
};

bool parse_cmd_header(const uint8_t* data, size_t len, CmdHeaderFields* out);

// Acknowledge header: status, answer code, length, acknowledge id.
void put_ack_header(uint8_t* out, uint16_t status, uint16_t answer, uint16_t length, uint16_t ack_id);

}  // namespace gvcp

#endif
