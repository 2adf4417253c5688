// Broadcast discovery on every IPv4 interface of the host.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "discovery/vora_discovery.h"
#include "gvcp/gvcp_codec.h"

namespace {

constexpr uint8_t DISCOVERY_FLAGS = 0x11;  // acknowledge required, broadcast ack allowed
constexpr int WINDOW_US = 500000;

uint32_t addr_of(const ifreq& req)
{
    return ntohl(reinterpret_cast<const sockaddr_in*>(&req.ifr_addr)->sin_addr.s_addr);
}

// SIOCGIFCONF into a buffer that grows until the whole list fits, so hosts
// with many interfaces see all of them. Returns the entries or -1.
int interface_list(int sock, std::vector<ifreq>* out)
{
    for (size_t slots = 24; slots <= 65536; slots *= 4) {
        std::vector<ifreq> buf(slots);
        ifconf conf;
        conf.ifc_len = static_cast<int>(slots * sizeof(ifreq));
        conf.ifc_req = buf.data();
        if (ioctl(sock, SIOCGIFCONF, &conf) < 0)
            return -1;
        const size_t n = static_cast<size_t>(conf.ifc_len) / sizeof(ifreq);
        if (n < slots) {
            buf.resize(n);
            *out = std::move(buf);
            return static_cast<int>(n);
        }
    }
    return -1;
}

}  // namespace

void parse_discovery_ack(const uint8_t* ack, DiscoveryInfo* info)
{
    std::memcpy(&info->camera_mac_high, ack + 18, 2);  // wire order kept
    std::memcpy(&info->camera_mac_low, ack + 20, 4);
    info->camera_ip = gvcp::get_u32(ack + 44);
    info->camera_mask = gvcp::get_u32(ack + 60);
    info->camera_gateway = gvcp::get_u32(ack + 76);
    std::memcpy(info->device_vendor_name, ack + 80, 32);
    std::memcpy(info->device_model_name, ack + 112, 32);
    std::memcpy(info->device_version, ack + 144, 32);
    std::memcpy(info->device_manufacturer_info, ack + 176, 48);
    std::memcpy(info->device_serial_number, ack + 224, 16);
    std::memcpy(info->device_user_id, ack + 240, 16);
}

int Discovery::DiscoverCamera(std::vector<DiscoveryInfo>* list)
{
    if (!list)
        return camera_count;
    log.log_enable(const_cast<char*>("discovercamera"));
    camera_count = DiscoverCameraLinux(&list);
    log.log_disable();
    return camera_count;
}

int Discovery::DiscoverCameraLinux(std::vector<DiscoveryInfo>** list)
{
    int query = InitSocket();
    if (query < 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:DiscoverCameraLinux] Failed to initialize the socket of the network card, error code: %d",
                      VORA_ERR_SOCKET);
        perror("initialize the socket(network card)");
        return VORA_ERR_SOCKET;
    }
    std::vector<ifreq> interfaces;
    int count = interface_list(query, &interfaces);
    if (count < 0) {
        log.log_warnning(gvcp_log_warnning_level,
                         "[function:DiscoverCameraLinux] Failed to get interface list, error code: %d",
                         VORA_ERR_INTERFACE_LIST);
        close(query);
        return VORA_ERR_INTERFACE_LIST;
    }
    log.log_info(gvcp_log_info_level, "[function:DiscoverCameraLinux] the interface num is: %d.", count);

    int total = 0;
    for (int i = count - 1; i >= 0; --i)
        total += search_interface(query, interfaces[static_cast<size_t>(i)].ifr_name, *list);
    close(query);
    return total;
}

// One interface: query its address, mask and MTU, broadcast DISCOVERY_CMD
// from it and collect acknowledges until the window closes. Returns the
// number of records appended.
int Discovery::search_interface(int query, const char* name, std::vector<DiscoveryInfo>* list)
{
    ifreq req;
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);

    if (ioctl(query, SIOCGIFADDR, &req) < 0) {
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to get the local ip to search camera.");
        perror("get the local ip");
        return 0;
    }
    const uint32_t host_ip = addr_of(req);
    if (ioctl(query, SIOCGIFNETMASK, &req) < 0) {
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to get the local mask to search camera.");
        perror("get the local mask");
        return 0;
    }
    const uint32_t host_mask = ntohl(reinterpret_cast<sockaddr_in*>(&req.ifr_netmask)->sin_addr.s_addr);
    if (ioctl(query, SIOCGIFMTU, &req) < 0) {
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to get the mtu to search camera.");
        perror("get the mtu");
        return 0;
    }
    const int mtu = req.ifr_mtu;
    log.log_info(gvcp_log_info_level, "[function:DiscoverCameraLinux] Get the mtu. the mtu: %d.", mtu);

    int sock = InitSocket();
    if (sock < 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:DiscoverCameraLinux] Failed to initialize the socket of the network card to search camera, error code: %d",
                      VORA_ERR_SOCKET);
        perror("initialize the socket(search camera)");
        return 0;
    }
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    timeval window{0, WINDOW_US};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &window, sizeof window);

    if (Bind(sock, host_ip, 0) < 0) {
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to bind the socket to discover.");
        perror("bind the socket");
        close(sock);
        return 0;
    }
    uint8_t cmd[gvcp::DISCOVERY_CMD_LEN];
    gvcp::put_cmd_header(cmd, DISCOVERY_FLAGS, DISCOVERY_CMD, 0, next_req_id());
    if (Send(sock, INADDR_BROADCAST, GVCP_PORT, reinterpret_cast<char*>(cmd), sizeof cmd) < 0) {
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to send the discover cmd.");
        perror("send the discover cmd");
        close(sock);
        return 0;
    }

    // Acknowledges are recognised by their length alone; the buffer is
    // larger than 256 so that a longer datagram is seen as such.
    int found = 0;
    for (;;) {
        uint8_t ack[gvcp::DISCOVERY_ACK_LEN + 64];
        int n = Receive(sock, reinterpret_cast<char*>(ack), sizeof ack);
        if (n != static_cast<int>(gvcp::DISCOVERY_ACK_LEN))
            break;
        DiscoveryInfo info;
        std::memset(&info, 0, sizeof info);
        parse_discovery_ack(ack, &info);
        info.computer_ip = host_ip;
        info.computer_mask = host_mask;
        info.mtu = mtu;
        std::memcpy(info.computer_adapter, req.ifr_name, IFNAMSIZ);
        list->push_back(info);
        ++found;
    }
    close(sock);
    // The window closing is how every search ends; it is logged, not an error
    // worth a line on standard error.
    log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to receive the discover ack.");
    return found;
}
