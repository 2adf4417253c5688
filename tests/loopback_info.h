// The discovery record of a simulated camera reached over loopback, as
// discovery would have filled it: what connecting needs.
#ifndef VORA_TESTS_LOOPBACK_INFO_H
#define VORA_TESTS_LOOPBACK_INFO_H

#include <cstring>

#include "vora_base_type.h"

namespace testnet {

inline DiscoveryInfo loopback_info(uint32_t camera_ip = 0x7F000001, int mtu = 1500, const char* serial = "SIM00001")
{
    DiscoveryInfo info;
    std::memset(&info, 0, sizeof info);
    info.camera_ip = camera_ip;
    info.camera_mask = 0xFF000000;
    info.computer_ip = 0x7F000001;
    info.computer_mask = 0xFF000000;
    info.mtu = mtu;
    std::strncpy(info.device_serial_number, serial, sizeof info.device_serial_number);
    std::strcpy(info.computer_adapter, "lo");
    return info;
}

}  // namespace testnet

#endif
