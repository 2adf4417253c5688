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

    // Every register is looked up before the first exchange: a description
    // that lacks one is refused with the lookup's code, and nothing reaches
    // a register that does not exist.
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
        if (const int lookup = feature_register(r.name, 0, &r.address)) {
            log.log_error(gvsp_log_error_level,
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

    int count = -1;
    int status = ReadRegister(address_of("GevStreamChannelCount"), &count);
    if (status != 0) {
        log.log_error(gvsp_log_error_level,
                      "[function:StreamOn] Failed to read register to get channel count. error code: %x.", status);
        return status;
    }
    // Channels beyond the table's slots are never opened, whatever the
    // camera reports.
    if (channel >= count || channel >= MAX_STREAM_CHANNELS) {
        log.log_error(gvsp_log_error_level, "[function:StreamOn] The channel index is invalid. error code: %d",
                      VORA_ERR_CHANNEL_INDEX);
        return VORA_ERR_CHANNEL_INDEX;
    }

    int cloud_unit = -1, sensor = -1, width = -1, height = -1, offset_x = -1, offset_y = -1, payload = -1, format = -1;
    struct Read {
        const char* name;
        bool per_sensor;  // else per channel
        int* out;
        const char* message;
    };
    const Read reads[] = {
        {"DeviceCloudUnit", false, &cloud_unit,
         "[function:StreamOn] Failed to read register to get cloud unit. error code: %x."},
        {"CmosIndex", false, &sensor,
         "[function:StreamOn] Failed to read register to get cmos number. error code: %x."},
        {"Width", true, &width, "[function:StreamOn] Failed to read register to get width. error code: %x."},
        {"Height", true, &height, "[function:StreamOn] Failed to read register to get height. error code: %x."},
        {"OffsetX", true, &offset_x, "[function:StreamOn] Failed to read register to get offset_x. error code: %x."},
        {"OffsetY", true, &offset_y, "[function:StreamOn] Failed to read register to get offset_y. error code: %x."},
        {"PayloadSize", false, &payload,
         "[function:StreamOn] Failed to read register to get payload_size. error code: %x."},
        {"PixelFormat", false, &format,
         "[function:StreamOn] Failed to read register to get pixel_format_value. error code: %x."},
    };
    for (const Read& r : reads) {
        unsigned address = address_of(r.name);
        // DeviceCloudUnit is device-wide; CmosIndex, PayloadSize and
        // PixelFormat repeat per channel, the geometry per sensor.
        if (r.per_sensor)
            address += static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE;
        else if (r.out != &cloud_unit)
            address += channel * STREAM_CHANNEL_REG_STRIDE;
        status = ReadRegister(address, r.out);
        if (status != 0) {
            log.log_error_listed(gvsp_log_error_level, r.message, status);
            return status;
        }
    }

    const int pixel_bytes = GetPixelByteByGenICamFormatValue(static_cast<unsigned>(format));
    if (pixel_bytes == 0) {
        log.log_error(gvsp_log_error_level,
                      "[function:StreamOn] The pixel format of the data is incomplete. error code: %d",
                      VORA_ERR_PIXEL_FORMAT);
        return VORA_ERR_PIXEL_FORMAT;
    }
    const uint32_t negotiated = packet_size ? packet_size.load() : 1500;
    const uint32_t packet_payload = negotiated - PACKET_OVERHEAD;
    const uint32_t payload_size = static_cast<uint32_t>(payload);
    const uint32_t packet_count = payload_size / packet_payload + (payload_size % packet_payload ? 1 : 0);

    int sock = InitSocket();
    if (sock < 0) {
        log.log_error(gvsp_log_error_level,
                      "[function:StreamOn] Failed to create socket for receiving data stream. error code: %d",
                      VORA_ERR_SOCKET);
        return VORA_ERR_SOCKET;
    }
    SetTimeouts(sock, 1000, 1000);
    const long long wanted = 6LL * payload_size;
    const int granted = size_receive_buffer(sock, wanted > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(wanted));
    log.log_info(gvsp_log_info_level, "[function:StreamOn] Receive buffer of channel %d: asked %lld bytes, got %d.",
                 channel, wanted, granted);
    if (Bind(sock, computer_ip, 0) < 0) {
        close(sock);
        log.log_error(gvsp_log_error_level,
                      "[function:StreamOn] Failed to bind socket for receiving data stream. error code: %d",
                      VORA_ERR_BIND);
        return VORA_ERR_BIND;
    }
    const unsigned short host_port = LocalPort(sock);
    const unsigned base = channel * STREAM_CHANNEL_REG_STRIDE;

    status = WriteRegister(Stream_Channel_0_Destination_Address_Reg + base, static_cast<int>(computer_ip.load()));
    if (status & 0xFFFF) {
        close(sock);
        log.log_error(
            gvsp_log_error_level,
            "[function:StreamOn] Failed to open the data stream due to write IP to register error. error code: %x",
            status & 0xFFFF);
        return status & 0xFFFF;
    }
    status = WriteRegister(Stream_Channel_0_Port_Reg + base, host_port);
    if (status & 0xFFFF) {
        close(sock);
        log.log_error(
            gvsp_log_error_level,
            "[function:StreamOn] Failed to open the data stream due to write PORT to register error. error code: %x",
            status & 0xFFFF);
        return status & 0xFFFF;
    }

    DataStreamPrivateInfo info;
    info.socket = static_cast<uint32_t>(sock);
    info.payload_size = payload_size;
    info.width = info.roi_size_x = static_cast<uint32_t>(width);
    info.height = info.roi_size_y = static_cast<uint32_t>(height);
    info.offset_x = static_cast<uint32_t>(offset_x);
    info.offset_y = static_cast<uint32_t>(offset_y);
    info.pixel_bytes = static_cast<uint32_t>(pixel_bytes);
    info.pixel_format = static_cast<uint32_t>(format);
    info.packet_count = packet_count;
    info.cloud_unit = static_cast<uint32_t>(cloud_unit);

    int source_port = -1;
    status = ReadRegister(address_of("GevSCSP") + base, &source_port);
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
