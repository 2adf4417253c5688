/*
 * Records, protocol constants and status codes shared by the library, its
 * callers and the Python module. Every record is a plain structure so that
 * foreign callers can share it field by field.
 *
 * The wire formats of the control protocol (the *CmdPack records) are in
 * vora_gvcp_records.h, included here: callers have always found them
 * through this header.
 */
#ifndef VORA_BASE_TYPE_H
#define VORA_BASE_TYPE_H

#include <stddef.h>
#include <stdint.h>

#include "vora_gvcp_records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- header constants -------------------------------------------------- */

#define IP_HEADER_LEN 20
#define UDP_HEADER_LEN 8
#define IMAGE_PACKET_HEADER_LEN 8
#define BLOCK_HEAD_LEN 44
#define GVCP_PORT 3956
#define SORT_BY_IP 0
#define SORT_BY_SERIAL_NUMBER 1

#define PACK_START 0x42
#define DISCOVERY_CMD 0x0002
#define FORCEIP_CMD 0x0004
#define PACKETRESEND_CMD 0x0040
#define READREG_CMD 0x0080
#define WRITEREG_CMD 0x0082
#define READMEM_CMD 0x0084
#define WRITEMEM_CMD 0x0086

#define First_Url_Reg 0x0200
#define Second_Url_Reg 0x0400
#define Number_of_Message_Channels_Reg 0x0900
#define Number_of_Stream_Channels_Reg 0x0904
#define GVCP_Capability_Reg 0x0934
#define Heartbeat_Timeout_Reg 0x0938
#define Control_Channel_Privilage_Reg 0x0A00
#define Stream_Channel_0_Port_Reg 0x0D00
#define Stream_Channel_Packet_Size_Reg 0x0D04
#define Stream_Channel_0_Destination_Address_Reg 0x0D18
#define Source_Port_Reg 0x0D1C
#define Model_Adder 0x0014
#define IP_Adder 0x064C
#define Mask_Adder 0x065C
#define Gate_Adder 0x066C

#define RECIEVE_TIME_STATISTICS_LENGTH 1000

/* Stream channel n uses the channel-0 register plus n times this stride;
 * so do the per-channel feature registers. */
#define STREAM_CHANNEL_REG_STRIDE 0x40
/* Per-sensor (CMOS) feature registers repeat with this stride. */
#define SENSOR_REG_STRIDE 0x100

/* ---- status codes ------------------------------------------------------ */
/* 0 is success, negative values are the library's own, and a positive value
 * is the non-zero status word of a camera acknowledge passed on unchanged. */
enum VoraStatus {
    VORA_OK = 0,
    VORA_ERR_FAILED = -1, /* operation-specific failure */
    VORA_ERR_INVALID_ARG = -2,
    VORA_ERR_FORCEIP = -4,
    VORA_ERR_INTERFACE_LIST = -5,
    VORA_ERR_SOCKET = -6,
    VORA_ERR_BIND = -7,
    VORA_ERR_FIREWALL_SEND = -8,
    VORA_ERR_XML_READ = -10,
    VORA_ERR_NOT_CONNECTED = -11,
    VORA_ERR_LOG_OPEN = -12,
    VORA_ERR_MTU = -13,
    VORA_ERR_GAIN_RANGE = -16,
    VORA_ERR_VALUE_RANGE = -17,
    VORA_ERR_HEARTBEAT_THREAD = -19,
    VORA_ERR_NO_NODE = -21,
    VORA_ERR_PIXEL_FORMAT = -22,
    VORA_ERR_ROI = -25,
    VORA_ERR_MAX_UNREADABLE = -28,
    VORA_ERR_MIN_UNREADABLE = -29,
    VORA_ERR_HEARTBEAT_BOUNDS = -30,
    VORA_ERR_HEARTBEAT_TIMEOUT = -31,
    VORA_ERR_CHANNEL_INDEX = -33,
    VORA_ERR_CAPTURE_TIMEOUT = -34,
    VORA_ERR_CAPTURE = -35,
    VORA_ERR_IP_TEXT = -36,
    VORA_ERR_SAVE_FORMAT = -41,
    VORA_ERR_SAVE_OPEN = -42,
    VORA_ERR_XML_SAVE = -43,
    VORA_ERR_FTP_SOCKET = -44,
    VORA_ERR_FTP_TRANSFER = -45,
    VORA_ERR_FTP_FILE = -46,
    VORA_ERR_NO_STREAM = -50,
    VORA_ERR_INC_UNREADABLE = -51,
    VORA_ERR_WRITEREG_TIMEOUT = -52,
    VORA_ERR_READREG_TIMEOUT = -53,
    VORA_ERR_WRITEMEM_TIMEOUT = -54,
    VORA_ERR_READMEM_TIMEOUT = -55,
    VORA_ERR_CCP_TIMEOUT = -56,
    VORA_ERR_COLOR_FORMAT = -59,
    VORA_ERR_CCP_NO_CAMERA = -60,
    /* recording and replay */
    VORA_ERR_RECORDING_BUSY = -70,    /* the camera is recording already; or too many recordings open */
    VORA_ERR_NOT_RECORDING = -71,     /* no recording runs on this camera */
    VORA_ERR_RECORDING_IO = -72,      /* the recording file cannot be created, written or opened */
    VORA_ERR_RECORDING_FORMAT = -73,  /* not a recording that can be read (not MCAP, damaged) */
    VORA_ERR_RECORDING_END = -74,     /* no more frames in the recording */
    VORA_ERR_RECORDING_MISSING = -75, /* no open recording with that number */
    /* a camera that went away while in use */
    VORA_ERR_CAMERA_LOST = -80, /* the heartbeat gave the camera up: it stopped answering or lost control */
    /* features by name (an unknown name is VORA_ERR_NO_NODE) */
    VORA_ERR_FEATURE_NOT_AVAILABLE = -81, /* not implemented, or not available in the camera's present state */
    VORA_ERR_FEATURE_NOT_READABLE = -82,  /* write-only, or a command */
    VORA_ERR_FEATURE_NOT_WRITABLE = -83,  /* read-only, or locked */
    VORA_ERR_FEATURE_RANGE = -84,         /* outside the feature's minimum..maximum, or no such entry */
    VORA_ERR_FEATURE_INCREMENT = -85,     /* not minimum plus a multiple of the increment */
    VORA_ERR_FEATURE_TYPE = -86,          /* the feature is of another type than the call */
    VORA_ERR_DESCRIPTION = -87,           /* the description cannot evaluate the feature (see GetFeatureError) */
    /* synchronised capture */
    VORA_ERR_NO_ACK = -90,           /* no acknowledge came for an action command in time */
    VORA_ERR_SYNC_UNSUPPORTED = -91, /* the camera does not say it can (action commands, scheduled actions, PTP) */
    VORA_ERR_FRAME_SET_MISSING = -92, /* no open frame set with that number */
    VORA_ERR_LOAN_LIMIT = -93,        /* the stream has as many frames out on loan as its loan limit */
    VORA_ERR_NOT_LENT = -94,          /* not a frame the stream has out on loan */
    VORA_ERR_STREAM_MISSING = -98,
    VORA_ERR_CAMERA_MISSING = -99
};

/* ---- frame and discovery records ---------------------------------------- */

typedef struct RoiPoint {
    uint32_t size_x;
    uint32_t size_y;
    uint32_t offset_x;
    uint32_t offset_y;
} RoiPoint;

typedef struct PhotoInfo {
    char* pixel;
    uint32_t pixel_length;
    uint32_t pixel_format;
    uint32_t pixel_width;
    uint32_t pixel_height;
    uint32_t cloud_unit;
    uint32_t payload_size;
    uint64_t timestamp_high;
    uint64_t timestamp_low;
    RoiPoint roi;
    uint16_t block_id;
    uint16_t stream_channel_index_;
} PhotoInfo;

typedef struct PhotoInfoCSharp {
    uint32_t pixel_length;
    uint32_t pixel_format;
    uint32_t pixel_width;
    uint32_t pixel_height;
    uint32_t cloud_unit;
    uint32_t payload_size;
    uint64_t timestamp_high;
    uint64_t timestamp_low;
    RoiPoint roi;
    uint16_t block_id;
    uint16_t stream_channel_index_;
} PhotoInfoCSharp;

typedef struct DiscoveryInfo {
    uint32_t camera_ip;
    uint32_t camera_mask;
    uint32_t camera_gateway;
    uint32_t camera_mac_low;
    uint16_t camera_mac_high;
    char device_vendor_name[32];
    char device_model_name[32];
    char device_version[32];
    char device_manufacturer_info[48];
    char device_serial_number[16];
    char device_user_id[16];
    uint32_t computer_ip;
    uint32_t computer_mask;
    uint32_t computer_gateway;
    int32_t mtu;
    char computer_adapter[256];
} DiscoveryInfo;

typedef struct CameraParameter {
    float Kc[20];
    float K[36];
    float R[36];
    float T[12];
} CameraParameter;

typedef struct StatisticsData {
    int32_t offset;
    uint32_t bin_steps;
    uint32_t n_bins;
    int32_t max;
    int32_t min;
    int64_t count;
    int64_t add_more;
    int64_t add_less;
    int64_t bins[RECIEVE_TIME_STATISTICS_LENGTH];
} StatisticsData;

typedef struct StatisticsDataCSharp {
    int32_t offset;
    uint32_t bin_steps;
    uint32_t n_bins;
    int32_t max;
    int32_t min;
    int64_t count;
    int64_t add_more;
    int64_t add_less;
} StatisticsDataCSharp;

/* Declared for the Python module; no operation takes or returns these. */
typedef struct InstanceDevice {
    uint32_t camera_ip;
    uint32_t camera_mask;
    uint32_t computer_ip;
    uint32_t computer_mask;
    int32_t computer_mtu;
    int32_t recv_buffer_num;
    char* computer_adapter;
} InstanceDevice;

typedef struct RecvDataBuff {
    uint16_t status;
    char head_packet_flag;
    char* data;
    char block_head[BLOCK_HEAD_LEN];
    struct RecvDataBuff* next;
} RecvDataBuff;

typedef struct RecvDataTemp {
    char head_packet_flag;
    char resend_check_point;
    char out_of_time_check;
    uint16_t block_id;
    uint32_t recv_packet_num;
    uint32_t all_data_size;
    uint32_t all_packet_num;
    char* recv_packet_id;
    char* data;
    char* block_head;
    struct RecvDataTemp* next;
} RecvDataTemp;

typedef struct PacketInfo {
    uint16_t in_status;
    uint16_t in_block_id;
    uint16_t in_packet_id;
    uint8_t packet_format;
    int32_t data_packet_len;
} PacketInfo;

#ifdef __cplusplus
} /* extern "C" */
#define VORA_STATIC_ASSERT static_assert
#else
#define VORA_STATIC_ASSERT _Static_assert
#endif

/* Layouts that cross the wire or the Python boundary. */
VORA_STATIC_ASSERT(sizeof(RoiPoint) == 16, "RoiPoint layout");
VORA_STATIC_ASSERT(offsetof(PhotoInfo, pixel_length) == 8, "PhotoInfo layout");
VORA_STATIC_ASSERT(offsetof(PhotoInfo, timestamp_high) == 32, "PhotoInfo layout");
VORA_STATIC_ASSERT(offsetof(PhotoInfo, roi) == 48, "PhotoInfo layout");
VORA_STATIC_ASSERT(offsetof(PhotoInfo, block_id) == 64, "PhotoInfo layout");
VORA_STATIC_ASSERT(offsetof(PhotoInfo, stream_channel_index_) == 66, "PhotoInfo layout");
VORA_STATIC_ASSERT(sizeof(PhotoInfo) == 72, "PhotoInfo layout");
VORA_STATIC_ASSERT(offsetof(PhotoInfoCSharp, timestamp_high) == 24, "PhotoInfoCSharp layout");
VORA_STATIC_ASSERT(offsetof(PhotoInfoCSharp, roi) == 40, "PhotoInfoCSharp layout");
VORA_STATIC_ASSERT(offsetof(PhotoInfoCSharp, stream_channel_index_) == 58, "PhotoInfoCSharp layout");
VORA_STATIC_ASSERT(sizeof(PhotoInfoCSharp) == 64, "PhotoInfoCSharp layout");
VORA_STATIC_ASSERT(offsetof(DiscoveryInfo, camera_mac_high) == 16, "DiscoveryInfo layout");
VORA_STATIC_ASSERT(offsetof(DiscoveryInfo, device_vendor_name) == 18, "DiscoveryInfo layout");
VORA_STATIC_ASSERT(offsetof(DiscoveryInfo, device_serial_number) == 162, "DiscoveryInfo layout");
VORA_STATIC_ASSERT(offsetof(DiscoveryInfo, device_user_id) == 178, "DiscoveryInfo layout");
VORA_STATIC_ASSERT(offsetof(DiscoveryInfo, computer_ip) == 196, "DiscoveryInfo layout");
VORA_STATIC_ASSERT(offsetof(DiscoveryInfo, mtu) == 208, "DiscoveryInfo layout");
VORA_STATIC_ASSERT(offsetof(DiscoveryInfo, computer_adapter) == 212, "DiscoveryInfo layout");
VORA_STATIC_ASSERT(sizeof(DiscoveryInfo) == 468, "DiscoveryInfo layout");
VORA_STATIC_ASSERT(sizeof(CameraParameter) == 104 * 4, "CameraParameter layout");
VORA_STATIC_ASSERT(offsetof(StatisticsData, count) == 24, "StatisticsData layout");
VORA_STATIC_ASSERT(offsetof(StatisticsData, bins) == 48, "StatisticsData layout");
VORA_STATIC_ASSERT(sizeof(StatisticsData) == 48 + 8 * RECIEVE_TIME_STATISTICS_LENGTH, "StatisticsData layout");
VORA_STATIC_ASSERT(sizeof(StatisticsDataCSharp) == 48, "StatisticsDataCSharp layout");

#undef VORA_STATIC_ASSERT

#endif /* VORA_BASE_TYPE_H */
