// Broadcast discovery on every IPv4 interface of the host.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "discovery/vora_discovery.h"
#include "gvcp_codec.h"

namespace {

constexpr uint8_t DISCOVERY_FLAGS = 0x11;  // acknowledge required, broadcast ack allowed
constexpr uint16_t DISCOVERY_PAYLOAD_LEN = gvcp::DISCOVERY_ACK_LEN - gvcp::HEADER_LEN;
// Datagrams taken from one socket before the time is looked at again, so
// that a flood cannot hold the loop.
constexpr int DRAIN_BATCH = 64;

using Clock = std::chrono::steady_clock;

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

// One interface's search: its host side, its socket and request, and the
// records of the acknowledges it took.
struct Discovery::Search {
    char name[IFNAMSIZ] = {};
    uint32_t host_ip = 0;
    uint32_t host_mask = 0;
    int mtu = 0;
    int sock = -1;
    uint16_t req_id = 0;
    Clock::time_point closes;
    std::vector<DiscoveryInfo> found;
};

bool discovery_ack_matches(const uint8_t* data, size_t len, uint16_t from_port, uint16_t req_id)
{
    const gvcp::AckExpectation want{0, gvcp::DISCOVERY_ACK, req_id, gvcp::DISCOVERY_ACK_LEN};
    gvcp::AckHeader header;
    return gvcp::ack_matches(data, len, 0, from_port, want, &header) && header.status == gvcp::STATUS_SUCCESS &&
           len == gvcp::DISCOVERY_ACK_LEN && header.length == DISCOVERY_PAYLOAD_LEN;
}

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

// Every interface is searched at the same time: the commands go out one
// after the other, then all windows are open together, so the whole
// discovery takes one window however many interfaces there are, and never
// more than DISCOVERY_LIMIT_MS.
int Discovery::DiscoverCameraLinux(std::vector<DiscoveryInfo>** list)
{
    int query = InitSocket();
    if (query < 0) {
        log.log_error(
            gvcp_log_error_level,
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

    // The last interface of the list first, as its records come first.
    std::vector<Search> searches;
    searches.reserve(static_cast<size_t>(count));
    for (int i = count - 1; i >= 0; --i) {
        searches.emplace_back();
        if (!start_search(query, interfaces[static_cast<size_t>(i)].ifr_name, &searches.back()))
            searches.pop_back();
    }
    close(query);
    collect(searches);

    int total = 0;
    for (const Search& search : searches) {
        (*list)->insert((*list)->end(), search.found.begin(), search.found.end());
        total += static_cast<int>(search.found.size());
    }
    return total;
}

bool Discovery::start_search(int query, const char* name, Search* search)
{
    ifreq req;
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
    std::memcpy(search->name, req.ifr_name, IFNAMSIZ);

    if (ioctl(query, SIOCGIFADDR, &req) < 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:DiscoverCameraLinux] Failed to get the local ip to search camera.");
        perror("get the local ip");
        return false;
    }
    search->host_ip = addr_of(req);
    if (ioctl(query, SIOCGIFNETMASK, &req) < 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:DiscoverCameraLinux] Failed to get the local mask to search camera.");
        perror("get the local mask");
        return false;
    }
    search->host_mask = ntohl(reinterpret_cast<sockaddr_in*>(&req.ifr_netmask)->sin_addr.s_addr);
    if (ioctl(query, SIOCGIFMTU, &req) < 0) {
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to get the mtu to search camera.");
        perror("get the mtu");
        return false;
    }
    search->mtu = req.ifr_mtu;
    log.log_info(gvcp_log_info_level, "[function:DiscoverCameraLinux] Get the mtu. the mtu: %d.", search->mtu);

    int sock = InitSocket();
    if (sock < 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:DiscoverCameraLinux] Failed to initialize the socket of the network card to search "
                      "camera, error code: %d",
                      VORA_ERR_SOCKET);
        perror("initialize the socket(search camera)");
        return false;
    }
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (Bind(sock, search->host_ip, 0) < 0) {
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to bind the socket to discover.");
        perror("bind the socket");
        close(sock);
        return false;
    }
    search->req_id = next_req_id();
    uint8_t cmd[gvcp::DISCOVERY_CMD_LEN];
    gvcp::put_cmd_header(cmd, DISCOVERY_FLAGS, DISCOVERY_CMD, 0, search->req_id);
    if (Send(sock, INADDR_BROADCAST, GVCP_PORT, reinterpret_cast<char*>(cmd), sizeof cmd) < 0) {
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to send the discover cmd.");
        perror("send the discover cmd");
        close(sock);
        return false;
    }
    search->sock = sock;
    search->closes = Clock::now() + std::chrono::milliseconds(DISCOVERY_QUIET_MS);
    return true;
}

// Only a well-formed acknowledge to a search's own request becomes a record
// and keeps its window open; anything else is dropped unseen.
void Discovery::collect(std::vector<Search>& searches)
{
    const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(DISCOVERY_LIMIT_MS);
    std::vector<Search*> open;
    for (Search& search : searches)
        open.push_back(&search);
    auto close_search = [this](Search* search) {
        close(search->sock);
        search->sock = -1;
        // The window closing is how every search ends; it is logged, not an
        // error worth a line on standard error.
        log.log_error(gvcp_log_error_level, "[function:DiscoverCameraLinux] Failed to receive the discover ack.");
    };

    while (!open.empty()) {
        const Clock::time_point now = Clock::now();
        if (now >= limit) {
            log.log_warnning(
                gvcp_log_warnning_level,
                "[function:DiscoverCameraLinux] Discovery ends after %d ms while acknowledges still arrive.",
                DISCOVERY_LIMIT_MS);
            for (Search* search : open)
                close_search(search);
            return;
        }
        Clock::time_point wake = limit;
        for (size_t i = 0; i < open.size();) {
            if (open[i]->closes <= now) {
                close_search(open[i]);
                open.erase(open.begin() + static_cast<long>(i));
                continue;
            }
            wake = std::min(wake, open[i]->closes);
            ++i;
        }
        if (open.empty())
            return;

        std::vector<pollfd> fds;
        for (Search* search : open)
            fds.push_back({search->sock, POLLIN, 0});
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
        if (poll(fds.data(), fds.size(), static_cast<int>(wait)) <= 0)
            continue;
        for (size_t i = 0; i < open.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            Search& search = *open[i];
            for (int n = 0; n < DRAIN_BATCH; ++n) {
                // Larger than an acknowledge, so that a longer datagram is seen as such.
                uint8_t ack[gvcp::DISCOVERY_ACK_LEN + 64];
                unsigned from_ip = 0;
                unsigned short from_port = 0;
                const int got =
                    ReceiveFrom(search.sock, reinterpret_cast<char*>(ack), sizeof ack, &from_ip, &from_port, 0);
                if (got < 0)
                    break;
                if (!discovery_ack_matches(ack, static_cast<size_t>(got), from_port, search.req_id))
                    continue;
                DiscoveryInfo info;
                std::memset(&info, 0, sizeof info);
                parse_discovery_ack(ack, &info);
                info.computer_ip = search.host_ip;
                info.computer_mask = search.host_mask;
                info.mtu = search.mtu;
                std::memcpy(info.computer_adapter, search.name, IFNAMSIZ);
                search.found.push_back(info);
                search.closes = Clock::now() + std::chrono::milliseconds(DISCOVERY_QUIET_MS);
            }
        }
    }
}
