// Opening and closing stream channels: the camera is aimed at a fresh host
// socket, and a GigeStream receives what it sends there.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "camera/vora_gige_camera.h"
#include "stream/vora_gige_stream.h"

namespace {

constexpr int PACKET_OVERHEAD = IP_HEADER_LEN + UDP_HEADER_LEN + IMAGE_PACKET_HEADER_LEN;

// The largest receive buffer the socket will take, asking with privilege
// when the system limit is lower. Returns the size granted.
int size_receive_buffer(int sock, int wanted)
{
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    int granted = 0;
    socklen_t len = sizeof granted;
    getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &granted, &len);
    // The kernel reports twice what it books; below half the wish means capped.
    if (granted / 2 < wanted) {
        setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted);
        len = sizeof granted;
        getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &granted, &len);
    }
    return granted / 2;
}

// What a channel is set to, read from the camera before its stream opens.
struct ChannelLayout {
    int cloud_unit = -1, sensor = -1, width = -1, height = -1, offset_x = -1, offset_y = -1, payload = -1, format = -1;
    unsigned source_port_register = 0;  // GevSCSP of channel 0
};

// Checks the channel against the camera's count and reads its layout. Every
// register is looked up before the first exchange: a description that lacks
// one is refused with the lookup's code, and nothing reaches a register that
// does not exist.
int read_channel_layout(GigeCamera& c, unsigned short channel, ChannelLayout* layout)
{
    struct Register {
        const char* name;
        unsigned address;
    };
    Register registers[] = {{"GevStreamChannelCount", 0},
                            {"DeviceCloudUnit", 0},
                            {"CmosIndex", 0},
                            {"Width", 0},
                            {"Height", 0},
                            {"OffsetX", 0},
                            {"OffsetY", 0},
                            {"PayloadSize", 0},
                            {"PixelFormat", 0},
                            {"GevSCSP", 0}};
    for (Register& r : registers) {
        if (const int lookup = c.feature_register(r.name, 0, &r.address)) {
            c.log.log_error(gvsp_log_error_level,
                            "[function:StreamOn] Failed to look up the register of %s. error code: %d", r.name, lookup);
            return lookup;
        }
    }
    auto address_of = [&registers](const char* name) {
        for (const Register& r : registers)
            if (std::strcmp(r.name, name) == 0)
                return r.address;
        return 0u;
    };
    layout->source_port_register = address_of("GevSCSP");

    int count = -1;
    int status = c.ReadRegister(address_of("GevStreamChannelCount"), &count);
    if (status != 0) {
        c.log.log_error(gvsp_log_error_level,
                        "[function:StreamOn] Failed to read register to get channel count. error code: %x.", status);
        return status;
    }
    // Channels beyond the table's slots are never opened, whatever the
    // camera reports.
    if (channel >= count || channel >= MAX_STREAM_CHANNELS) {
        c.log.log_error(gvsp_log_error_level, "[function:StreamOn] The channel index is invalid. error code: %d",
                        VORA_ERR_CHANNEL_INDEX);
        return VORA_ERR_CHANNEL_INDEX;
    }

    struct Read {
        const char* name;
        bool per_sensor;  // else per channel
        int* out;
        const char* message;
    };
    const Read reads[] = {
        {"DeviceCloudUnit", false, &layout->cloud_unit,
         "[function:StreamOn] Failed to read register to get cloud unit. error code: %x."},
        {"CmosIndex", false, &layout->sensor,
         "[function:StreamOn] Failed to read register to get cmos number. error code: %x."},
        {"Width", true, &layout->width, "[function:StreamOn] Failed to read register to get width. error code: %x."},
        {"Height", true, &layout->height, "[function:StreamOn] Failed to read register to get height. error code: %x."},
        {"OffsetX", true, &layout->offset_x,
         "[function:StreamOn] Failed to read register to get offset_x. error code: %x."},
        {"OffsetY", true, &layout->offset_y,
         "[function:StreamOn] Failed to read register to get offset_y. error code: %x."},
        {"PayloadSize", false, &layout->payload,
         "[function:StreamOn] Failed to read register to get payload_size. error code: %x."},
        {"PixelFormat", false, &layout->format,
         "[function:StreamOn] Failed to read register to get pixel_format_value. error code: %x."},
    };
    for (const Read& r : reads) {
        unsigned address = address_of(r.name);
        // DeviceCloudUnit is device-wide; CmosIndex, PayloadSize and
        // PixelFormat repeat per channel, the geometry per sensor.
        if (r.per_sensor)
            address += static_cast<unsigned>(layout->sensor) * SENSOR_REG_STRIDE;
        else if (r.out != &layout->cloud_unit)
            address += channel * STREAM_CHANNEL_REG_STRIDE;
        status = c.ReadRegister(address, r.out);
        if (status != 0) {
            c.log.log_error_listed(gvsp_log_error_level, r.message, status);
            return status;
        }
    }
    return VORA_OK;
}

// A socket bound to the host's address, its receive buffer sized for a few
// frames; its descriptor in *sock.
int open_receive_socket(GigeCamera& c, unsigned short channel, uint32_t payload_size, int* sock)
{
    *sock = c.InitSocket();
    if (*sock < 0) {
        c.log.log_error(gvsp_log_error_level,
                        "[function:StreamOn] Failed to create socket for receiving data stream. error code: %d",
                        VORA_ERR_SOCKET);
        return VORA_ERR_SOCKET;
    }
    c.SetTimeouts(*sock, 1000, 1000);
    const long long wanted = 6LL * payload_size;
    const int granted = size_receive_buffer(*sock, wanted > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(wanted));
    c.log.log_info(gvsp_log_info_level, "[function:StreamOn] Receive buffer of channel %d: asked %lld bytes, got %d.",
                   channel, wanted, granted);
    if (c.Bind(*sock, c.computer_ip, 0) < 0) {
        close(*sock);
        c.log.log_error(gvsp_log_error_level,
                        "[function:StreamOn] Failed to bind socket for receiving data stream. error code: %d",
                        VORA_ERR_BIND);
        return VORA_ERR_BIND;
    }
    return VORA_OK;
}

// Aims the channel (registers at `base`) at the host's socket.
int aim_channel(GigeCamera& c, unsigned base, unsigned short host_port)
{
    int status =
        c.WriteRegister(Stream_Channel_0_Destination_Address_Reg + base, static_cast<int>(c.computer_ip.load()));
    if (status & 0xFFFF) {
        c.log.log_error(
            gvsp_log_error_level,
            "[function:StreamOn] Failed to open the data stream due to write IP to register error. error code: %x",
            status & 0xFFFF);
        return status & 0xFFFF;
    }
    status = c.WriteRegister(Stream_Channel_0_Port_Reg + base, host_port);
    if (status & 0xFFFF) {
        c.log.log_error(
            gvsp_log_error_level,
            "[function:StreamOn] Failed to open the data stream due to write PORT to register error. error code: %x",
            status & 0xFFFF);
        return status & 0xFFFF;
    }
    return VORA_OK;
}

}  // namespace

int GigeCamera::StreamOn(unsigned short channel, GigeStream** stream)
{
    if (!connected) {
        log.log_error(
            gvsp_log_error_level,
            "[function:StreamOn] The camera disconnected unexpectedly when opening the data stream.error code: %d",
            VORA_ERR_NOT_CONNECTED);
        return VORA_ERR_NOT_CONNECTED;
    }
    if (!stream) {
        log.log_error(gvsp_log_error_level,
                      "[function:StreamOn] The incoming pointer parameters are empty. error code: %d",
                      VORA_ERR_NO_STREAM);
        return VORA_ERR_NO_STREAM;
    }
    *stream = nullptr;

    ChannelLayout layout;
    int status = read_channel_layout(*this, channel, &layout);
    if (status != VORA_OK)
        return status;
    const int pixel_bytes = GetPixelByteByGenICamFormatValue(static_cast<unsigned>(layout.format));
    if (pixel_bytes == 0) {
        log.log_error(gvsp_log_error_level,
                      "[function:StreamOn] The pixel format of the data is incomplete. error code: %d",
                      VORA_ERR_PIXEL_FORMAT);
        return VORA_ERR_PIXEL_FORMAT;
    }
    const uint32_t negotiated = packet_size ? packet_size.load() : 1500;
    const uint32_t packet_payload = negotiated - PACKET_OVERHEAD;
    const uint32_t payload_size = static_cast<uint32_t>(layout.payload);
    const uint32_t packet_count = payload_size / packet_payload + (payload_size % packet_payload ? 1 : 0);

    int sock = -1;
    status = open_receive_socket(*this, channel, payload_size, &sock);
    if (status != VORA_OK)
        return status;
    const unsigned short host_port = LocalPort(sock);
    const unsigned base = channel * STREAM_CHANNEL_REG_STRIDE;
    status = aim_channel(*this, base, host_port);
    if (status != VORA_OK) {
        close(sock);
        return status;
    }

    DataStreamPrivateInfo info;
    info.socket = static_cast<uint32_t>(sock);
    info.payload_size = payload_size;
    info.width = info.roi_size_x = static_cast<uint32_t>(layout.width);
    info.height = info.roi_size_y = static_cast<uint32_t>(layout.height);
    info.offset_x = static_cast<uint32_t>(layout.offset_x);
    info.offset_y = static_cast<uint32_t>(layout.offset_y);
    info.pixel_bytes = static_cast<uint32_t>(pixel_bytes);
    info.pixel_format = static_cast<uint32_t>(layout.format);
    info.packet_count = packet_count;
    info.cloud_unit = static_cast<uint32_t>(layout.cloud_unit);

    int source_port = -1;
    status = ReadRegister(layout.source_port_register + base, &source_port);
    if (status != 0) {
        close(sock);
        log.log_error(gvsp_log_error_level,
                      "[function:StreamOn] Failed to read register to get stream_channel_port. error code: %x.",
                      status);
        return status;
    }
    // Without a readable tick frequency, frames get host-clock time stamps.
    long long ticks = static_cast<long long>(GetTimestampTickFrequency());
    if (ticks < 0)
        ticks = 0;

    GigeStream* created =
        new GigeStream(&info, channel, sock, static_cast<int>(computer_ip.load()), static_cast<int>(camera_ip.load()),
                       source_port & 0xFFFF, host_port, static_cast<int>(packet_payload), ticks, &log);
    if (!created->running()) {
        // A stream that can never deliver is not handed out: undo it all.
        delete created;  // closes the socket
        WriteRegister(Stream_Channel_0_Destination_Address_Reg + base, 0);
        WriteRegister(Stream_Channel_0_Port_Reg + base, 0);
        return VORA_ERR_HEARTBEAT_THREAD;
    }
    created->WatchCamera(&given_up);
    *stream = created;
    return VORA_OK;
}

int GigeCamera::StreamOff(unsigned short channel, GigeStream* stream)
{
    const unsigned base = channel * STREAM_CHANNEL_REG_STRIDE;
    int result = 0;
    int status = WriteRegister(Stream_Channel_0_Destination_Address_Reg + base, 0);
    if (status & 0xFFFF) {
        result = status & 0xFFFF;
        log.log_error(
            gvsp_log_error_level,
            "[function:StreamOff] Failed to close the data stream due to write IP to register error. error code: %x",
            result);
    }
    status = WriteRegister(Stream_Channel_0_Port_Reg + base, 0);
    if (status & 0xFFFF) {
        result = status & 0xFFFF;
        log.log_error(
            gvsp_log_error_level,
            "[function:StreamOff] Failed to close the data stream due to write PORT to register error. error code: %x",
            result);
    }
    delete stream;
    return result;
}
