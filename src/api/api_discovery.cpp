// Exported functions of discovery and IP configuration.
#include "api/api_table.h"
#include "discovery/vora_discovery.h"

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
    const DiscoveryInfo* info = discovery_record(index);
    return discovery.ConvertIpIntToString(info ? info->camera_ip : 0);
}

bool WhetherIsSameSegment(int index)
{
    const DiscoveryInfo* info = discovery_record(index);
    return info ? discovery.WhetherIsSameSegment(*info) : false;
}

int ForceIP(int index, char* ip, char* mask, char* gateway)
{
    const DiscoveryInfo* info = discovery_record(index);
    if (!info)
        return VORA_ERR_INVALID_ARG;
    return discovery.ForceIp(*info, ip, mask, gateway);
}

}  // extern "C"
