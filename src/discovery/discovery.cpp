// The discovery object: construction, request ids, log switches, sorting.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "discovery/vora_discovery.h"

Discovery::Discovery() : ip_text(static_cast<char*>(std::calloc(16, 1)))
{}

Discovery::~Discovery()
{
    std::free(ip_text);
}

uint16_t Discovery::next_req_id()
{
    ++req_id;
    if (req_id == 0)
        req_id = 1;
    return req_id;
}

void Discovery::SetLogLevelSwitch(int error, int debug, int warning, int info)
{
    set_log_switches(error, debug, warning, info);
}

bool CompareByIp(const DiscoveryInfo& a, const DiscoveryInfo& b)
{
    return a.camera_ip < b.camera_ip;
}

int Discovery::CameraSort(std::vector<DiscoveryInfo>* list, int sort_mode)
{
    if (camera_count == 0 || !list) {
        log.log_warnning(gvcp_log_warnning_level,
                         "[function:CameraSort] The incoming parameters discovery_info is invalid, error code: %d",
                         VORA_ERR_INTERFACE_LIST);
        return VORA_ERR_INTERFACE_LIST;
    }
    if (sort_mode == SORT_BY_IP) {
        std::sort(list->begin(), list->end(), CompareByIp);
        return VORA_OK;
    }
    if (sort_mode == SORT_BY_SERIAL_NUMBER) {
        // Exchange sort over the records the last discovery found; serial
        // numbers are compared within their 16-byte field only, since one
        // that fills the field has no terminator.
        const size_t n = std::min(static_cast<size_t>(camera_count < 0 ? 0 : camera_count), list->size());
        DiscoveryInfo* scratch = static_cast<DiscoveryInfo*>(std::malloc(sizeof(DiscoveryInfo)));
        if (!scratch)
            return VORA_ERR_FAILED;
        auto& v = *list;
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < n; ++j) {
                if (std::strncmp(v[i].device_serial_number, v[j].device_serial_number,
                                 sizeof v[i].device_serial_number) < 0) {
                    std::memcpy(scratch, &v[i], sizeof *scratch);
                    std::memcpy(&v[i], &v[j], sizeof *scratch);
                    std::memcpy(&v[j], scratch, sizeof *scratch);
                }
            }
        }
        std::free(scratch);
        return VORA_OK;
    }
    log.log_error(gvcp_log_error_level,
                  "[function:CameraSort] The incoming parameter sort_mode is invalid, error code: %d",
                  VORA_ERR_INVALID_ARG);
    return VORA_ERR_INVALID_ARG;
}
