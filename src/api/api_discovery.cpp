// Exported functions of discovery and IP configuration.
#include "discovery/vora_discovery.h"
#include "vora_qelcamera_api.h"

namespace {

// Camera indexes come from callers; one outside the list names no camera.
const DiscoveryInfo* record_at(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= discovery_info.size())
        return nullptr;
    return &discovery_info[static_cast<size_t>(index)];
}

}  // namespace

extern "C" {

int DiscoverCamera(void)
{
    std::vector<DiscoveryInfo>().swap(discovery_info);
    return discovery.DiscoverCamera(&discovery_info);
}

int CameraSort(int sort_mode)
{
    return discovery.CameraSort(&discovery_info, sort_mode);
}

void SetLogLevel(int error, int debug, int warning, int info)
{
    discovery.SetLogLevelSwitch(error, debug, warning, info);
}

const char* CameraIP(int index)
{
    const DiscoveryInfo* info = record_at(index);
    return discovery.ConvertIpIntToString(info ? info->camera_ip : 0);
}

bool WhetherIsSameSegment(int index)
{
    const DiscoveryInfo* info = record_at(index);
    return info ? discovery.WhetherIsSameSegment(*info) : false;
}

int ForceIP(int index, char* ip, char* mask, char* gateway)
{
    const DiscoveryInfo* info = record_at(index);
    if (!info)
        return VORA_ERR_INVALID_ARG;
    return discovery.ForceIp(*info, ip, mask, gateway);
}

}  // extern "C"
