/*
 * The GVCP command records (wire layout, big-endian on the wire), declared
 * for reference and for the Python module. The library builds and parses
 * datagrams byte by byte in network order and never sends these structures
 * as they lie in memory.
 */
#ifndef VORA_GVCP_RECORDS_H
#define VORA_GVCP_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CmdHeader {
    uint8_t start;
    uint8_t flag;
    uint16_t command;
    uint16_t length;
    uint16_t req_id;
} CmdHeader;

typedef struct DiscoverCmdPack {
    CmdHeader header;
} DiscoverCmdPack;

typedef struct ReadRegCmdPack {
    CmdHeader header;
    uint32_t register_addr;
} ReadRegCmdPack;

typedef struct WriteRegCmdPack {
    CmdHeader header;
    uint32_t register_addr;
    uint32_t data;
} WriteRegCmdPack;

typedef struct ReadMemCmdPack {
    CmdHeader header;
    uint32_t address;
    uint16_t reserved;
    uint16_t count;
} ReadMemCmdPack;

typedef struct WriteMemCmdPack {
    CmdHeader header;
    uint32_t address;
    uint16_t reserved;
    uint16_t count;
    uint32_t data;
} WriteMemCmdPack;

typedef struct PacketResendCmdPack {
    CmdHeader header;
    uint16_t stream_channel_index;
    uint16_t block_id;
    uint32_t first_packet_id;
    uint32_t last_packet_id;
} PacketResendCmdPack;

typedef struct ForceIpCmdPack {
    CmdHeader header;
    uint16_t reserved;
    uint16_t mac_addr_high;
    uint32_t mac_addr_low;
    uint32_t reserved1[3];
    uint32_t ip;
    uint32_t reserved2[3];
    uint32_t mask;
    uint32_t reserved3[3];
    uint32_t gateway;
} ForceIpCmdPack;

typedef struct ForceIpRebootCmdPack {
    CmdHeader header;
    uint32_t model_addr;
    uint32_t model;
    uint32_t ip_addr;
    uint32_t ip;
    uint32_t mask_addr;
    uint32_t mask;
    uint32_t gateway_addr;
    uint32_t gateway;
    uint32_t restart_addr;
    uint32_t restart;
} ForceIpRebootCmdPack;

#ifdef __cplusplus
} /* extern "C" */
#define VORA_STATIC_ASSERT static_assert
#else
#define VORA_STATIC_ASSERT _Static_assert
#endif

VORA_STATIC_ASSERT(sizeof(CmdHeader) == 8, "command header");
VORA_STATIC_ASSERT(sizeof(DiscoverCmdPack) == 8, "DiscoverCmdPack");
VORA_STATIC_ASSERT(sizeof(ReadRegCmdPack) == 12, "ReadRegCmdPack");
VORA_STATIC_ASSERT(sizeof(WriteRegCmdPack) == 16, "WriteRegCmdPack");
VORA_STATIC_ASSERT(sizeof(ReadMemCmdPack) == 16, "ReadMemCmdPack");
VORA_STATIC_ASSERT(offsetof(ReadMemCmdPack, count) == 14, "ReadMemCmdPack");
VORA_STATIC_ASSERT(sizeof(WriteMemCmdPack) == 20, "WriteMemCmdPack");
VORA_STATIC_ASSERT(offsetof(WriteMemCmdPack, data) == 16, "WriteMemCmdPack");
VORA_STATIC_ASSERT(sizeof(PacketResendCmdPack) == 20, "PacketResendCmdPack");
VORA_STATIC_ASSERT(offsetof(PacketResendCmdPack, first_packet_id) == 12, "PacketResendCmdPack");
VORA_STATIC_ASSERT(sizeof(ForceIpCmdPack) == 64, "ForceIpCmdPack");
VORA_STATIC_ASSERT(offsetof(ForceIpCmdPack, mac_addr_low) == 12, "ForceIpCmdPack");
VORA_STATIC_ASSERT(offsetof(ForceIpCmdPack, ip) == 28, "ForceIpCmdPack");
VORA_STATIC_ASSERT(offsetof(ForceIpCmdPack, mask) == 44, "ForceIpCmdPack");
VORA_STATIC_ASSERT(offsetof(ForceIpCmdPack, gateway) == 60, "ForceIpCmdPack");
VORA_STATIC_ASSERT(sizeof(ForceIpRebootCmdPack) == 48, "ForceIpRebootCmdPack");

#undef VORA_STATIC_ASSERT

#endif /* VORA_GVCP_RECORDS_H */
