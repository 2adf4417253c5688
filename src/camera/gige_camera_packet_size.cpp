// Finding the largest stream packet that reaches the host, with the test
// packets of GigE Vision.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "camera/vora_gige_camera.h"

namespace {

constexpr uint32_t MIN_PACKET = 1500;
constexpr uint32_t MAX_PACKET = 65535;  // the register holds 16 bits
constexpr uint32_t STEP = 1024;
constexpr uint32_t FIRE_TEST_PACKET = 0x80000000;
constexpr uint32_t DO_NOT_FRAGMENT = 0x40000000;
constexpr int TEST_WAIT_MS = 50;
constexpr int IP_UDP_HEADERS = IP_HEADER_LEN + UDP_HEADER_LEN;

unsigned channel_reg(unsigned reg, int channel)
{
    return reg + static_cast<unsigned>(channel) * STREAM_CHANNEL_REG_STRIDE;
}

// Waits up to TEST_WAIT_MS for the test packet of size `size`. GigE Vision
// counts IP and UDP headers in the packet size, so the datagram carries
// size - 28 bytes; cameras that count differently send `size`.
bool test_packet_arrives(CommonSocket& s, int sock, uint32_t size, char* buf, int buf_len)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TEST_WAIT_MS);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        int n = s.ReceiveFrom(sock, buf, buf_len, nullptr, nullptr, static_cast<int>(left.count()));
        if (n < 0)
            return false;
        if (static_cast<uint32_t>(n) == size || static_cast<uint32_t>(n) + IP_UDP_HEADERS == size)
            return true;
    }
}

}  // namespace

int GigeCamera::GetPacketSize()
{
    uint32_t size = 0;
    const int result = negotiate_packet_size(&size);
    packet_size = size;
    return result != 0 ? result : static_cast<int>(size);
}

int GigeCamera::apply_packet_size(uint32_t size, int channels)
{
    if (channels > MAX_STREAM_CHANNELS) {
        log.log_warnning(
            gvcp_log_warnning_level,
            "[function:GetPacketSize] The camera reports %d stream channels; the packet size goes to the first %d.",
            channels, MAX_STREAM_CHANNELS);
        channels = MAX_STREAM_CHANNELS;
    }
    for (int n = 0; n < channels; ++n) {
        int status = WriteRegister(channel_reg(Stream_Channel_Packet_Size_Reg, n), static_cast<int>(size));
        if (status != 0) {
            log.log_error(gvcp_log_error_level,
                          "[function:GetPacketSize] Failed to write the 0 channel second to the register. channel: %d, "
                          "error code: %x.",
                          n, status);
            return status;
        }
    }
    int status = WriteRegister(Stream_Channel_0_Destination_Address_Reg, 0);
    if (status != 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetPacketSize] Failed to write the Stream_Channel_0_Destination_Address_Reg second "
                      "second to the register. error code: %x.",
                      status);
        return status;
    }
    status = WriteRegister(Stream_Channel_0_Port_Reg, 0);
    if (status != 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetPacketSize] Failed to write the Stream_Channel_0_Port_Reg second to the register. "
                      "error code: %x.",
                      status);
        return status;
    }
    return VORA_OK;
}

int GigeCamera::negotiate_packet_size(uint32_t* size_out)
{
    *size_out = 0;
    int sock = InitSocket();
    if (sock < 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetPacketSize] Failed to initailize the stream socket. error code: %d.",
                      VORA_ERR_SOCKET);
        return VORA_ERR_SOCKET;
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{sock};
    if (Bind(sock, computer_ip, 0) < 0)
        return VORA_ERR_BIND;
    SetTimeouts(sock, TEST_WAIT_MS, TEST_WAIT_MS);
    const unsigned short port = LocalPort(sock);

    int status = WriteRegister(Stream_Channel_0_Destination_Address_Reg, static_cast<int>(computer_ip.load()));
    if (status != 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetPacketSize] Failed to write the IP to the register. error code: %x.", status);
        return status;
    }
    status = WriteRegister(Stream_Channel_0_Port_Reg, port);
    if (status != 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetPacketSize] Failed to write the PORT to the register. error code: %x.", status);
        return status;
    }
    int source_port = -1;
    status = ReadRegister(Source_Port_Reg, &source_port);
    if (status != 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetPacketSize] Failed to read the register of the source port. error code: %x.",
                      status);
        return status;
    }
    // Opens a host firewall for the camera's packets; a camera that names no
    // source port has nothing to open it for.
    if ((source_port & 0xFFFF) != 0) {
        char firewall[20] = "qelprober!";
        std::memset(firewall + 10, 0, 10);
        if (Send(sock, camera_ip, static_cast<unsigned short>(source_port & 0xFFFF), firewall, sizeof firewall) < 0) {
            log.log_error(gvcp_log_error_level,
                          "[function:GetPacketSize] Failed to send data to the test packet socket. error code: %d.",
                          VORA_ERR_FIREWALL_SEND);
            return VORA_ERR_FIREWALL_SEND;
        }
    }
    int channels = -1;
    status = ReadRegister(Number_of_Stream_Channels_Reg, &channels);
    if (status != 0) {
        log.log_info(gvcp_log_info_level,
                     "[function:GetPacketSize] Read the camera stream channel count error. error code: %x.", status);
        return status;
    }

    // Large enough to see any datagram's true length.
    std::unique_ptr<char[]> scratch(new char[MAX_PACKET + 1]);
    uint32_t found = MIN_PACKET;
    for (uint32_t size = mtu > static_cast<int>(MAX_PACKET) ? MAX_PACKET : static_cast<uint32_t>(mtu);
         size > MIN_PACKET; size -= STEP) {
        status =
            WriteRegister(Stream_Channel_Packet_Size_Reg, static_cast<int>(size | FIRE_TEST_PACKET | DO_NOT_FRAGMENT));
        if (status != 0) {
            log.log_error(gvcp_log_error_level,
                          "[function:GetPacketSize] Failed to write the Stream_Channel_Packet_Size_Reg first to the "
                          "register. error code: %x.",
                          status);
        } else if (test_packet_arrives(*this, sock, size, scratch.get(), MAX_PACKET + 1)) {
            found = size;
            break;
        }
    }

    *size_out = found;
    status = apply_packet_size(found, channels);
    if (status != 0)
        return status;
    log.log_info(gvcp_log_info_level, "[function:GetPacketSize] get the packsize. pack_size: %d.", found);
    return VORA_OK;
}
