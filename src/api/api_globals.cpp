// The process-wide objects behind the exported interface.
#include "discovery/vora_discovery.h"
#include "vora_qelcamera_api.h"

Discovery discovery;
std::vector<DiscoveryInfo> discovery_info;
