// Forcing a camera's IP configuration, the same-subnet test, and address
// text conversion.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "discovery/vora_discovery.h"
#include "gvcp_codec.h"
#include "ip_text.h"

namespace {

constexpr uint8_t FORCEIP_UNICAST_FLAGS = 0x88;
constexpr uint8_t FORCEIP_BROADCAST_FLAGS = 0x11;
constexpr uint16_t FORCEIP_PAYLOAD_LEN = 0x0038;
constexpr int ACK_WAIT_MS = 500;

}  // namespace

bool Discovery::WhetherIsSameSegment(DiscoveryInfo info)
{
    return (info.camera_ip & info.camera_mask) == (info.computer_ip & info.computer_mask);
}

unsigned int Discovery::ConvertIpStringToInt(char* text)
{
    if (!text || std::strcmp(text, "0.0.0.0") == 0) {
        log.log_warnning(
            gvcp_log_warnning_level,
            "[function:ConvertIpStringToInt] There is a problem with the incoming parameters, error code: %d",
            VORA_ERR_INVALID_ARG);
        return 0;
    }
    in_addr addr;
    if (inet_pton(AF_INET, text, &addr) != 1) {
        log.log_warnning(gvcp_log_warnning_level,
                         "[function:ConvertIpStringToInt] Failed to convert dotted decimal ip address into numerical "
                         "format for network transmission, error code: %d",
                         VORA_ERR_IP_TEXT);
        return 0;
    }
    return ntohl(addr.s_addr);
}

const char* Discovery::ConvertIpIntToString(unsigned int address)
{
    if (address == 0 || address == 0xCDCDCDCDu) {
        log.log_warnning(
            gvcp_log_warnning_level,
            "[function:ConvertIpIntToString] There is a problem with the incoming parameters, error code: %d",
            VORA_ERR_IP_TEXT);
        return "0.0.0.0";
    }
    return format_ipv4(address, ip_text);
}

int Discovery::ForceIp(DiscoveryInfo info, char* ip, char* mask, char* gateway)
{
    if (!ip || !mask || !gateway) {
        log.log_warnning(gvcp_log_warnning_level,
                         "[function:ForceIp] The incoming parameters is invalid, error code: %d", VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    const uint32_t new_ip = ConvertIpStringToInt(ip);
    const uint32_t new_mask = ConvertIpStringToInt(mask);
    const uint32_t new_gateway = ConvertIpStringToInt(gateway);
    if (new_ip == 0 || new_mask == 0 || new_gateway == 0) {
        log.log_warnning(gvcp_log_warnning_level,
                         "[function:ForceIp] There is a problem with the incoming parameters Converted, error code: %d",
                         VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }

    int sock = InitSocket();
    if (sock < 0)
        return VORA_ERR_SOCKET;
    SetTimeouts(sock, ACK_WAIT_MS, ACK_WAIT_MS);
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (Bind(sock, info.computer_ip, 0) < 0) {
        close(sock);
        log.log_error(gvcp_log_error_level, "[function:ForceIp] Socket binding failed, error code: %d", VORA_ERR_BIND);
        return VORA_ERR_BIND;
    }

    const uint16_t id = next_req_id();
    const bool same_segment = WhetherIsSameSegment(info);
    const uint32_t destination = same_segment ? info.camera_ip : INADDR_BROADCAST;
    uint8_t cmd[gvcp::FORCEIP_CMD_LEN] = {};
    gvcp::put_cmd_header(cmd, same_segment ? FORCEIP_UNICAST_FLAGS : FORCEIP_BROADCAST_FLAGS, FORCEIP_CMD,
                         FORCEIP_PAYLOAD_LEN, id);
    std::memcpy(cmd + 10, &info.camera_mac_high, 2);  // in the order discovery saw them
    std::memcpy(cmd + 12, &info.camera_mac_low, 4);
    gvcp::put_u32(cmd + 28, new_ip);
    gvcp::put_u32(cmd + 44, new_mask);
    gvcp::put_u32(cmd + 60, new_gateway);

    // Only the acknowledge to this request counts, from any address (a
    // camera may answer from its new one); other datagrams are dropped
    // and the wait goes on.
    const gvcp::AckExpectation want{0, gvcp::FORCEIP_ACK, id, gvcp::HEADER_LEN};
    for (int attempt = 1;; ++attempt) {
        Send(sock, destination, GVCP_PORT, reinterpret_cast<char*>(cmd), sizeof cmd);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ACK_WAIT_MS);
        for (;;) {
            const long long left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            uint8_t ack[600];
            unsigned from_ip = 0;
            unsigned short from_port = 0;
            const int n = left > 0 ? ReceiveFrom(sock, reinterpret_cast<char*>(ack), sizeof ack, &from_ip, &from_port,
                                                 static_cast<int>(left))
                                   : -1;
            if (n < 0)
                break;
            gvcp::AckHeader header;
            if (!gvcp::ack_matches(ack, static_cast<size_t>(n), from_ip, from_port, want, &header))
                continue;
            log.log_info(gvcp_log_info_level, "[function:ForceIp] the status of force ip, the status: %d",
                         header.status);
            close(sock);
            return header.status == gvcp::STATUS_SUCCESS ? VORA_OK : VORA_ERR_FORCEIP;
        }
        if (attempt == 3)
            break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    close(sock);
    log.log_error(gvcp_log_error_level, "[function:ForceIp] Failed to force ip due to timeout, error code: %d",
                  VORA_ERR_FORCEIP);
    return VORA_ERR_FORCEIP;
}
