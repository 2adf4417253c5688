// Finding cameras on the host's networks, ordering the list, forcing a
// camera's IP configuration and converting addresses to and from text.
#ifndef VORA_DISCOVERY_H
#define VORA_DISCOVERY_H

#include <cstdint>
#include <vector>

#include "gvcp/vora_common_socket.h"
#include "log/vora_cameralog.h"
#include "vora_base_type.h"

class Discovery : public CommonSocket {
public:
    Discovery();
    ~Discovery();
    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;

    // Runs one discovery, appending to `list`; with a null list returns the
    // previous result and sends nothing.
    int DiscoverCamera(std::vector<DiscoveryInfo>* list);
    int DiscoverCameraLinux(std::vector<DiscoveryInfo>** list);
    int CameraSort(std::vector<DiscoveryInfo>* list, int sort_mode);
    void SetLogLevelSwitch(int error, int debug, int warning, int info);

    int ForceIp(DiscoveryInfo info, char* ip, char* mask, char* gateway);
    bool WhetherIsSameSegment(DiscoveryInfo info);
    unsigned int ConvertIpStringToInt(char* text);
    const char* ConvertIpIntToString(unsigned int address);

    // 1..65535, never 0; one counter for every command of this object.
    uint16_t next_req_id();

    int camera_count = 0;
    uint16_t req_id = 0;
    char* ip_text;
    cameralog log;

private:
    struct Search;
    // Queries an interface and broadcasts DISCOVERY_CMD from it; false (the
    // failure logged) when the interface cannot be searched.
    bool start_search(int query_sock, const char* name, Search* search);
    // Collects every search's acknowledges until its window closes, all
    // within one time limit.
    void collect(std::vector<Search>& searches);
};

bool CompareByIp(const DiscoveryInfo& a, const DiscoveryInfo& b);

// An interface's window closes this long after its last acknowledge (or
// its command, when none came), and the whole discovery ends after
// DISCOVERY_LIMIT_MS however many keep answering.
constexpr int DISCOVERY_QUIET_MS = 500;
constexpr int DISCOVERY_LIMIT_MS = 3000;

// True when a datagram from port `from_port` is a well-formed acknowledge to
// discovery request `req_id`: from a device's control port, with a success
// status, the discovery answer code, and exactly the 248-byte payload.
bool discovery_ack_matches(const uint8_t* data, size_t len, uint16_t from_port, uint16_t req_id);

// Fills a record from a 256-byte discovery acknowledge (camera side only).
void parse_discovery_ack(const uint8_t* ack, DiscoveryInfo* info);

#endif
